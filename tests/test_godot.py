"""Godot resources loaded by Godot 3 itself (Debian's godot3-server): every
AtlasTexture rebuilds its sprite from the imported layer image, and every
SpriteFrames holds its animation's frames in order, at the speed and with
the looping the project file asked for; an Aseprite file's tags play each
frame for its duration, in their direction, as many times as they say.

Godot loads a layer image's pixels only once its editor has imported it
(otherwise an 8 x 8 placeholder): `godot3 --editor --quit` under xvfb-run
imports them, and then ends with status 134, so it is judged by the files
it writes. The import gives pixels whose alpha is below 20 a stronger
neighbour's colour (its fix_alpha_border), so colour is compared where
alpha is 20 or more, alpha everywhere.
"""

import json
import os
import random
import shutil

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
import aseprite_files as ase  # noqa: E402
from atlas_files import expected_sprite, make_sprites, noise_sprite, run_in_own_session  # noqa: E402
from tessel_atlas.cli import main  # noqa: E402

GODOT = shutil.which("godot3-server")
EDITOR = shutil.which("godot3")
XVFB = shutil.which("xvfb-run")

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not (GODOT and EDITOR and XVFB),
                       reason="Godot 3 is not installed (apt-get install godot3-server godot3 xvfb)"),
]

# Loads every resource of the folder and writes what it found: each
# AtlasTexture's sprite drawn at its size (region placed at the margin's
# offset), and each SpriteFrames' animations.
CHECK = """extends SceneTree

func _init():
    var found = {}
    var results = OS.get_environment("RESULTS")
    var folder = Directory.new()
    folder.open("res://atlas")
    folder.list_dir_begin(true, true)
    var name = folder.get_next()
    while name != "":
        if name.ends_with(".tres"):
            var resource = load("res://atlas/" + name)
            if resource is AtlasTexture:
                var size = resource.get_size()
                var layer = resource.atlas.get_data()
                layer.convert(Image.FORMAT_RGBA8)
                var sprite = Image.new()
                sprite.create(int(size.x), int(size.y), false, Image.FORMAT_RGBA8)
                sprite.blit_rect(layer, resource.region, resource.margin.position)
                sprite.save_png(results + "/" + name.get_basename() + ".png")
                found[name] = {"atlas": resource.atlas.resource_path, "filter_clip": resource.filter_clip,
                               "size": [size.x, size.y]}
            elif resource is SpriteFrames:
                var frames = []
                for i in range(resource.get_frame_count("default")):
                    frames.append(resource.get_frame("default", i).resource_path)
                found[name] = {"names": resource.get_animation_names(), "frames": frames,
                               "speed": resource.get_animation_speed("default"),
                               "loop": resource.get_animation_loop("default")}
        name = folder.get_next()
    var file = File.new()
    file.open(results + "/found.json", File.WRITE)
    file.store_string(to_json(found))
    file.close()
    quit()
"""


def test_godot_loads_every_sprite_and_animation(tmp_path):
    root = tmp_path / "sprites"
    sources = make_sprites(root, count=12)
    rng = random.Random(4)
    (root / "hero").mkdir()
    normals = {}
    for i in (1, 2, 10):  # 10 after 2; each with a normal map
        sources[f"hero/walk_{i}.png"] = noise_sprite(rng, 9, 12, (1, 0, 0, 2))
        sources[f"hero/walk_{i}.png"].save(root / f"hero/walk_{i}.png")
        normals[f"hero/walk_{i}.png"] = noise_sprite(rng, 9, 12).convert("RGB").convert("RGBA")
        normals[f"hero/walk_{i}.png"].save(root / f"hero/walk_{i}_n.png")
    rng_pixels = np.random.default_rng(6)
    durations = [100, 150, 50, 200]
    knight = ase.Document(7, 6, [ase.Layer("body"), ase.Layer("hidden", visible=False)], [
        ase.Frame(d, [ase.Cel(0, i % 2, 0, rng_pixels.integers(0, 256, (5, 6, 4), np.uint8) | np.uint8(64)),
                      ase.Cel(1, 0, 0, np.full((6, 7, 4), 255, np.uint8))]) for i, d in enumerate(durations)],
        tags=[("run", 0, 3, 0, 0), ("back", 0, 3, 1, 2), ("bounce", 0, 2, 2, 0)])
    (root / "knight.aseprite").write_bytes(ase.write(knight))
    (tmp_path / "atlas.toml").write_text('[[animations]]\nmatch = "hero/*"\nspeed = 12\nloop = false\n')
    project = tmp_path / "project"
    project.mkdir()
    (project / "project.godot").write_text('config_version=4\n\n[application]\nconfig/name="atlas test"\n')
    assert main(["pack", str(root), "--out", str(project / "atlas"), "--format", "godot", "--max-texture-size", "64",
                 "--config", str(tmp_path / "atlas.toml"), "--normal-maps", "--quiet"]) == 0
    (project / "check.gd").write_text(CHECK)
    # Not the sanitizer runtimes that a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    # The editor imports what it has not yet imported as it opens the
    # project. Once in a full test run it quit with none of the images
    # imported; opened again, it imports what is missing. So it gets three
    # chances, not a time limit.
    wanted = sorted(f"{p.name}.import" for p in (project / "atlas").glob("atlas_*.png"))
    for _ in range(3):
        _, editor_errors = run_in_own_session([XVFB, "-a", EDITOR, "--path", str(project), "--editor", "--quit"],
                                              env=env)
        if sorted(p.name for p in (project / "atlas").glob("*.import")) == wanted:
            break
    assert sorted(p.name for p in (project / "atlas").glob("*.import")) == wanted, editor_errors
    results = tmp_path / "results"
    results.mkdir()
    status, errors = run_in_own_session([GODOT, "--path", str(project), "--script", "check.gd"],
                                        env={**env, "RESULTS": str(results)})
    assert status == 0, errors
    found = json.loads((results / "found.json").read_text())

    stems = {name[:-4].replace("/", "-"): name for name in sources}
    knight_frames = {f"knight_{i}": i for i in range(4)}
    knight_frames.update({f"knight-{tag}_{n}": first + n for tag, first, last, _, _ in knight.tags
                          for n in range(last - first + 1)})
    every = set(stems) | set(knight_frames)
    assert {n[:-5] for n, f in found.items() if "atlas" in f} == every | {f"{stem}_n" for stem in every}
    for stem, number in knight_frames.items():
        got = np.asarray(Image.open(results / f"{stem}.png").convert("RGBA")).astype(int)
        want = ase.composite(knight, number).astype(int)
        strong = want[..., 3] >= 20
        assert (got[..., 3] == want[..., 3]).all() and (got[strong][:, :3] == want[strong][:, :3]).all(), stem
    # Every tag (and the whole file) shows each frame for its duration, within one tick, in
    # the order its direction and repeat count say; it loops only when it plays for ever.
    for animation, order, loop in (("knight", [0, 1, 2, 3], True), ("knight-run", [0, 1, 2, 3], True),
                                   ("knight-back", [3, 2, 1, 0] * 2, False), ("knight-bounce", [0, 1, 2, 1], True)):
        record = found[f"{animation}.frames.tres"]
        runs = []
        for path in record["frames"]:
            if runs and runs[-1][0] == path:
                runs[-1][1] += 1
            else:
                runs.append([path, 1])
        tick = 1000 / record["speed"]
        assert [path for path, _ in runs] == [f"res://atlas/{animation}_{n}.tres" for n in order], animation
        assert all(abs(count * tick - durations[n]) < tick for (_, count), n in zip(runs, order)), animation
        assert record["loop"] == loop, animation
    for stem, name in stems.items():
        record = found[f"{stem}.tres"]
        assert record["atlas"].startswith("res://atlas/atlas_") and record["filter_clip"], name
        assert record["size"] == list(sources[name].size), name
        got = np.asarray(Image.open(results / f"{stem}.png").convert("RGBA")).astype(int)
        want = np.asarray(expected_sprite(sources[name], True, 0, 0)[0].convert("RGBA")).astype(int)
        assert (got[..., 3] == want[..., 3]).all(), name
        strong = want[..., 3] >= 20
        assert (got[strong][:, :3] == want[strong][:, :3]).all(), name
        # Its normal map's region, of the normal maps' layer: the normal map (or flat) in the sprite's trim box.
        record = found[f"{stem}_n.tres"]
        assert record["atlas"] == found[f"{stem}.tres"]["atlas"].replace(".png", "_n.png"), name
        got = np.asarray(Image.open(results / f"{stem}_n.png").convert("RGBA")).astype(int)
        normal = np.asarray(normals.get(name, Image.new("RGBA", sources[name].size, (128, 128, 255, 255)))).astype(int)
        assert (got[got[..., 3] > 0] == normal[got[..., 3] > 0]).all(), name
        ys, xs = np.nonzero(want[..., 3])  # the trim box; a sprite with no pixels keeps its corner one
        assert (got[..., 3] > 0).sum() == ((np.ptp(xs) + 1) * (np.ptp(ys) + 1) if len(xs) else 1), name
    # An animation of the sprites named s00, s02, ... and one of hero/walk_1, _2, _10: in numeric
    # order, the project's speed and looping for the hero, 10 a second and looping for the rest.
    assert found["hero-walk.frames.tres"] == {
        "names": ["default"], "speed": 12, "loop": False,
        "frames": [f"res://atlas/hero-walk_{i}.tres" for i in (1, 2, 10)]}
    assert found["s.frames.tres"]["frames"] == [f"res://atlas/s{i:02d}.tres" for i in range(0, 12, 2)]
    assert (found["s.frames.tres"]["speed"], found["s.frames.tres"]["loop"]) == (10, True)
