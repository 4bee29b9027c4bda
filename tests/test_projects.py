"""Tests of the runs that build several atlases (a project's [[atlas]]
tables, --atlas-per-folder) and of tessel_atlas.build, the command in-process."""

import contextlib
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
from atlas_files import (  # noqa: E402
    command, end_session, make_sprites, noise_sprite, png_bytes, put_whole, read_frames)
import tessel_atlas  # noqa: E402
from tessel_atlas.cli import main  # noqa: E402

README = (Path(__file__).resolve().parents[1] / "README.md").read_text()


def game_art(root: Path) -> None:
    rng = random.Random(3)
    for name in ("ui/panel.png", "ui/button.png", "ui/idle_icon.png", "hero/idle_1.png", "hero/walk_1.png",
                 "hero/walk_2.png"):
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        noise_sprite(rng, rng.randint(8, 30), rng.randint(8, 30), border=(1, 2, 0, 1)).save(root / name)


def files_in(folder: Path):
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.name != ".tessel-atlas-cache.jsonl"}


def test_a_games_atlases_each_take_their_own_options_and_the_shared_ones(tmp_path, capfd):
    game_art(tmp_path / "art")
    text = re.search(r"This file, which the tests build:\n\n```toml\n(.*?)```", README, re.S).group(1)
    (tmp_path / "game.toml").write_text(text)
    assert main(["pack", "--config", str(tmp_path / "game.toml")]) == 0
    printed = capfd.readouterr()
    assert printed.out.count("tessel-atlas: 3 sprites") == 2  # from the processes that built them
    assert "tessel-atlas: ui: read 3 sprites in " in printed.err  # their progress, each naming its atlas
    ui, hero = tmp_path / "build" / "ui", tmp_path / "build" / "characters" / "hero"
    ui_frames, hero_frames = read_frames(ui), read_frames(hero)
    assert set(ui_frames) == {"panel.png", "button.png", "idle_icon.png"}
    assert set(hero_frames) == {"idle_1.png", "walk_1.png", "walk_2.png"}
    # The top level's texture formats and sprite settings, where the atlas's own table does not say otherwise.
    assert not list(ui.glob("*.ktx")) and list(hero.glob("*.bc7.ktx"))
    assert not any(f["rotated"] for _, f in ui_frames.values())
    for frames, name in ((ui_frames, "idle_icon.png"), (hero_frames, "idle_1.png")):
        assert frames[name][1]["pivot"] == {"x": 0.5, "y": 1.0}
    assert ui_frames["panel.png"][1]["trimmed"] is False and "pivot" not in hero_frames["walk_1.png"][1]

    # --only builds the named atlas alone; the other's files stay as they were.
    before = files_in(ui)
    (tmp_path / "art" / "hero" / "walk_1.png").unlink()
    assert main(["pack", "--config", str(tmp_path / "game.toml"), "--only", "hero", "-q"]) == 0
    assert set(read_frames(hero)) == {"idle_1.png", "walk_2.png"} and files_in(ui) == before

    # One atlas of each folder, its sprites named inside it: the same frames as the tables gave.
    assert main(["pack", str(tmp_path / "art"), "--out", str(tmp_path / "per"), "--atlas-per-folder", "-q"]) == 0
    assert {p.name: set(read_frames(p)) for p in (tmp_path / "per").iterdir()} == {
        "ui": set(ui_frames), "hero": {"idle_1.png", "walk_2.png"}}


@pytest.mark.parametrize("text, argv, message", [
    ('[[atlas]]\nname = "a"\ninputs = ["art/ui"]\nout = "o"\n[[atlas]]\nname = "b"\ninputs = ["art/hero"]\nout = "o"',
     [], "atlases a and b would write into the same folder ({d}/o); give each an out of its own, apart"),
    ('[[atlas]]\nname = "a"\ninputs = ["art/ui"]\nout = "o"\n[[atlas]]\nname = "b"\ninputs = ["art/hero"]\n'
     'out = "o/b"', [], "atlases a and b would write one inside the other's ({d}/o/b); give each an out of its own, apart"),
    ('[[atlas]]\nname = "a"\ninputs = ["art/ui"]\nout = "art/hero/out"\n[[atlas]]\nname = "b"\ninputs = ["art/hero"]\n'
     'out = "o"', [], "atlas a would write {d}/art/hero/out, inside atlas b's input {d}/art/hero, which would then "
     "read it as sprites; move its out"),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]\n[[atlas]]\nname = "a"\ninputs = ["art/hero"]',
     [], '{d}/game.toml: [[atlas]] table 2: name = "a" is table 1\'s too; give each its own'),
    ('out = "o"\n[[atlas]]\ninputs = ["art/ui"]', [], "{d}/game.toml: [[atlas]] table 1: needs name = \"NAME\""),
    ('[[atlas]]\nname = "a"\ninputs = ["art/ui"]', [], '{d}/game.toml: [[atlas]] table 1 ("a"): needs out = "FOLDER"'),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]\nsize = 3', [],
     '{d}/game.toml: [[atlas]] table 1 ("a"): unknown key "size"; valid keys: animations, block-align'),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]\npot = true\nmax-texture-size = 100', [],
     "atlas a: --pot needs a power-of-two --max-texture-size (got 100)"),
    ('out = "o"\n[[sprites]]\nmatch = "nothing*"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]', [],
     "{d}/game.toml: [[sprites]] table 1: match = 'nothing*' matches no sprite"),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]\n[[atlas.sprites]]\nmatch = "walk*"\ntrim = false', [],
     "atlas a: {d}/game.toml: [[atlas]] table 1 (\"a\"): [[sprites]] table 1: match = 'walk*' matches no sprite"),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]', ["--only", "b"],
     "--only b: no atlas of that name; the atlases are a"),
    ('out = "o"\n[[atlas]]\nname = "a"\ninputs = ["art/ui"]', ["art"],
     "{d}/game.toml has [[atlas]] tables, which each name their inputs and out: leave INPUT and --out off"),
    ('inputs = ["art"]\nout = "o"\natlas-per-folder = true\n', [], None),  # art/loose.png, beside the folders
])
def test_atlases_that_cannot_be_built_as_asked_are_refused_before_any_work(tmp_path, capsys, monkeypatch, text, argv,
                                                                           message):
    game_art(tmp_path / "art")
    noise_sprite(random.Random(1), 8, 8).save(tmp_path / "art" / "loose.png")
    (tmp_path / "game.toml").write_text(text + "\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("tessel_atlas.builder.read_entries", lambda *a, **k: pytest.fail("read before refusing"))
    if argv or message and message.startswith("--"):
        with pytest.raises(SystemExit) as exit_info:  # bad usage
            main(["pack", "--config", str(tmp_path / "game.toml"), *argv])
        assert exit_info.value.code == 2
    else:
        assert main(["pack", "--config", str(tmp_path / "game.toml"), *argv]) == 1
    err = capsys.readouterr().err
    message = message or (f"{tmp_path}/art/loose.png: beside the folders that --atlas-per-folder makes atlases of, "
                          "so in none; move it into one, or --exclude it")
    assert message.format(d=tmp_path) in err
    assert not (tmp_path / "o").exists()


def test_an_atlas_that_fails_leaves_the_others_built_and_is_named(tmp_path, capfd):
    for name in ("a", "b", "c"):
        make_sprites(tmp_path / "art" / name, count=8, seed=ord(name))
    out = tmp_path / "out"
    assert main(["pack", str(tmp_path / "art"), "--out", str(out), "--atlas-per-folder", "-q"]) == 0
    before = {name: files_in(out / name) for name in "abc"}
    for name in "ac":
        noise_sprite(random.Random(1), 9, 9).save(tmp_path / "art" / name / "new.png")
    (tmp_path / "art" / "b" / "cut.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 20)
    assert main(["pack", str(tmp_path / "art"), "--out", str(out), "--atlas-per-folder", "-q"]) == 1
    err = capfd.readouterr().err.splitlines()
    assert err[0].startswith(f"tessel-atlas: error: atlas b: {tmp_path / 'art' / 'b' / 'cut.png'}: ")
    assert err[1:] == ["tessel-atlas: 1 of 3 atlases failed (b); the others are built"]
    assert files_in(out / "b") == before["b"]  # whole, and as it was
    for name in "ac":
        assert "new.png" in read_frames(out / name)


@pytest.mark.parametrize("apart", [True, False])
def test_atlases_built_without_their_summary_lines_are_said_built_not_failed(tmp_path, apart):
    # Standard output full: each atlas is built and says its summary is lost; none is counted failed, and
    # in one process the atlases after the first are built too.
    if not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is Linux's")
    for name in ("a", "b", "c"):
        make_sprites(tmp_path / "art" / name, count=8, seed=ord(name))
    argv = ["pack", str(tmp_path / "art"), "--out", str(tmp_path / "out"), "--atlas-per-folder"]
    script = "import os, sys; from tessel_atlas import cli; sys.argv[0] = 'tessel-atlas'\n" \
             f"os.cpu_count = lambda: {2 if apart else 1}\ncli.run()"
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-c", script, *argv], stdout=full, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 1 and "Traceback" not in done.stderr and "failed" not in done.stderr
    assert sorted(line for line in done.stderr.splitlines() if "error" in line) == [
        f"tessel-atlas: error: atlas {name}: standard output: cannot write the summary line (No space left on "
        "device); the atlas is built" for name in "abc"]
    assert all(read_frames(tmp_path / "out" / name) for name in "abc")


def test_build_writes_what_the_command_writes_and_returns_what_the_manifests_say(tmp_path, capsys):
    make_sprites(tmp_path / "sprites", count=20)
    options = {"max_texture_size": 64, "variant": ["1:@2x", "0.5:"], "texture_format": ["png", "bc3"],
               "extrude": 1, "sprites": [{"match": "ui/*", "pivot": (0.25, 1), "trim": False}]}
    project = ['max-texture-size = 64', 'variant = ["1:@2x", "0.5:"]', 'texture-format = ["png", "bc3"]',
               'extrude = 1', '[[sprites]]', 'match = "ui/*"', 'pivot = [0.25, 1]', 'trim = false']
    (tmp_path / "atlas.toml").write_text("\n".join(project) + "\n")
    assert main(["pack", str(tmp_path / "sprites"), "--out", str(tmp_path / "cli"), "--config",
                 str(tmp_path / "atlas.toml"), "-q"]) == 0
    printed = capsys.readouterr().err
    result = tessel_atlas.build(tmp_path / "sprites", tmp_path / "api", **options)
    assert capsys.readouterr() == ("", "")  # quiet unless asked, warnings returned
    assert printed == "".join(f"{warning}\n" for warning in result.warnings)
    assert files_in(tmp_path / "api") == files_in(tmp_path / "cli")
    assert result.summary.startswith("tessel-atlas: 23 sprites") and result.summary.endswith(f"-> {tmp_path / 'api'}")
    assert [layer.suffix for layer in (result.layers + result.variants[1])] == ["@2x"] * len(result.layers) + [""] * \
        len(result.variants[1])
    manifest = read_frames(tmp_path / "api", "@2x")
    assert {name: (path.name, f["frame"], f["rotated"]) for name, (path, f) in manifest.items()} == {
        f.name: (layer.image, {"x": f.x, "y": f.y, "w": f.width, "h": f.height}, f.rotated)
        for layer in result.layers for f in layer.frames}
    assert result.frames["ui/s01.png"].pivot == (0.25, 1)
    # Unchanged: the same model again, and no file written.
    stats = {p.name: p.stat().st_mtime_ns for p in (tmp_path / "api").iterdir()}
    again = tessel_atlas.build([str(tmp_path / "sprites")], str(tmp_path / "api"), **options)
    assert again.variants == result.variants and again.warnings == result.warnings
    assert {p.name: p.stat().st_mtime_ns for p in (tmp_path / "api").iterdir() if p.name != ".tessel-atlas-cache.jsonl"
            } == {name: ns for name, ns in stats.items() if name != ".tessel-atlas-cache.jsonl"}


def test_the_readmes_python_build_runs(tmp_path, monkeypatch, capsys):
    game_art(tmp_path / "art")
    monkeypatch.chdir(tmp_path)
    exec(re.search(r"### From Python.*?```python\n(.*?)```", README, re.S).group(1), {})
    assert capsys.readouterr().out.startswith("tessel-atlas: 3 sprites in 1 layer in each of 2 variants")
    assert read_frames(Path("build/ui"), "@2x")["panel.png"][1]["borders"] == dict(
        zip(("left", "top", "right", "bottom"), (4, 4, 4, 4)))


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_as_build_moves_the_atlas_in_comes_once_it_is_whole(tmp_path, monkeypatch):
    from tessel_atlas import output

    names = set(make_sprites(tmp_path / "sprites", count=8))
    move_in = output._move_in

    def interrupted(*args):
        os.kill(os.getpid(), signal.SIGINT)
        move_in(*args)

    monkeypatch.setattr(output, "_move_in", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tessel_atlas.build(tmp_path / "sprites", tmp_path / "out")
    assert set(read_frames(tmp_path / "out")) == names
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler  # the caller's, back


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_as_the_output_folder_is_locked_leaves_no_lock_and_no_folder(tmp_path, monkeypatch):
    from tessel_atlas import output

    make_sprites(tmp_path / "sprites", count=8)
    lock_file = output._lock_file

    def interrupted(fd):  # the lock file made, not yet locked
        os.kill(os.getpid(), signal.SIGINT)
        lock_file(fd)

    monkeypatch.setattr(output, "_lock_file", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tessel_atlas.build(tmp_path / "sprites", tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_ctrl_c_while_layers_are_written_waits_for_them_and_leaves_nothing(tmp_path, monkeypatch):
    from tessel_atlas.progress import Progress

    rng = np.random.default_rng(1)
    (tmp_path / "sprites").mkdir()
    for i in range(6):  # a layer each, deflated at level 9: the next ones are on the threads as the first is done
        Image.fromarray(rng.integers(0, 256, (256, 256, 4), dtype=np.uint8)).save(tmp_path / "sprites" / f"{i}.png")
    phase = Progress.phase

    def interrupted_once_a_layer_is_written(self, verb, total, unit):
        def step(n):
            raise KeyboardInterrupt
        return phase(self, verb, total, unit) if verb != "wrote" else contextlib.nullcontext(step)

    monkeypatch.setattr(Progress, "phase", interrupted_once_a_layer_is_written)
    rmtree, threads_at_removal = shutil.rmtree, []
    monkeypatch.setattr(shutil, "rmtree", lambda *args, **kwargs: (threads_at_removal.append(
        threading.active_count()), rmtree(*args, **kwargs)))
    threads = threading.active_count()
    with pytest.raises(KeyboardInterrupt):
        tessel_atlas.build(tmp_path / "sprites", tmp_path / "out", png_level=9, max_texture_size=256)
    # The staging folder went once no thread could write into it any more.
    assert threads_at_removal == [threads]
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("options, message", [
    ({"max_texture_size": 99999}, "tessel_atlas.build: max_texture_size = 99999: must be from 0 to"),
    ({"png_level": "best"}, 'tessel_atlas.build: png_level = "best": expected rle or a level from 0 to 9'),
    ({"paddin": 1}, 'tessel_atlas.build: unknown key "paddin"; valid keys: animations, block_align'),
    ({"pot": True, "full_size": True}, "tessel_atlas.build: pot = true and full_size = true: these options exclude"),
    ({"pot": True, "max_texture_size": 100}, "--pot needs a power-of-two --max-texture-size (got 100)"),
    ({"sprites": [{"match": "zz*", "trim": False}]}, "tessel_atlas.build: [[sprites]] table 1: match = 'zz*' matches"),
    ({"atlas_per_folder": True}, "tessel_atlas.build: atlas_per_folder: build makes one atlas"),
    ({}, "cut.png: "),  # the command's own message for a sprite it cannot read
])
def test_build_refuses_what_the_command_refuses_with_its_message(tmp_path, capsys, options, message):
    make_sprites(tmp_path / "sprites", count=8)
    if not options:
        (tmp_path / "sprites" / "cut.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 20)
        assert main(["pack", str(tmp_path / "sprites"), "--out", str(tmp_path / "cli")]) == 1
        message = capsys.readouterr().err[len("tessel-atlas: error: "):].strip()
    with pytest.raises(tessel_atlas.AtlasError) as error:
        tessel_atlas.build(tmp_path / "sprites", tmp_path / "out", **options)
    assert str(error.value).startswith(message) and "\n" not in str(error.value)
    assert not (tmp_path / "out").exists()


@pytest.mark.slow
@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_watch_rebuilds_only_the_atlases_a_change_touches(tmp_path):
    pytest.importorskip("watchfiles")
    for name in ("a", "b"):
        make_sprites(tmp_path / "art" / name, count=8, seed=ord(name))
    project = tmp_path / "game.toml"
    tables = '[[atlas]]\nname = "a"\ninputs = ["art/a"]\n[[atlas]]\nname = "b"\ninputs = ["art/b"]\n'
    project.write_text('out = "build"\n' + tables)
    run = subprocess.Popen([command(), "watch", "--config", str(project)], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in run.stdout], daemon=True).start()

    def built():  # (sprites, atlas) of the next summary line
        line = lines.get()
        found = re.match(r"tessel-atlas: (\d+) sprites .* -> .*/build/(\w)$", line)
        assert found, line
        return int(found.group(1)), found.group(2)

    try:
        assert {built(), built()} == {(11, "a"), (11, "b")}
        # Each file put in whole: a writer held up on a loaded machine would get a build more.
        staging = tmp_path / "staging"
        put_whole(tmp_path / "art" / "a" / "new.png", png_bytes(noise_sprite(random.Random(1), 9, 9)), staging)
        assert built() == (12, "a")
        # Had b been built again for a's change, its line would come first.
        put_whole(tmp_path / "art" / "b" / "new.png", png_bytes(noise_sprite(random.Random(2), 9, 9)), staging)
        assert built() == (12, "b")
        put_whole(project, 'out = "build"\npadding = 1\n' + tables, staging)  # every atlas's options
        assert {built(), built()} == {(12, "a"), (12, "b")}
        run.send_signal(signal.SIGINT)
        assert run.wait() == 130
    finally:
        run.kill()
        run.wait()
    # One atlas a folder: a new folder is a new atlas.
    run = subprocess.Popen([command(), "watch", str(tmp_path / "art"), "--out", str(tmp_path / "build"),
                            "--atlas-per-folder"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in run.stdout], daemon=True).start()
    try:
        assert {built(), built()} == {(12, "a"), (12, "b")}
        make_sprites(tmp_path / "new" / "c", count=8, seed=3)
        os.rename(tmp_path / "new" / "c", tmp_path / "art" / "c")  # whole at once, as a move is
        assert {built(), built(), built()} == {(12, "a"), (12, "b"), (11, "c")}
        run.send_signal(signal.SIGINT)
        assert run.wait() == 130
    finally:
        run.kill()
        run.wait()


@pytest.mark.slow
@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("signal_number, status, to_all", [
    (signal.SIGINT, 130, False), (signal.SIGTERM, 143, False),
    (signal.SIGINT, 130, True),  # Ctrl-C in a terminal: every process gets it, then the command's SIGTERM
])
def test_a_signal_to_a_run_of_several_atlases_leaves_no_part_and_no_process(tmp_path, signal_number, status, to_all):
    rng = random.Random(3)
    for name in "abc":  # noise deflates slowly at level 9: seconds of writing each
        (tmp_path / "art" / name).mkdir(parents=True)
        for i in range(16):
            noise_sprite(rng, 256, 256).save(tmp_path / "art" / name / f"noise{i}.png", compress_level=0)
    out = tmp_path / "out"
    run = subprocess.Popen([command(), "pack", str(tmp_path / "art"), "--out", str(out), "--atlas-per-folder",
                            "--png-level=9", "--max-texture-size=512", "-q"], start_new_session=True,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # An atlas being written, by a process of its own, another beside it.
        while not list(out.glob("*/.tessel-atlas-*/atlas_0.png")):
            assert run.poll() is None, run.communicate()
            time.sleep(0.01)
        if to_all:
            os.killpg(run.pid, signal_number)
        else:
            run.send_signal(signal_number)  # to the command alone, as a supervisor sends it
        assert run.wait() == status
        _, errors = run.communicate()
        assert errors.splitlines()[-1] == f"tessel-atlas: {'interrupted' if status == 130 else 'terminated'}"
        with pytest.raises(ProcessLookupError):  # every process it started has ended
            os.killpg(run.pid, 0)
    finally:
        end_session(run)
    for folder in out.iterdir() if out.exists() else []:  # each atlas whole, or not there: no part, no lock
        assert sorted(p.name for p in folder.iterdir() if p.name.startswith(".")) == [
            ".tessel-atlas-cache.jsonl", ".tessel-atlas-files.json"], folder
        assert set(read_frames(folder)) == {f"noise{i}.png" for i in range(16)}, folder
