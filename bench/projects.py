"""Several atlases in one run against a command each: the sets given, as
one project file's [[atlas]] tables (built one after another in one
process, each one's reading and writing on every core), against one
`tessel-atlas pack` per set run one after another, and against those
commands run two at a time (an atlas per process, the other way to keep
the cores busy). Clean builds (--no-cache), median wall seconds of the
repeats, and each way's ratio to the commands one after another.

    python bench/projects.py [--repeats N] FOLDER...
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path


def run(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    tool = [str(Path(sys.executable).with_name("tessel-atlas")), "pack"]
    folders = [folder.resolve() for folder in args.folders]
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch)
        project = out / "game.toml"
        project.write_text("no-cache = true\nquiet = true\n" + "".join(
            f'[[atlas]]\nname = "{folder.name}"\ninputs = ["{folder}"]\nout = "{out / "project" / folder.name}"\n'
            for folder in folders))
        commands = [tool + [str(folder), "--out", str(out / "commands" / folder.name), "--no-cache", "-q"]
                    for folder in folders]

        def one_after_another():
            for command in commands:
                run(command)

        def two_at_a_time():
            with ThreadPoolExecutor(2) as pool:
                list(pool.map(run, commands))

        ways = {"one run, [[atlas]] tables": lambda: run(tool + ["--config", str(project)]),
                "a command each, in turn": one_after_another,
                "a command each, two at a time": two_at_a_time}
        times = {way: [] for way in ways}
        for _ in range(args.repeats):
            for way, build in ways.items():  # interleaved, so that a busy spell weighs on each way alike
                shutil.rmtree(out / "project", ignore_errors=True)
                shutil.rmtree(out / "commands", ignore_errors=True)
                start = time.perf_counter()
                build()
                times[way].append(time.perf_counter() - start)
    base = statistics.median(times["a command each, in turn"])
    print(f"{len(folders)} atlases ({', '.join(f.name for f in folders)}), median of {args.repeats}\n")
    print("| way | wall s | against a command each, in turn |")
    print("|---|---:|---:|")
    for way, found in times.items():
        print(f"| {way} | {statistics.median(found):.2f} | {statistics.median(found) / base:.2f} |")


if __name__ == "__main__":
    main()
