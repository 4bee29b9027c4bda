"""Tests of the tessel-atlas command line."""

import json
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

Image = pytest.importorskip("PIL.Image")
from packing_checks import LEGACY_FORM

if LEGACY_FORM:
    pytest.skip("tessel-atlas needs the two-argument pack", allow_module_level=True)
from tessel_atlas.cli import main  # noqa: E402


def noise_sprite(rng, width, height):
    data = bytes(rng.randrange(256) for _ in range(width * height * 4))
    return Image.frombytes("RGBA", (width, height), data)


@pytest.fixture
def sprite_dir(tmp_path):
    """A folder with a subfolder of random-pixel PNGs, thin ones among them."""
    rng = random.Random(5)
    root = tmp_path / "sprites"
    (root / "ui").mkdir(parents=True)
    sources = {}
    for i in range(40):
        size = (rng.randint(3, 12), rng.randint(20, 40)) if i % 4 == 0 else (rng.randint(4, 24), rng.randint(4, 24))
        name = f"ui/s{i:02d}.png" if i % 2 else f"s{i:02d}.png"
        image = noise_sprite(rng, *size)
        image.save(root / name)
        sources[name] = image
    (root / "notes.txt").write_text("not an image")
    return root, sources


def read_layers(out):
    manifests = sorted(out.glob("atlas_*.json"), key=lambda p: int(p.stem.split("_")[1]))
    return [json.loads(p.read_text()) for p in manifests]


def cut_frame(atlas, entry):
    f = entry["frame"]
    w, h = (f["h"], f["w"]) if entry["rotated"] else (f["w"], f["h"])
    region = atlas.crop((f["x"], f["y"], f["x"] + w, f["y"] + h))
    return region.transpose(Image.Transpose.ROTATE_90) if entry["rotated"] else region


@pytest.mark.parametrize("texture, padding", [(64, 0), (64, 2), (0, 1)])
def test_round_trip_restores_every_sprite(tmp_path, sprite_dir, capsys, texture, padding):
    root, sources = sprite_dir
    out = tmp_path / "out"
    assert main(["pack", str(root), "--out", str(out), "--max-texture-size", str(texture),
                 "--padding", str(padding), "--preview"]) == 0

    layers = read_layers(out)
    seen, rotated = set(), 0
    for index, manifest in enumerate(layers):
        meta = manifest["meta"]
        assert meta["image"] == f"atlas_{index}.png" and meta["format"] == "RGBA8888" and meta["scale"] == "1"
        atlas = Image.open(out / meta["image"])
        assert atlas.size == (meta["size"]["w"], meta["size"]["h"])
        assert Image.open(out / f"atlas_{index}_preview.png").size == atlas.size
        if texture:
            assert atlas.width <= texture and atlas.height <= texture
        rects = []
        for name, entry in manifest["frames"].items():
            assert entry["trimmed"] is False
            assert entry["sourceSize"] == {"w": sources[name].width, "h": sources[name].height}
            assert cut_frame(atlas, entry).tobytes() == sources[name].tobytes(), name
            f = entry["frame"]
            w, h = (f["h"], f["w"]) if entry["rotated"] else (f["w"], f["h"])
            rects.append((f["x"] - padding, f["y"] - padding, f["x"] + w + padding, f["y"] + h + padding))
            rotated += entry["rotated"]
            seen.add(name)
        # Padded footprints stay inside the atlas and never overlap.
        for i, a in enumerate(rects):
            assert a[0] >= 0 and a[1] >= 0 and a[2] <= atlas.width and a[3] <= atlas.height
            for b in rects[i + 1:]:
                assert a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1]
        # Outside the frames (the padding included) every pixel is transparent.
        alpha = atlas.getchannel("A")
        for x0, y0, x1, y1 in rects:
            alpha.paste(0, (x0 + padding, y0 + padding, x1 - padding, y1 - padding))
        assert alpha.getbbox() is None
    assert seen == set(sources)
    assert rotated > 0
    summary = capsys.readouterr().out
    assert summary.startswith(f"tessel-atlas: 40 sprites in {len(layers)} layer")
    assert "There remains" not in summary


def test_csv_layout_writes_manifests_only(tmp_path, capsys):
    layout = tmp_path / "layout.csv"
    layout.write_text("name,w,h\nhero,30,10\ntile,16,16\n\nbeam,4,60\n")
    out = tmp_path / "out"
    assert main(["pack", str(layout), "--out", str(out), "--max-texture-size", "0"]) == 0
    assert sorted(p.name for p in out.iterdir()) == ["atlas_0.json"]
    frames = read_layers(out)[0]["frames"]
    assert set(frames) == {"hero", "tile", "beam"}
    assert frames["hero"]["frame"]["w"] == 30 and frames["hero"]["frame"]["h"] == 10


def test_rerun_with_fewer_layers_removes_stale_files(tmp_path):
    layout = tmp_path / "layout.csv"
    out = tmp_path / "out"
    layout.write_text("".join(f"s{i},60,60\n" for i in range(3)))
    assert main(["pack", str(layout), "--out", str(out), "--max-texture-size", "100"]) == 0
    assert len(read_layers(out)) == 3
    layout.write_text("s0,60,60\n")
    assert main(["pack", str(layout), "--out", str(out), "--max-texture-size", "100"]) == 0
    assert sorted(p.name for p in out.iterdir()) == ["atlas_0.json"]


def broken_png(folder):
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n garbage")


def truncated_png(folder):
    noise_sprite(random.Random(1), 40, 40).save(folder / "cut.png")
    data = (folder / "cut.png").read_bytes()
    (folder / "cut.png").write_bytes(data[: len(data) // 2])


def nothing(folder):
    (folder / "fine.png").unlink()


def huge_sprite(folder):
    Image.new("RGBA", (300, 20)).save(folder / "huge.png")


@pytest.mark.parametrize(
    "make_input, extra, message",
    [
        (broken_png, [], "broken.png: not a readable image"),
        (truncated_png, [], "cut.png: not a readable image"),
        (nothing, [], "no sprites found in the input"),
        (huge_sprite, ["--max-texture-size", "256"],
         "huge.png: 300 x 20 pixels does not fit a 256 x 256 texture; raise --max-texture-size"),
        (huge_sprite, ["--max-texture-size", "300", "--padding", "1"],
         "huge.png: 300 x 20 pixels with 1 px padding does not fit a 300 x 300 texture"),
    ],
)
def test_failures_name_the_file_and_leave_no_output(tmp_path, capsys, make_input, extra, message):
    folder = tmp_path / "in"
    folder.mkdir()
    Image.new("RGBA", (8, 8), (255, 0, 0, 255)).save(folder / "fine.png")
    make_input(folder)
    out = tmp_path / "out"
    assert main(["pack", str(folder), "--out", str(out), *extra]) == 1
    assert message in capsys.readouterr().err
    assert not out.exists()


def test_unwritable_output_folder(tmp_path, capsys):
    (tmp_path / "blocker").write_text("a file, not a folder")
    layout = tmp_path / "layout.csv"
    layout.write_text("a,4,4\n")
    assert main(["pack", str(layout), "--out", str(tmp_path / "blocker" / "out")]) == 1
    assert "cannot write the output folder" in capsys.readouterr().err


def test_failure_keeps_an_existing_atlas(tmp_path, sprite_dir):
    root, _ = sprite_dir
    out = tmp_path / "out"
    assert main(["pack", str(root), "--out", str(out)]) == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    truncated_png(root)
    assert main(["pack", str(root), "--out", str(out)]) == 1
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


@pytest.mark.parametrize(
    "argv",
    [[], ["pack", "x.png"], ["pack", "x.png", "--out", "o", "--padding", "-1"],
     ["pack", "x.png", "--out", "o", "--max-texture-size", "big"]],
)
def test_bad_usage_exits_with_2(argv):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2


@pytest.mark.parametrize("bad_row", ["a,4", "a,4,-1", "a,x,3", ",4,4"])
def test_bad_csv_rows_name_the_line(tmp_path, capsys, bad_row):
    layout = tmp_path / "layout.csv"
    layout.write_text(f"ok,3,3\n{bad_row}\n")
    assert main(["pack", str(layout), "--out", str(tmp_path / "out")]) == 1
    assert "layout.csv, line 2: expected 'name,w,h'" in capsys.readouterr().err


def test_demo_command_writes_both_atlases(tmp_path):
    # The script sits beside the interpreter of the environment it was installed into.
    executable = shutil.which("tessel-atlas", path=str(Path(sys.executable).parent)) or shutil.which("tessel-atlas")
    if executable is None:
        pytest.skip("the tessel-atlas script is not on PATH")
    done = subprocess.run([executable, "demo", "--out", str(tmp_path / "demo")],
                          capture_output=True, text=True, check=True)
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("tessel-atlas: 300 sprites in ") for line in lines)
    for mode in ("single", "layered"):
        names = {p.name for p in (tmp_path / "demo" / mode).iterdir()}
        layers = len(read_layers(tmp_path / "demo" / mode))
        assert names == {f"atlas_{i}{suffix}" for i in range(layers)
                         for suffix in (".png", ".json", "_preview.png")}
    assert len(read_layers(tmp_path / "demo" / "single")) == 1
