"""The PNG writer and reader of tessel-atlas, against Pillow's."""

import hashlib
import io
import itertools
import struct
import subprocess
import sys
import zlib
from dataclasses import replace
from unittest import mock

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from packing_checks import MEMORY_MEASURABLE

Image = pytest.importorskip("PIL.Image")
from tessel_atlas import images, png  # noqa: E402
from tessel_atlas.errors import AtlasError  # noqa: E402
from tessel_atlas.inputs import collect_sprites  # noqa: E402
from tessel_atlas._png import RunDeflater, bleed, deflate_rows, draw, filter_rows, visible_box  # noqa: E402
from tessel_atlas.inputs.still import rgba_array  # noqa: E402


def pictures():
    """Noise, flat areas, gradients and repeated rows: each favours another row filter."""
    def build(args):
        seed, height, width, kind = args
        rng = np.random.default_rng(seed)
        if kind == "noise":
            return rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
        y, x = np.mgrid[0:height, 0:width]
        gradient = np.stack([x * 7, y * 5, x + y, np.full_like(x, 255)], axis=-1) % 256
        if kind == "gradient":
            return gradient.astype(np.uint8)
        flat = np.zeros((height, width, 4), np.uint8)
        flat[height // 3:, : width // 2] = rng.integers(0, 256, 4)
        return flat if kind == "flat" else np.repeat(gradient[:1], height, axis=0).astype(np.uint8)
    return st.tuples(st.integers(0, 2**32), st.integers(1, 40), st.integers(1, 40),
                     st.sampled_from(["noise", "gradient", "flat", "repeated"])).map(build)


@settings(max_examples=60, deadline=None)
@given(pixels=pictures(), level=st.sampled_from([0, 1, 3, 9, png.RUNS]),
       strip=st.sampled_from([1, 100, png.STRIP_BYTES]), stdlib=st.booleans(), threads=st.sampled_from([1, 3]))
def test_written_pixels_read_back_exactly(tmp_path_factory, pixels, level, strip, stdlib, threads):
    folder = tmp_path_factory.mktemp("png")
    path = folder / "layer.png"
    with mock.patch.object(png, "STRIP_BYTES", strip), \
            mock.patch.object(png, "deflater", zlib if stdlib else png.deflater):
        png.write_png(path, pixels, level, threads)
        ours = png.read_rgba(path.read_bytes(), None)
        # Strips deflated on several threads at once make the file one thread makes.
        png.write_png(folder / "alone.png", pixels, level)
    assert path.read_bytes() == (folder / "alone.png").read_bytes()
    with Image.open(path) as image:
        assert image.mode == "RGBA"
        np.testing.assert_array_equal(np.asarray(image), pixels)
    np.testing.assert_array_equal(ours, pixels)


@settings(max_examples=60, deadline=None)
@given(pixels=pictures(), strip=st.sampled_from([1, 100, 300, png.STRIP_BYTES]), threads=st.sampled_from([1, 3]),
       data=st.data())
def test_a_layer_written_again_in_the_strips_that_changed_is_the_layer_written_whole(tmp_path_factory, pixels, strip,
                                                                                    threads, data):
    # Regions drawn again, as a rebuild draws sprites: rows (top, bottom), each changed from a column
    # on; one may be empty.
    height, width = pixels.shape[:2]
    regions = []
    for _ in range(data.draw(st.integers(1, 3))):
        top = data.draw(st.integers(0, height - 1))
        regions.append((top, data.draw(st.integers(top, height)), data.draw(st.integers(0, width - 1))))
    changed = pixels.copy()
    rng = np.random.default_rng(len(regions))
    for top, bottom, left in regions:
        changed[top:bottom, left:] = rng.integers(0, 256, (bottom - top, width - left, 4))
    rows = [(top, bottom) for top, bottom, _ in regions]
    folder = tmp_path_factory.mktemp("strips")
    with mock.patch.object(png, "STRIP_BYTES", strip):
        png.write_png(folder / "before.png", pixels, png.RUNS)
        png.write_png(folder / "after.png", changed, png.RUNS)
        before = (folder / "before.png").read_bytes()
        strips = png.read_layer_strips(before, (width, height), rows, threads)
        assert strips is not None
        per_strip = png.strip_rows(width)
        read = np.zeros_like(pixels)
        for k in strips.numbers:
            read[k * per_strip:(k + 1) * per_strip] = pixels[k * per_strip:(k + 1) * per_strip]
        np.testing.assert_array_equal(strips.pixels, read)
        for top, bottom, _ in regions:
            strips.pixels[top:bottom] = changed[top:bottom]
        png.write_patched(folder / "patched.png", strips, threads)
        assert (folder / "patched.png").read_bytes() == (folder / "after.png").read_bytes()
        # A byte changed anywhere in the file, or another size: not read as such a file.
        spoilt = bytearray(before)
        spoilt[data.draw(st.integers(0, len(before) - 1))] ^= 1 << data.draw(st.integers(0, 7))
        assert png.read_layer_strips(bytes(spoilt), (width, height), rows) is None
        assert png.read_layer_strips(before, (width, height + 1), rows) is None


@pytest.mark.parametrize("bits", [1, 2, 4])
def test_grey_of_fewer_bits_reads_as_pillow_reads_it(bits):
    # Pillow writes only 1-bit grey: the rows are packed here, unfiltered.
    levels = np.random.default_rng(bits).integers(0, 1 << bits, (9, 13), dtype=np.uint8)
    per_byte = 8 // bits
    rows = b"".join(b"\0" + bytes(sum(int(v) << (8 - bits * (k + 1)) for k, v in enumerate(row[at:at + per_byte]))
                                   for at in range(0, len(row), per_byte)) for row in levels)
    data = png.SIGNATURE + _chunk(b"IHDR", struct.pack(">IIBBBBB", 13, 9, bits, 0, 0, 0, 0)) + \
        _chunk(b"IDAT", zlib.compress(rows)) + _chunk(b"IEND", b"")
    ours = png.read_rgba(data, None)
    with Image.open(io.BytesIO(data)) as image:
        np.testing.assert_array_equal(ours, rgba_array(image))
    assert len(np.unique(ours[..., 0])) == len(np.unique(levels))


def test_the_reader_keeps_to_pillows_limit_on_pixels_without_importing_it():
    # What it takes for Pillow's limit while Pillow is not imported.
    assert png.PILLOW_DEFAULT_PIXELS == Image.MAX_IMAGE_PIXELS
    with mock.patch.object(Image, "MAX_IMAGE_PIXELS", 10):  # as a program using build() may set it
        assert png.pixel_limit() == 10


def test_a_build_of_pngs_read_here_never_loads_pillow(tmp_path):
    # An indexed sprite with a painting program's private chunk, as many are saved.
    (tmp_path / "sprites").mkdir()
    data = _indexed([0, 1, 1], bytes([9, 9, 9, 200, 0, 0]))
    (tmp_path / "sprites" / "a.png").write_bytes(data[:33] + _chunk(b"vpAg", bytes(9)) + data[33:])
    png.write_png(tmp_path / "sprites" / "b.png", np.full((5, 3, 4), 200, np.uint8), png.RUNS)
    code = ("import sys; from tessel_atlas import build; build(sys.argv[1], sys.argv[2]); "
            "print(sorted(m for m in sys.modules if m.split('.')[0] == 'PIL'))")
    shown = subprocess.run([sys.executable, "-c", code, str(tmp_path / "sprites"), str(tmp_path / "atlas")],
                           capture_output=True, text=True, check=True).stdout
    assert shown.strip() == "[]"


@st.composite
def runs_and_noise(draw):
    """Bytes as filtered rows hold them: runs of a byte (some longer than
    the longest match, 258), stretches of noise, and repeats too short to
    be a run; cut into pieces anywhere, empty ones included, so that runs
    cross from piece to piece."""
    parts = draw(st.lists(st.one_of(
        st.tuples(st.integers(0, 255), st.integers(1, 1200)).map(lambda run: bytes([run[0]]) * run[1]),
        st.binary(max_size=300),
        st.tuples(st.integers(0, 255), st.integers(0, 255)).map(lambda pair: bytes(pair) * 3)), max_size=30))
    data = b"".join(parts)
    cuts = sorted(draw(st.lists(st.integers(0, len(data)), max_size=5)))
    return [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]


@settings(max_examples=300, deadline=None)
@given(pieces=runs_and_noise())
@example(pieces=[])
@example(pieces=[b"a"])
# Past one block's symbols: many blocks, noise stored as it is, in pieces of at most 65535 bytes.
@example(pieces=[np.random.default_rng(1).integers(0, 256, 70_000, np.uint8).tobytes() + bytes(300_000) + b"ab" * 70_000])
def test_run_deflater_streams_are_what_zlib_inflates(pieces):
    deflating = RunDeflater()
    stream = b"".join(deflating.compress(piece) for piece in pieces) + deflating.flush()
    assert zlib.decompress(stream) == b"".join(pieces)  # checks the checksum too
    with pytest.raises(ValueError):
        deflating.compress(b"more")


def _fibonacci_literals():
    """Bytes 0 to 19 as often as the Fibonacci numbers from the second say,
    no byte twice in a row (so no runs): with the end of the block's one,
    each symbol outweighs all the rarer ones together, so a Huffman code
    for them is 20 bits deep, past deflate's 15."""
    counts = {value: count for value, count in enumerate(itertools.islice(_fibonacci(), 1, 21))}
    out = bytearray()
    while counts:
        value = max((v for v in counts if not out or v != out[-1]), key=counts.__getitem__)
        out.append(value)
        counts[value] -= 1
        if not counts[value]:
            del counts[value]
    return bytes(out)


def _fibonacci():
    a, b = 1, 1
    while True:
        yield a
        a, b = b, a + b


@pytest.mark.parametrize("data, kind", [
    (b"ab", 1),  # a few symbols: fixed codes cost less than a table of its own
    (np.random.default_rng(2).integers(0, 256, 5000, np.uint8).tobytes(), 0),  # noise: stored
    (bytes(range(64)) * 100 + bytes(1000), 2),  # skewed: codes of its own
    (_fibonacci_literals(), 2),  # codes too long, cut to 15 bits
])
def test_run_deflater_takes_the_shortest_kind_of_block(data, kind):
    deflating = RunDeflater()
    stream = deflating.compress(data) + deflating.flush()
    assert zlib.decompress(stream) == data
    assert (stream[2] >> 1) & 3 == kind  # the first block's type, after the two bytes of zlib's header


@st.composite
def saved_by_pillow(draw, **options):
    """A picture as Pillow saves it in one of the kinds sprites come in:
    RGBA; grey, grey and alpha, RGB, each but the alpha one with a colour
    made transparent or not; indexed, of 2 to 256 colours (so 1 to 8 bits
    a pixel), with each colour's alpha or none; grey of 1 bit."""
    pixels = draw(pictures())
    image = Image.fromarray(pixels)
    mode = draw(st.sampled_from(["RGBA", "RGBA", "L", "LA", "RGB", "P", "1"]))
    if mode == "P":
        image = image.quantize(draw(st.sampled_from([2, 4, 16, 256])), method=Image.Quantize.FASTOCTREE) \
            if draw(st.booleans()) else image.convert("RGB").quantize(draw(st.sampled_from([2, 3, 9, 200])))
    elif mode != "RGBA":
        image = image.convert(mode)
        if mode not in ("LA", "1") and draw(st.booleans()):  # the colour of a pixel that is there
            options["transparency"] = image.getpixel((0, 0))
    saved = io.BytesIO()
    image.save(saved, "PNG", **options)
    return saved.getvalue()


@settings(max_examples=60, deadline=None)
@given(data=st.sampled_from([{}, {"optimize": True}, {"compress_level": 1}]).flatmap(
    lambda options: saved_by_pillow(**options)))
def test_reads_what_pillow_writes_as_pillow_reads_it(data):
    with Image.open(io.BytesIO(data)) as image:
        np.testing.assert_array_equal(png.read_rgba(data, None), rgba_array(image))


def _chunks(data):
    position = 8
    while position < len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        yield position, length, kind
        position += 12 + length


def _broken(data, how):
    """The PNG file `data` damaged in one way."""
    spans = {kind: (position, length) for position, length, kind in _chunks(data)}
    at, length = spans[b"IDAT"]
    if how == "checksum":
        return data[:at + 8] + bytes([data[at + 8] ^ 1]) + data[at + 9:]
    if how == "truncated":
        return data[:at + 8 + length // 2]
    body = zlib.decompressobj().decompress(data[at + 8:at + 8 + length])
    if how == "filter byte":
        body = b"\x05" + body[1:]
    elif how == "short data":
        body = body[:-1]
    else:  # inflates to more than the image holds
        body = body + b"\x00" * 10
    idat = zlib.compress(body)
    chunk = struct.pack(">I", len(idat)) + b"IDAT" + idat + struct.pack(">I", zlib.crc32(idat, zlib.crc32(b"IDAT")))
    return data[:at] + chunk + data[at + 12 + length:]


@pytest.mark.parametrize("how", ["checksum", "truncated", "filter byte", "short data", "long data"])
def test_damaged_files_read_as_pillow_reads_them_or_are_left_to_it(tmp_path, how):
    good = io.BytesIO()
    Image.fromarray(np.arange(4 * 5 * 4, dtype=np.uint8).reshape(4, 5, 4)).save(good, "PNG")
    path = tmp_path / "damaged.png"
    path.write_bytes(_broken(good.getvalue(), how))
    ours = png.read_rgba(path.read_bytes(), None)
    try:
        with Image.open(path) as image:
            image.load()
            theirs = np.asarray(image)
    except (OSError, SyntaxError, ValueError):
        assert ours is None
    else:
        assert ours is None or np.array_equal(ours, theirs)


def _chunk(kind, body, mended=True):
    checksum = zlib.crc32(body, zlib.crc32(kind)) ^ (0 if mended else 1)
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", checksum)


# Chunks to put where they may or may not belong: harmless ones, ones Pillow
# refuses or reads into other pixels, and ones that are not chunks at all.
STRAY_CHUNKS = [
    (b"tEXt", b"Comment\0made here"), (b"tEXt", b"\0"), (b"gAMA", b"\0\0\xb1\x8f"), (b"gAMA", b"\0"),
    (b"sRGB", b"\0"), (b"pHYs", bytes(9)), (b"tIME", bytes(7)), (b"cHRM", bytes(31)), (b"IEND", b""),
    (b"zTXt", b"k\0\0" + zlib.compress(b"x" * 5_000_000)), (b"zTXt", b"k\0\7" + zlib.compress(b"x")),
    (b"iCCP", b"p\0\3" + zlib.compress(b"x")), (b"IHDR", struct.pack(">IIBBBBB", 1, 9, 8, 6, 0, 0, 0)),
    (b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0)), (b"IDAT", zlib.compress(bytes(40))),
    (b"PLTE", bytes(6)), (b"acTL", struct.pack(">II", 1, 0)), (b"a\0c!", b""), (b"prVt", b"mine"),
    (b"vpAg", bytes(9)), (b"PRVT", b"mine"), (b"fcTL", bytes(26)), (b"eXIf", b"MM\0*"),
    (b"bKGD", bytes(6)), (b"bKGD", bytes(2)), (b"zTXt", b"k\0\0" + zlib.compress(b"words")),
    (b"zTXt", b"k\0\0" + zlib.compress(b"x")[:-2]), (b"zTXt", b"\0\0" + zlib.compress(b"x")),
    (b"iCCP", b"icc\0\0" + zlib.compress(bytes(300))), (b"iCCP", b"icc\0\0" + zlib.compress(bytes(2_000_000))),
    (b"iTXt", b"k\0\0\0en\0k\0text"), (b"iTXt", b"k\0\1\0en\0k\0" + zlib.compress("tëxt".encode())),
    (b"iTXt", b"k\0\1\0en\0k\0" + zlib.compress(b"x" * 2_000_000)), (b"iTXt", b"k\0\1\5\0\0"),
    # A palette of 1 and of 2 colours; alpha or transparent colours of every length the kinds
    # take, one past the palette, one past 8 bits; backgrounds and significant bits.
    (b"PLTE", bytes(3)), (b"tRNS", b"\0"), (b"tRNS", bytes(2)), (b"tRNS", b"\1\0"), (b"tRNS", bytes(6)),
    (b"tRNS", bytes(257)), (b"bKGD", b"\0"), (b"sBIT", b"\5"), (b"sBIT", b"\5\5\5"), (b"sBIT", b"\1" * 4),
]


@st.composite
def mutated_pngs(draw):
    """A PNG written by Pillow, its chunks then moved, doubled, dropped,
    split, joined by strays or changed (checksum mended or not), and maybe
    cut short."""
    data = draw(saved_by_pillow(compress_level=draw(st.sampled_from([0, 1, 6]))))
    chunks = [(kind, data[at + 8:at + 8 + length], True) for at, length, kind in _chunks(data)]
    for _ in range(draw(st.integers(1, 3))):
        i = draw(st.integers(0, len(chunks) - 1))
        how = draw(st.sampled_from(["stray", "drop", "double", "swap", "split", "flip", "flip unmended"]))
        kind, body, mended = chunks[i]
        if how == "stray":
            chunks.insert(i, draw(st.sampled_from(STRAY_CHUNKS)) + (True,))
        elif how == "drop":
            del chunks[i]
        elif how == "double":
            chunks.insert(draw(st.integers(0, len(chunks))), chunks[i])
        elif how == "swap":
            j = draw(st.integers(0, len(chunks) - 1))
            chunks[i], chunks[j] = chunks[j], chunks[i]
        elif how == "split" and len(body) > 1:
            cut = draw(st.integers(1, len(body) - 1))
            chunks[i:i + 1] = [(kind, body[:cut], mended), (kind, body[cut:], mended)]
        elif how.startswith("flip") and body:
            at = draw(st.integers(0, len(body) - 1))
            flipped = body[:at] + bytes([body[at] ^ draw(st.integers(1, 255))]) + body[at + 1:]
            chunks[i] = (kind, flipped, mended and how == "flip")
        if not chunks:
            break
    out = png.SIGNATURE + b"".join(_chunk(*chunk) for chunk in chunks)
    if draw(st.booleans()):
        out = out[:draw(st.integers(0, len(out)))]
    return out


@settings(max_examples=400, deadline=None)
@given(data=mutated_pngs())
# A stream that fills the rows, then IDATs that carry more: the limit on what
# is inflated must never reach 0, which zlib takes for no limit.
@example(data=png.SIGNATURE + b"".join(_chunk(kind, body, True) for kind, body in (
    (b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0)),
    (b"IDAT", b"x\x9cc` \x0e\x00\x00\x00(\x00\x01"),
    (b"IDAT", b"x\x9cc` \x0e\x00\x00\x00(\x00\x01"),
    (b"IDAT", b"x\x01\x01\x05\x00\xfa\xff\x00_\x82\xc2\xd9\x05d\x02}"),
    (b"IEND", b""))))
def test_the_reader_gives_pillows_pixels_or_leaves_the_file_to_pillow(data):
    ours = png.read_rgba(data, Image.MAX_IMAGE_PIXELS)
    if ours is not None:
        with Image.open(io.BytesIO(data)) as image:
            image.load()
            np.testing.assert_array_equal(rgba_array(image), ours)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(not MEMORY_MEASURABLE, reason="AddressSanitizer's quarantine holds freed memory")
def test_reading_costs_a_small_multiple_of_the_image_however_it_is_chunked(tmp_path):
    pixels = np.random.default_rng(1).integers(0, 256, (200, 200, 4), dtype=np.uint8)
    image = io.BytesIO()
    Image.fromarray(pixels).save(image, "PNG", compress_level=1)
    data = image.getvalue()
    at = next(c[0] for c in _chunks(data) if c[2] == b"IDAT")
    idat = b"".join(data[a + 8:a + 8 + n] for a, n, kind in _chunks(data) if kind == b"IDAT")
    # One byte a chunk: 160 KB of pixels in about 160,000 chunks.
    path = tmp_path / "crumbs.png"
    path.write_bytes(data[:at] + b"".join(_chunk(b"IDAT", idat[i:i + 1]) for i in range(len(idat)))
                     + _chunk(b"IEND", b""))
    script = (
        "import sys, numpy as np\n"
        "from tessel_atlas import png\n"
        "def peak():\n"
        "    return int(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')).split()[1]) * 1024\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "before = peak()\n"
        "pixels = png.read_rgba(data, None)\n"
        "assert pixels is not None and pixels.shape == (200, 200, 4)\n"
        "print(peak() - before)\n")
    grown = int(subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True,
                               check=True).stdout)
    assert grown < 12 * pixels.nbytes, f"{grown} bytes for {pixels.nbytes} bytes of pixels"


def _indexed(indexes, palette):
    """An 8-bit indexed PNG of one row."""
    rows = zlib.compress(b"\0" + bytes(indexes))
    return png.SIGNATURE + _chunk(b"IHDR", struct.pack(">IIBBBBB", len(indexes), 1, 8, 3, 0, 0, 0)) + \
        _chunk(b"PLTE", palette) + _chunk(b"IDAT", rows) + _chunk(b"IEND", b"")


@settings(max_examples=40, deadline=None)
@given(files=st.lists(st.one_of(saved_by_pillow(), mutated_pngs(), st.just(b"GIF89a not really")), min_size=1,
                      max_size=9),
       trims=st.lists(st.booleans(), min_size=9, max_size=9), threshold=st.integers(0, 254),
       margin=st.integers(0, 2), batch_files=st.sampled_from([1, 2, 64]), most_side=st.sampled_from([8, 2**32]))
def test_sprites_read_in_batches_are_what_reading_each_alone_finds(tmp_path_factory, files, trims, threshold, margin,
                                                                    batch_files, most_side):
    # Batches of any size, cut short by a canvas judged alone, among files read as other images are.
    folder = tmp_path_factory.mktemp("sprites")
    for i, data in enumerate(files):
        (folder / f"s{i}.png").write_bytes(data)
    try:
        found = collect_sprites([folder])
    except AtlasError:  # a stray animation chunk: the scan refuses the file
        return
    sprites = [replace(s, settings=replace(s.settings, trim=trims[i])) for i, s in enumerate(found.sprites)]
    trim = images.Trim(threshold, margin)
    alone = []
    for sprite in sprites:
        try:
            whole = sprite.open(None)
        except AtlasError as error:
            alone.append(str(error))
            continue
        box = images._visible_box(whole, trim if sprite.settings.trim else None)
        alone.append((box, (whole.shape[1], whole.shape[0]), whole[box[1]:box[3], box[0]:box[2]]))
    with mock.patch.object(images, "BATCH_FILES", batch_files):
        try:
            entries = images.read_entries(sprites, trim=trim, share=False, step=lambda n: None,
                                          check=lambda p: None, most_side=most_side)
        except AtlasError as error:  # the first file that cannot be read, as alone
            assert str(error) == next(a for a in alone if isinstance(a, str))
            return
    for entry, (box, size, pixels) in zip(entries, alone):
        assert (entry.box, entry.size) == (box, size)
        np.testing.assert_array_equal(entry.pixels.kept, pixels)
        assert entry.pixels.fingerprint == hashlib.sha256(np.ascontiguousarray(pixels)).digest()


@pytest.mark.parametrize("mode", ["1 with a transparent level", "I;16", "an index past the palette"])
def test_other_kinds_of_png_are_left_to_pillow(tmp_path, mode):
    path = tmp_path / "sprite.png"
    if mode.startswith("an index"):
        path.write_bytes(_indexed([0, 1], bytes(3)))
        assert png.read_rgba(_indexed([0, 0], bytes(3)), None) is not None
    elif mode.startswith("1"):
        Image.new("1", (3, 2)).save(path, transparency=0)
    else:
        Image.new(mode, (3, 2)).save(path)
    assert png.read_rgba(path.read_bytes(), None) is None


@pytest.mark.parametrize("width, height", [(2**32 - 1, 2**32 - 1), (2**31, 3), (1, 2**32 - 1), (0, 1)])
def test_sizes_no_image_data_could_fill_are_left_to_pillow_without_making_room_for_them(width, height):
    # Rows of 2^34 bytes, 2^32 of them: their product wraps 64 bits.
    data = png.SIGNATURE + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) + \
        _chunk(b"IDAT", zlib.compress(bytes(5))) + _chunk(b"IEND", b"")
    assert png.read_rgba(data, None) is None


@settings(max_examples=150, deadline=None)
@given(pixels=pictures(), level=st.integers(0, 9), window=st.integers(9, 15),
       strategy=st.sampled_from([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE,
                                 zlib.Z_FIXED]), cuts=st.lists(st.integers(0, 10**6), max_size=4),
       more=st.integers(0, 300))
def test_image_data_deflated_any_way_zlib_can_reads_back_exactly(pixels, level, window, strategy, cuts, more):
    # Every kind of block (stored, fixed, dynamic), windows of every size, the stream in chunks cut anywhere;
    # and streams that hold more than the image, a match running on past its last row.
    deflating = zlib.compressobj(level, zlib.DEFLATED, window, 9, strategy)
    rows = filter_rows(pixels, 0, pixels.shape[0])
    stream = deflating.compress(rows + (rows[-1:] * more)) + deflating.flush()
    cuts = sorted({c % (len(stream) + 1) for c in cuts})
    pieces = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
    height, width = pixels.shape[:2]
    data = png.SIGNATURE + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) + \
        b"".join(_chunk(b"IDAT", piece) for piece in pieces) + _chunk(b"IEND", b"")
    np.testing.assert_array_equal(png.read_rgba(data, None), pixels)


def test_images_past_the_pixel_limit_are_left_to_pillow(tmp_path):
    path = tmp_path / "big.png"
    Image.new("RGBA", (10, 10)).save(path)
    assert png.read_rgba(path.read_bytes(), 99) is None and png.read_rgba(path.read_bytes(), 100) is not None


def filtered_plainly(pixels):
    """Each row as filtered by each of PNG's five filters, by their
    definitions: (rows, filters, bytes) int16 arrays, before wrapping."""
    row = pixels.reshape(pixels.shape[0], -1).astype(np.int16)
    above = np.vstack([np.zeros_like(row[:1]), row[:-1]])
    left = np.hstack([np.zeros_like(row[:, :4]), row[:, :-4]])
    upper_left = np.hstack([np.zeros_like(above[:, :4]), above[:, :-4]])
    to_left, to_above = np.abs(above - upper_left), np.abs(left - upper_left)
    to_upper_left = np.abs(left + above - 2 * upper_left)
    paeth = np.where((to_left <= to_above) & (to_left <= to_upper_left), left,
                     np.where(to_above <= to_upper_left, above, upper_left))
    return np.stack([row, row - left, row - above, row - (left + above) // 2, row - paeth], axis=1)


@settings(max_examples=60, deadline=None)
@given(pixels=pictures())
def test_each_row_takes_the_filter_leaving_the_least_magnitude(pixels):
    # The bytes read as signed, as encoders commonly weigh them; the first such filter on a tie. The
    # first row of what is filtered at once only none or sub, which restore without the row above.
    height, width = pixels.shape[:2]
    rows = np.frombuffer(filter_rows(pixels, 0, height), np.uint8).reshape(height, 1 + 4 * width)
    candidates = filtered_plainly(pixels).astype(np.uint8)
    magnitudes = np.abs(candidates.view(np.int8).astype(np.int64)).sum(axis=2)
    magnitudes[0, 2:] = np.iinfo(np.int64).max
    np.testing.assert_array_equal(rows[:, 0], magnitudes.argmin(axis=1))
    np.testing.assert_array_equal(rows[:, 1:], candidates[np.arange(height), rows[:, 0]])


def test_rows_that_repeat_are_filtered_to_zeros():
    # The previous row predicts a repeated one exactly: the chosen filter must see that.
    pixels = np.repeat(np.arange(64, dtype=np.uint8).reshape(1, 16, 4), 3, axis=0)
    rows = np.frombuffer(filter_rows(pixels, 0, 3), np.uint8).reshape(3, 65)
    assert (rows[1:, 1:] == 0).all()


@given(st.lists(st.tuples(st.integers(0, 7), st.integers(0, 5), st.integers(1, 255)), max_size=4),
       st.integers(0, 254), st.integers(0, 3))
def test_the_visible_box_bounds_the_pixels_with_alpha_above_the_threshold(dots, threshold, margin):
    pixels = np.zeros((6, 8, 4), np.uint8)
    for x, y, alpha in dots:
        pixels[y, x, 3] = alpha
    ys, xs = np.nonzero(pixels[..., 3] > threshold)
    expected = (0, 0, 1, 1)
    if len(xs):
        expected = (max(0, xs.min() - margin), max(0, ys.min() - margin), min(8, xs.max() + 1 + margin),
                    min(6, ys.max() + 1 + margin))
    assert visible_box(pixels, threshold, margin) == expected


def bled_plainly(pixels, boxes, depth):
    """Bleeding as it is defined, step by step: in each box, the transparent
    pixels next to visible ones take the first visible neighbour's colour
    (neighbours row by row), in row order; then, a step a round, `depth`
    steps in all, the pixels next to those filled take their colour, in
    the order those were filled."""
    pixels = pixels.copy()
    for left, top, right, bottom in boxes:
        def around(x, y):
            return [(nx, ny) for ny in (y - 1, y, y + 1) for nx in (x - 1, x, x + 1)
                    if left <= nx < right and top <= ny < bottom]

        visible = {(x, y) for y in range(top, bottom) for x in range(left, right) if pixels[y, x, 3]}
        filled = []
        for y in range(top, bottom):
            for x in range(left, right):
                near = [n for n in around(x, y) if n in visible]
                if (x, y) not in visible and near:
                    pixels[y, x, :3] = pixels[near[0][1], near[0][0], :3]
                    filled.append((x, y))
        reached, start = visible | set(filled), 0
        for _ in range(depth - 1):
            end = len(filled)
            for x, y in filled[start:end]:
                for nx, ny in around(x, y):
                    if (nx, ny) not in reached:
                        reached.add((nx, ny))
                        pixels[ny, nx, :3] = pixels[y, x, :3]
                        filled.append((nx, ny))
            start = end
    return pixels


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32), size=st.tuples(st.integers(1, 24), st.integers(1, 24)),
       density=st.sampled_from([0.0, 0.05, 0.3, 0.8, 1.0]), depth=st.integers(0, 4),
       cuts=st.lists(st.integers(1, 23), max_size=3))
def test_bleeding_gives_each_transparent_pixel_the_colour_its_definition_does(seed, size, density, depth, cuts):
    rng = np.random.default_rng(seed)
    height, width = size
    pixels = rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
    pixels[..., 3] = np.where(rng.random((height, width)) < density, pixels[..., 3] | 1, 0)
    edges = sorted({0, width, *(c for c in cuts if c < width)})  # boxes side by side, as sprites lie
    boxes = np.array([(a, 0, b, height) for a, b in zip(edges, edges[1:])], dtype=np.int32)
    expected = bled_plainly(pixels, boxes.tolist(), depth)
    bleed(pixels, boxes, depth)
    assert np.array_equal(pixels, expected)


@settings(max_examples=80, deadline=None)
@given(seed=st.integers(0, 2**32), pictures=st.lists(st.tuples(
    st.integers(1, 6), st.integers(1, 6), st.booleans(), st.integers(0, 3), st.sampled_from(["whole", "view", "bgra"])),
    min_size=1, max_size=4))
def test_drawing_puts_each_picture_where_padding_turning_and_slicing_would(seed, pictures):
    # Pictures side by side along a strip, each in a box of its own, so the
    # layer also shows that nothing is drawn outside them.
    rng = np.random.default_rng(seed)
    layer = rng.integers(0, 256, (20, 24 * len(pictures), 4), dtype=np.uint8)
    expected = layer.copy()
    drawn, places = [], []
    for i, (height, width, rotated, extrusion, kind) in enumerate(pictures):
        source = rng.integers(0, 256, (height + 2, width + 2, 4), dtype=np.uint8)
        picture = {"whole": source[:height, :width].copy(), "view": source[1:height + 1, 1:width + 1],
                   "bgra": source[:height, :width, ::-1]}[kind]  # not contiguous, and channels backwards
        shown = np.pad(picture, ((extrusion, extrusion), (extrusion, extrusion), (0, 0)), mode="edge")
        if rotated:
            shown = np.rot90(shown, -1)
        left, top = 24 * i + 1, 2
        expected[top:top + shown.shape[0], left:left + shown.shape[1]] = shown
        drawn.append(picture)
        places.append((left, top, rotated, extrusion))
    draw(layer, drawn, np.array(places, dtype=np.int32))
    assert np.array_equal(layer, expected)


@pytest.mark.parametrize("call, message", [
    (lambda: draw(np.zeros((4, 4, 4), np.uint8), [np.zeros((2, 2, 4), np.uint8)],
                  np.array([[3, 0, 0, 0]], np.int32)), "inside the layer"),
    (lambda: draw(np.zeros((4, 4, 4), np.uint8), [np.zeros((1, 3, 4), np.uint8)],
                  np.array([[0, 0, 0, 1]], np.int32)), "inside the layer"),
    (lambda: draw(np.zeros((4, 4, 4), np.uint8), [np.zeros((2, 2, 4), np.float32)],
                  np.array([[0, 0, 0, 0]], np.int32)), "array of bytes"),
    (lambda: draw(np.zeros((4, 4, 4), np.uint8), [np.zeros((2, 2, 4), np.uint8)],
                  np.zeros((2, 4), np.int32)), "one a picture"),
    (lambda: filter_rows(np.zeros((4, 4), np.uint8), 0, 4), "RGBA"),
    (lambda: filter_rows(np.zeros((2, 2, 3), np.uint8), 0, 2), "RGBA"),
    (lambda: filter_rows(np.zeros((2, 0, 4), np.uint8), 0, 2), "RGBA"),
    (lambda: filter_rows(np.zeros((2, 2, 4), np.uint8), 1, 3), "start <= stop <= height"),
    (lambda: filter_rows(np.zeros((2, 2, 4), np.uint8), 2, 1), "start <= stop <= height"),
    (lambda: deflate_rows(np.zeros((2, 2, 3), np.uint8), 1, 1), "RGBA"),
    (lambda: deflate_rows(np.zeros((2, 2, 4), np.uint8), 0, 1), "1 or more"),
    (lambda: deflate_rows(np.zeros((2, 2, 4), np.uint8), 1, 0), "1 or more"),
    (lambda: visible_box(np.zeros((2, 2, 3), np.uint8), 0, 0), "RGBA")])
def test_what_the_filters_cannot_read_is_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()
