"""Block-compressed layers loaded by a native engine: LÖVE 11.4 (Debian's
`love`, under xvfb-run with Mesa's software OpenGL) reads each KTX file
with love.image.newCompressedData, draws every frame onto a canvas of its
source size as a game does (the alpha blend mode, premultiplied where the
layer says so) and writes the canvas's pixels for this test to compare with
the blocks as texture2ddecoder decodes them.

The manifests are a Lua table made by a template of the test's own, one
file for each texture format's set (atlas.lua, atlas.bc7.lua, ...).
"""

import functools
import shutil

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
pytest.importorskip("texture2ddecoder")
pytest.importorskip("etcpak")
pytest.importorskip("astc_encoder")
from atlas_files import make_keyed_sprites, make_sprites, open_layer, run_in_own_session  # noqa: E402
from tessel_atlas.cli import main  # noqa: E402

LOVE = shutil.which("love")
XVFB = shutil.which("xvfb-run")

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not (LOVE and XVFB), reason="LÖVE is not installed (apt-get install love xvfb)"),
]

TEMPLATE = """return {
{%- for layer in layers %}
  {image = {{ layer.image | json }}, premultiplied = {{ "true" if layer.premultiplied else "false" }}, frames = {
  {%- for f in layer.frames %}
    {name = {{ f.name | json }}, x = {{ f.x }}, y = {{ f.y }}, w = {{ f.width }}, h = {{ f.height }},
     trim_x = {{ f.trim_x }}, trim_y = {{ f.trim_y }}, source_w = {{ f.source_width }},
     source_h = {{ f.source_height }}},
  {%- endfor %}
  }},
{%- endfor %}
}
"""

CONF = """function love.conf(t)
  t.identity = "tessel-atlas-test"
  t.modules.audio, t.modules.sound = false, false
end
"""

# Each set given on the command line: every frame drawn alone, its pixels
# written to RESULTS/SET/N.rgba, and in RESULTS/SET/frames a line for each:
# its name and what LÖVE drew it from, tab-separated.
MAIN = r"""function love.load(args)
  local results = args[1]
  for i = 2, #args do
    local set = args[i]
    local lines = {}
    for _, layer in ipairs(love.filesystem.load(set)()) do
      local image
      if layer.image:match("%.ktx$") then
        image = love.graphics.newImage(love.image.newCompressedData(layer.image))
      else
        image = love.graphics.newImage(layer.image)
      end
      image:setFilter("nearest", "nearest")
      for _, f in ipairs(layer.frames) do
        local canvas = love.graphics.newCanvas(f.source_w, f.source_h)
        love.graphics.setCanvas(canvas)
        love.graphics.clear(0, 0, 0, 0)
        love.graphics.setBlendMode("alpha", layer.premultiplied and "premultiplied" or "alphamultiply")
        love.graphics.draw(image, love.graphics.newQuad(f.x, f.y, f.w, f.h, image:getDimensions()), f.trim_x, f.trim_y)
        love.graphics.setCanvas()
        table.insert(lines, table.concat({f.name, layer.image, tostring(layer.premultiplied), f.x, f.y, f.w, f.h,
                                          f.trim_x, f.trim_y, f.source_w, f.source_h}, "\t"))
        local file = assert(io.open(results .. "/" .. set .. "/" .. #lines .. ".rgba", "wb"))
        file:write(canvas:newImageData():getString())
        file:close()
      end
    end
    local file = assert(io.open(results .. "/" .. set .. "/frames", "w"))
    file:write(table.concat(lines, "\n"))
    file:close()
  end
  love.event.quit()
end

-- A failure ends the run, rather than showing LÖVE's error screen until killed.
function love.errorhandler(message)
  io.stderr:write(debug.traceback(tostring(message)) .. "\n")
  os.exit(1)
end
"""

BLOCKS = ("bc7", "etc2", "astc", "bc3")


def premultiplied(rgba: np.ndarray) -> np.ndarray:
    alpha = rgba[..., 3:4].astype(np.int32)
    return np.concatenate([(rgba[..., :3] * alpha + 127) // 255, alpha], axis=-1)


@pytest.mark.parametrize("alpha", ["straight", "--premultiply"])
def test_love_draws_every_frame_of_each_block_format_as_decoded(tmp_path, alpha):
    sprites = tmp_path / "sprites"
    sources = make_sprites(sprites, count=30, seed=21)
    template = tmp_path / "atlas{suffix}.lua.j2"
    template.write_text(TEMPLATE)
    out = tmp_path / "game"
    assert main(["pack", str(sprites), "--out", str(out), "--format=template", f"--template={template}",
                 "--max-texture-size=64", "--no-rotation", "--quiet", *[f"--texture-format={f}" for f in BLOCKS],
                 *([alpha] if alpha != "straight" else [])]) == 0
    (out / "conf.lua").write_text(CONF)
    (out / "main.lua").write_text(MAIN)
    sets = ["atlas.lua"] + [f"atlas.{block}.lua" for block in BLOCKS]
    results = tmp_path / "results"
    layers = functools.lru_cache(None)(lambda path: np.asarray(open_layer(path)).astype(np.int32))
    for name in sets:
        (results / name).mkdir(parents=True)
    # LÖVE keeps its save folder under HOME.
    status, errors = run_in_own_session([XVFB, "-a", LOVE, str(out), str(results), *sets],
                                        env={"HOME": str(tmp_path), "PATH": "/usr/bin:/bin"})
    assert status == 0, errors

    for name in sets:
        lines = (results / name / "frames").read_text().split("\n")
        assert sorted(line.split("\t")[0] for line in lines) == sorted(sources), name
        for n, line in enumerate(lines, start=1):
            sprite, image, premultiplied_layer, *numbers = line.split("\t")
            x, y, w, h, trim_x, trim_y, source_w, source_h = map(int, numbers)
            assert image.endswith(".png" if name == "atlas.lua" else f".{name.split('.')[1]}.ktx"), (name, image)
            assert premultiplied_layer == ("true" if alpha != "straight" else "false"), name
            got = np.frombuffer((results / name / f"{n}.rgba").read_bytes(), np.uint8).astype(np.int32)
            got = got.reshape(source_h, source_w, 4)
            stored = np.zeros((source_h, source_w, 4), np.int32)
            stored[trim_y:trim_y + h, trim_x:trim_x + w] = layers(out / image)[y:y + h, x:x + w]
            want = stored if alpha != "straight" else premultiplied(stored)
            # Blending rounds semi-transparent pixels once; Mesa decodes BC3's
            # interpolated colours and ASTC a level apart from texture2ddecoder.
            levels = 2 if name in ("atlas.astc.lua", "atlas.bc3.lua") else 1
            exact = (want[..., 3] == 0) | (want[..., 3] == 255)
            assert (abs(got - want)[exact] <= levels - 1).all(), (name, sprite)
            assert (abs(got - want)[~exact] <= levels).all(), (name, sprite)


# Each frame not named key_* of the set given drawn at 1/2, 1/4 and 1/8 of
# its size with trilinear filtering, from levels read from the KTX files or
# made as the PNG layers load: on a whole pixel and a fraction past it, a
# pixel of margin around, written to RESULTS/NAME-SCALE-OFFSET.rgba;
# RESULTS/frames lists the frames drawn, RESULTS/levels the last layer's
# mipmap levels (layers without levels are drawn from the full size).
MIP_MAIN = r"""function love.load(args)
  local results, names = args[1], {}
  for _, layer in ipairs(love.filesystem.load(args[2])()) do
    local image
    if layer.image:match("%.ktx$") then
      image = love.graphics.newImage(love.image.newCompressedData(layer.image), {mipmaps = true})
    else
      image = love.graphics.newImage(layer.image, {mipmaps = true})
    end
    image:setFilter("linear", "linear")
    if image:getMipmapCount() > 1 then image:setMipmapFilter("linear") end
    levels = image:getMipmapCount()
    for _, f in ipairs(layer.frames) do
      if not f.name:match("^key_") then
        table.insert(names, f.name)
        for _, scale in ipairs({0.5, 0.25, 0.125}) do
          for _, offset in ipairs({0, 0.375}) do
            local canvas = love.graphics.newCanvas(math.ceil(f.w * scale) + 2, math.ceil(f.h * scale) + 2)
            love.graphics.setCanvas(canvas)
            love.graphics.clear(0, 0, 0, 0)
            love.graphics.setBlendMode("alpha", "alphamultiply")
            love.graphics.draw(image, love.graphics.newQuad(f.x, f.y, f.w, f.h, image:getDimensions()),
                               1 + offset, 1 + offset, 0, scale, scale)
            love.graphics.setCanvas()
            local out = assert(io.open(string.format("%s/%s-%g-%g.rgba", results, f.name, scale, offset), "wb"))
            out:write(canvas:newImageData():getString())
            out:close()
          end
        end
      end
    end
  end
  local file = assert(io.open(results .. "/frames", "w"))
  file:write(table.concat(names, "\n"))
  file:close()
  file = assert(io.open(results .. "/levels", "w"))
  file:write(levels)
  file:close()
  love.event.quit()
end

function love.errorhandler(message)
  io.stderr:write(debug.traceback(tostring(message)) .. "\n")
  os.exit(1)
end
"""


@pytest.mark.parametrize("texture", ["png", "bc7", "astc"])  # ETC2 stores blue where there is none
def test_love_draws_mipmapped_frames_small_without_their_neighbours(tmp_path, texture):
    sprites = tmp_path / "sprites"
    make_keyed_sprites(sprites)  # no blue in the frames, pure magenta in the keys around them
    template = tmp_path / "atlas{suffix}.lua.j2"
    template.write_text(TEMPLATE)
    for label, options in (("kept apart", ["--mipmaps"]), ("tight", ["--pot"])):
        out = tmp_path / label
        assert main(["pack", str(sprites), "--out", str(out), "--format=template", f"--template={template}",
                     "--max-texture-size=256", "--no-rotation", "--quiet", *options,
                     *([] if texture == "png" else [f"--texture-format={texture}"])]) == 0
        (out / "conf.lua").write_text(CONF)
        (out / "main.lua").write_text(MIP_MAIN)
        results = tmp_path / f"{label} drawn"
        results.mkdir()
        status, errors = run_in_own_session(
            [XVFB, "-a", LOVE, str(out), str(results), "atlas.lua" if texture == "png" else f"atlas.{texture}.lua"],
            env={"HOME": str(tmp_path), "PATH": "/usr/bin:/bin"})
        assert status == 0, errors
        names = (results / "frames").read_text().split("\n")
        assert len(names) == 12
        blue = max(np.frombuffer(path.read_bytes(), np.uint8)[2::4].max() for path in results.glob("*.rgba"))
        if label == "kept apart":  # from every level, read from the file or made by LÖVE
            assert (results / "levels").read_text() == "9", texture
            assert blue <= 8, (texture, "a key sprite shows")
        else:  # packed tightly, they do: the measure can fail
            assert blue > 64, texture
