from .cli import run

# Guarded: the block encoders' worker processes import the main module.
if __name__ == "__main__":
    run()
