from .cli import run

# Guarded, so that a tool importing the module (as process-spawning ones
# do with the main module) does not run the command.
if __name__ == "__main__":
    run()
