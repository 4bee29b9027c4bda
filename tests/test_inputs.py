"""Tests of the files artists draw in as input: Aseprite files, animated
GIF/PNG/WebP and layered Photoshop files, read into named, timed frames."""

import json
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

Image = pytest.importorskip("PIL.Image")
import aseprite_files as ase  # noqa: E402
from atlas_files import read_frames, restore  # noqa: E402
from tessel_atlas.cli import main  # noqa: E402
from tessel_atlas.errors import AtlasError  # noqa: E402
from tessel_atlas.inputs import aseprite, animated  # noqa: E402


def frames_of(path):
    sheet, decode = aseprite.read(str(path))
    return sheet, decode()


@st.composite
def documents(draw):
    depth = draw(st.sampled_from([8, 16, 32]))
    width, height = draw(st.integers(1, 9)), draw(st.integers(1, 9))
    layers = []
    for i in range(draw(st.integers(1, 4))):
        before = layers[-1] if layers else None
        top = 0 if before is None else before.level + (1 if before.group else 0)
        layers.append(ase.Layer(f"layer {i}", visible=draw(st.booleans()) or i == 0, group=draw(st.booleans()),
                                level=draw(st.integers(0, top)), opacity=draw(st.sampled_from([255, 128, 7, 0])),
                                background=i == 0 and draw(st.booleans()), reference=draw(st.integers(0, 9)) == 0))
    channels = {8: 1, 16: 2, 32: 4}[depth]
    palette = np.array(draw(st.lists(st.tuples(*[st.integers(0, 255)] * 4), min_size=4, max_size=4)), np.uint8)
    frames = []
    for number in range(draw(st.integers(1, 3))):
        cels = []
        for index, layer in enumerate(layers):
            if layer.group or not draw(st.booleans()):
                continue
            earlier = [n for n in range(number) if any(c.layer == index and c.pixels is not None for c in frames[n].cels)]
            if earlier and draw(st.booleans()):
                cels.append(ase.Cel(index, 0, 0, None, link=draw(st.sampled_from(earlier)), z=draw(st.integers(-1, 1))))
                continue
            w, h = draw(st.integers(1, 6)), draw(st.integers(1, 6))
            top = 3 if depth == 8 else 255
            pixels = np.array(draw(st.lists(st.integers(0, top), min_size=w * h * channels,
                                            max_size=w * h * channels)), np.uint8).reshape(h, w, channels)
            cels.append(ase.Cel(index, draw(st.integers(-4, 10)), draw(st.integers(-4, 10)), pixels,
                                opacity=draw(st.sampled_from([255, 200, 1])), z=draw(st.integers(-1, 1)),
                                compressed=draw(st.booleans())))
        frames.append(ase.Frame(draw(st.integers(0, 300)), cels))
    return ase.Document(width, height, layers, frames, depth, palette if depth == 8 else None,
                        transparent=draw(st.integers(0, 3)))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(doc=documents())
# A faint pixel whose alpha rounds to 0 keeps no colour (a later layer of no opacity once told).
@example(doc=ase.Document(1, 1, [ase.Layer("faint", opacity=7)],
                          [ase.Frame(100, [ase.Cel(0, 0, 0, np.array([[[0, 0, 1, 1]]], np.uint8))])]))
def test_every_frame_is_composed_as_the_format_describes(tmp_path_factory, doc):
    path = tmp_path_factory.mktemp("ase") / "sprite.aseprite"
    path.write_bytes(ase.write(doc))
    sheet, frames = frames_of(path)
    assert sheet.size == (doc.width, doc.height)
    assert list(sheet.durations) == [frame.duration or doc.speed for frame in doc.frames]
    for number, frame in enumerate(frames):
        np.testing.assert_array_equal(frame, ase.composite(doc, number), err_msg=f"frame {number}")


def two_layer_walk():
    """A 2-frame walk of two layers (the upper one half transparent), a
    hidden layer that must not show, and a tag, a nine-slice and a pivot."""
    rng = np.random.default_rng(3)
    body = [rng.integers(0, 256, (6, 5, 4), np.uint8) for _ in range(3)]
    for b in body:
        b[..., 3] = 255
    hat = rng.integers(0, 256, (2, 4, 4), np.uint8)
    hat[..., 3] = 128
    red = np.full((8, 8, 4), (255, 0, 0, 255), np.uint8)
    layers = [ase.Layer("body"), ase.Layer("hat", opacity=200), ase.Layer("guide", visible=False)]
    frames = [ase.Frame(d, [ase.Cel(0, 1, 1, b), ase.Cel(1, 2, 0, hat), ase.Cel(2, 0, 0, red)])
              for d, b in zip((100, 150, 50), body)]
    return ase.Document(8, 8, layers, frames, tags=[("walk", 1, 2, 2, 3)],
                        slices=[("panel", 0, 0, 8, 8, (2, 1, 4, 5), (4, 8))])


def test_an_aseprite_file_becomes_named_timed_frames_in_every_manifest(tmp_path):
    doc = two_layer_walk()
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "hero.aseprite").write_bytes(ase.write(doc))
    for fmt in ("json-hash", "aseprite", "godot"):
        assert main(["pack", str(tmp_path / "in"), "--out", str(tmp_path / fmt), "--format", fmt, "--quiet"]) == 0
    frames = read_frames(tmp_path / "json-hash")
    assert sorted(frames) == ["hero/walk_0", "hero/walk_1", "hero_0", "hero_1", "hero_2"]
    shows = {"hero_0": 0, "hero_1": 1, "hero_2": 2, "hero/walk_0": 1, "hero/walk_1": 2}
    for name, (image, record) in frames.items():
        drawn = np.asarray(restore(Image.open(image).convert("RGBA"), record))
        expected = ase.composite(doc, shows[name])
        visible = expected[..., 3] > 0
        np.testing.assert_array_equal(drawn[visible], expected[visible], err_msg=name)
        assert record["duration"] == doc.frames[shows[name]].duration
        # The slice's centre gives the borders, its pivot the pivot.
        assert record["borders"] == {"left": 2, "top": 1, "right": 2, "bottom": 2}
        assert record["pivot"] == {"x": 0.5, "y": 1.0}
    manifest = json.loads((tmp_path / "json-hash" / "atlas_0.json").read_text())
    assert manifest["animations"]["hero/walk"] == ["hero/walk_0", "hero/walk_1"]  # a ping-pong of two: out, back
    assert manifest["meta"]["playback"]["hero/walk"] == {"direction": "pingpong", "repeat": 3}
    assert manifest["meta"]["playback"]["hero"] == {"direction": "forward", "repeat": 0}
    tags = json.loads((tmp_path / "aseprite" / "atlas_0.json").read_text())
    walk = next(t for t in tags["meta"]["frameTags"] if t["name"] == "hero/walk")
    assert (walk["direction"], walk["repeat"]) == ("pingpong", "3")
    assert [tags["frames"][str(n)]["filename"] for n in range(walk["from"], walk["to"] + 1)] == \
        ["hero/walk_0", "hero/walk_1"]
    # Godot: one speed, a frame every 50 ms; three passes of a ping-pong of two,
    # 150 and 50 ms: out, back (its first frame the last one shown), out.
    text = (tmp_path / "godot" / "hero-walk.frames.tres").read_text()
    assert '"speed": 20.0' in text and '"loop": false' in text
    ids = dict(line.split('" type="Texture" id=') for line in text.splitlines() if line.startswith("[ext_resource"))
    listed = [int(n) for n in text.split('"frames": [ ')[1].split(" ]")[0].replace("ExtResource( ", "").
              replace(" )", "").split(", ")]
    names = {int(i.rstrip("]")): path.split('"')[1] for path, i in ids.items()}
    assert [names[i] for i in listed] == (["hero-walk_0.tres"] * 3 + ["hero-walk_1.tres"]) * 2


@pytest.mark.parametrize("change, message", [
    (lambda doc: setattr(doc.layers[1], "blend", 1), "layer 'hat' uses the blend mode Multiply"),
    (lambda doc: doc.tags.append(("", 0, 9, 0, 0)), "not a readable Aseprite file (tag '' is damaged"),
])
def test_what_cannot_be_drawn_exactly_is_one_line_naming_it(tmp_path, capsys, change, message):
    doc = two_layer_walk()
    change(doc)
    (tmp_path / "hero.aseprite").write_bytes(ase.write(doc))
    assert main(["pack", str(tmp_path / "hero.aseprite"), "--out", str(tmp_path / "out"), "--quiet"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "hero.aseprite" in err and message in err, err
    assert not (tmp_path / "out").exists()


@settings(max_examples=300, deadline=None)
@given(cut=st.integers(0, 10_000), flips=st.lists(st.tuples(st.integers(0, 10_000), st.integers(0, 255)), max_size=4))
def test_a_damaged_aseprite_file_is_refused_in_one_line_or_read(tmp_path_factory, cut, flips):
    data = bytearray(ase.write(two_layer_walk()))
    for at, value in flips:
        data[at % len(data)] = value
    path = tmp_path_factory.mktemp("bad") / "bad.ase"
    path.write_bytes(bytes(data[:len(data) - cut % len(data)]))
    try:
        sheet, frames = frames_of(path)
    except AtlasError as error:
        assert str(error).startswith(f"{path}: ") and "\n" not in str(error)
    else:
        assert all(f.shape == (sheet.size[1], sheet.size[0], 4) for f in frames)


def full_frames(rng, count, size=(9, 7)):
    """Frames in which only part changes from one to the next, and some pixels
    are transparent: what encoders store as sub-rectangles and disposals.
    Eight colours, so that a GIF's palette holds them exactly."""
    colours = np.concatenate([rng.integers(0, 256, (8, 3)), np.full((8, 1), 255)], axis=1).astype(np.uint8)
    first = colours[rng.integers(0, 8, size[::-1])]
    first[rng.random(size[::-1]) < 0.3] = 0
    frames = [first]
    for _ in range(count - 1):
        frame = frames[-1].copy()
        frame[2:5, 1:4] = colours[rng.integers(0, 8)]
        frame[0, :] = 0  # a row cleared
        frames.append(frame)
    return frames


@pytest.mark.parametrize("extension, options, repeat", [
    (".gif", {"loop": 0, "disposal": 2}, 0),
    (".png", {"loop": 3, "disposal": 1, "blend": 1}, 3),
    (".webp", {"loop": 0, "lossless": True}, 0),
])
def test_animated_images_give_every_frame_as_drawn_with_its_duration(tmp_path, extension, options, repeat):
    frames = full_frames(np.random.default_rng(5), 4)
    images = [Image.fromarray(f) for f in frames]
    path = tmp_path / f"walk{extension}"
    images[0].save(path, save_all=True, append_images=images[1:], duration=[100, 200, 40, 60], **options)
    sheet, decode = animated.read(str(path))
    read = decode()
    assert list(sheet.durations) == [100, 200, 40, 60] and sheet.timing.repeat == repeat
    with Image.open(path) as by_pillow:
        for number, frame in enumerate(read):
            by_pillow.seek(number)
            np.testing.assert_array_equal(frame, np.asarray(by_pillow.convert("RGBA")))
            visible = frames[number][..., 3] > 0
            np.testing.assert_array_equal(frame[visible], frames[number][visible], err_msg=f"frame {number}")
            assert (frame[..., 3] > 0).sum() == visible.sum()


def test_a_still_png_gif_or_webp_stays_one_sprite_named_as_its_file(tmp_path):
    for name in ("a.png", "b.gif", "c.webp"):
        Image.new("RGBA", (3, 3), (9, 9, 9, 255)).save(tmp_path / name)
        assert animated.read(str(tmp_path / name)) is None



@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(files=st.lists(st.lists(st.sampled_from([b"acTL", b"IDAT"]) | st.binary(max_size=3000), max_size=6)
                      .map(b"".join), max_size=150))
# The chunk's name ending on the head's last byte, and one byte past it.
@example(files=[bytes(animated.PNG_HEAD - 4) + b"acTL", bytes(animated.PNG_HEAD - 3) + b"acTL"])
def test_a_scan_tells_animated_pngs_by_the_animation_chunk_in_their_head(tmp_path_factory, files):
    # Chunk names anywhere, before and after the head's end (some across
    # it), in many files read on several threads; and a path that is no
    # file, and a folder, which are taken for stills.
    folder = tmp_path_factory.mktemp("heads")
    paths = [str(folder / "missing.png"), str(folder)]
    for number, data in enumerate(files):
        (folder / f"{number}.png").write_bytes(data)
        paths.append(str(folder / f"{number}.png"))

    def by_definition(data):
        head = data[:animated.PNG_HEAD]
        found = head.find(b"acTL")
        return found != -1 and (head.find(b"IDAT") == -1 or found < head.find(b"IDAT"))
    assert animated.pngs_maybe_animated(paths, 3) == [False, False] + [by_definition(data) for data in files]

def test_an_unchanged_aseprite_file_is_not_decoded_again(tmp_path, monkeypatch):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "hero.aseprite").write_bytes(ase.write(two_layer_walk()))
    Image.new("RGBA", (4, 4), (1, 2, 3, 255)).save(tmp_path / "in" / "other.png")
    argv = ["pack", str(tmp_path / "in"), "--out", str(tmp_path / "out"), "--quiet"]
    assert main(argv) == 0
    first = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir() if p.suffix != ".tessel-atlas"}
    composed = []
    monkeypatch.setattr(aseprite, "compose", lambda *a: composed.append(a) or pytest.fail("decoded again"))
    Image.new("RGBA", (4, 4), (1, 2, 4, 255)).save(tmp_path / "in" / "other.png")
    os.utime(tmp_path / "in" / "other.png", (1, 1))
    assert main(argv) == 0 and not composed
    again = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir() if p.suffix != ".tessel-atlas"}
    assert again.keys() == first.keys() and again != first



def test_photoshop_input_without_psd_tools_names_the_install(tmp_path, capsys, monkeypatch):
    import builtins
    real_import = builtins.__import__

    def without_psd_tools(name, *args, **kwargs):
        if name.startswith("psd_tools"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", without_psd_tools)
    (tmp_path / "art.psd").write_bytes(b"8BPS")
    assert main(["pack", str(tmp_path / "art.psd"), "--out", str(tmp_path / "out"), "--quiet"]) == 1
    err = capsys.readouterr().err
    assert "art.psd: reading Photoshop files needs psd-tools: pip install 'TesselPack[psd]'" in err


def test_photoshop_layers_are_sprites_at_their_offsets_hidden_ones_left_out(tmp_path):
    pytest.importorskip("psd_tools", reason="psd-tools is not installed (pip install '.[psd]', Python 3.11 or later)")
    from psd_tools import PSDImage
    from psd_tools.api.layers import Group, PixelLayer
    rng = np.random.default_rng(4)
    arm, hidden, leg = (rng.integers(0, 256, shape, np.uint8) for shape in ((4, 5, 4), (2, 2, 4), (3, 3, 4)))
    for pixels in (arm, hidden, leg):
        pixels[..., 3] = 255
    psd = PSDImage.new("RGBA", (16, 12))
    PixelLayer.frompil(Image.fromarray(arm), psd, "arm", 2, 3)
    PixelLayer.frompil(Image.fromarray(hidden), psd, "hidden", 0, 0).visible = False
    PixelLayer.frompil(Image.fromarray(leg), Group.new(psd, "legs"), "left", 1, 8)
    psd.save(tmp_path / "hero.psd")
    assert main(["pack", str(tmp_path / "hero.psd"), "--out", str(tmp_path / "out"), "--quiet"]) == 0
    frames = read_frames(tmp_path / "out")
    assert sorted(frames) == ["hero/arm", "hero/legs/left"]
    for name, pixels, (x, y) in (("hero/arm", arm, (3, 2)), ("hero/legs/left", leg, (8, 1))):
        image, record = frames[name]
        canvas = np.zeros((12, 16, 4), np.uint8)
        canvas[y:y + pixels.shape[0], x:x + pixels.shape[1]] = pixels
        np.testing.assert_array_equal(np.asarray(restore(Image.open(image).convert("RGBA"), record)), canvas)
