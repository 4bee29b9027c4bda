"""GPU block formats: layers encoded into the 4 x 4 blocks a GPU samples
without decoding (a quarter of RGBA's memory), written as KTX files.

The encoders come from PyPI (the `gpu` extra): etcpak for BC7 and ETC2,
astc-encoder for ASTC; BC3's is this package's own (_blocks.cpp: etcpak's
stored 3 dB less than a well-kept encoder's fast mode). texture2ddecoder
decodes what they stored, to check it. The PyPI encoders hold the
interpreter lock while they work, so their layers are encoded in worker
processes, one per core (BC3's on threads): the same interpreter, with
the caller's import path, running serve() on pipes.
Unlike multiprocessing's workers, they never import the caller's main
module, which a script without a __main__ guard would run again. Each
gets its own copy of the pixels (etcpak's ETC encoders write into the
bytes they are given).
"""

from __future__ import annotations

import itertools
import queue
import struct
import sys
import threading
from concurrent import futures
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import interrupts, mipmaps
from .errors import AtlasError
from .block_checks import kept_alpha
from .ktx import ktx_bytes

if TYPE_CHECKING:
    import subprocess

# The command's name for the files that are images every loader reads.
PLAIN_FORMATS = ("png", "webp")
EFFORTS = ("fast", "medium", "best")


@dataclass(frozen=True)
class BlockFormat:
    """A block format: its name (in --texture-format and in file names,
    atlas_0.bc7.ktx, as PixiJS's loader tells formats apart), its GL
    internal format (in the KTX header), and the package that encodes it.
    Every one stores a 4 x 4 block in BLOCK_BYTES."""

    name: str
    gl_internal_format: int
    package: str


BLOCK_FORMATS = {f.name: f for f in (
    BlockFormat("bc7", 0x8E8C, "etcpak"),  # RGBA_BPTC_UNORM
    BlockFormat("bc3", 0x83F3, "tessel_atlas"),  # RGBA_S3TC_DXT5, encoded by _blocks.cpp
    BlockFormat("etc2", 0x9278, "etcpak"),  # RGBA8_ETC2_EAC
    BlockFormat("astc", 0x93B0, "astc_encoder"),  # RGBA_ASTC_4x4
)}
TEXTURE_FORMATS = PLAIN_FORMATS + tuple(BLOCK_FORMATS)
# What decodes blocks as GPUs do, to check what the encoders stored.
DECODER = "texture2ddecoder"
# Block formats' layers have sides that are multiples of the block's.
BLOCK_SIDE = 4
BLOCK_BYTES = 16

# Each effort's encoder settings, chosen by measurement (bench/compressed.py,
# bench/RESULTS.md): for BC7, etcpak's uber level (0 to 4), partitions
# searched (0 to 64: two-subset modes) and least-squares refinement, always
# with the channels weighted alike: sprites are judged by the pixels they
# store, alpha as much as colour, and perceptual weights gave away 3 dB on
# real sets at a higher cost. For ASTC, the quality (0 to 100). BC3 and ETC2
# have one setting.
BC7_SETTINGS = {"fast": (0, 0, False), "medium": (0, 16, True), "best": (4, 64, True)}
ASTC_QUALITY = {"fast": 10.0, "medium": 60.0, "best": 98.0}


def check_encoders(formats: Sequence[str]) -> None:
    """Refuses, before any work, block formats whose encoder is not installed."""
    for name in formats:
        block = BLOCK_FORMATS.get(name)
        if block is None:
            continue
        try:
            __import__(block.package)
            __import__(DECODER)
        except ImportError:
            raise AtlasError(f"--texture-format {name} needs the block encoders: pip install 'TesselPack[gpu]'") \
                from None


def encoder_version(name: str) -> str:
    """The encoder of block format `name` and its version (this package's,
    for its own): a new release may store other blocks for the same pixels,
    so files it did not make are made again."""
    package = BLOCK_FORMATS[name].package
    return f"{package} {getattr(__import__(package), '__version__', 'unknown')}"


def encoder_settings(name: str, effort: str) -> tuple:
    """What the encoder of block format `name` is asked at `effort`: other
    settings store other blocks, so files made with them are made again."""
    return {"bc7": BC7_SETTINGS[effort] + ("linear weights",), "astc": (ASTC_QUALITY[effort],)}.get(name, ())


def blocks_size(width: int, height: int) -> int:
    """The bytes of the blocks of `width` x `height` pixels (multiples of 4)."""
    return (width // BLOCK_SIDE) * (height // BLOCK_SIDE) * BLOCK_BYTES


def _bc7(rgba: bytes, width: int, height: int, effort: str) -> bytes:
    import etcpak

    uber, partitions, least_squares = BC7_SETTINGS[effort]
    params = etcpak.BC7CompressBlockParams()
    params.init_linear_weights()
    params.m_uber_level, params.m_max_partitions, params.m_try_least_squares = uber, partitions, least_squares
    return etcpak.compress_bc7(rgba, width, height, params)


def _bc3(rgba: bytes, width: int, height: int, effort: str) -> bytes:
    from ._blocks import bc3_blocks

    return bc3_blocks(np.frombuffer(rgba, np.uint8).reshape(height, width, 4))


def _etc2(rgba: bytes, width: int, height: int, effort: str) -> bytes:
    import etcpak

    return etcpak.compress_etc2_rgba(rgba, width, height)


def astc_blocks(rgba: bytes, width: int, height: int, quality: float, alpha_weight: float = 1.0) -> bytes:
    import astc_encoder as astc

    config = astc.ASTCConfig(astc.ASTCProfile.LDR, 4, 4, 1, quality)
    config.cw_a_weight = alpha_weight
    image = astc.ASTCImage(astc.ASTCType.U8, width, height, 1, rgba)
    return astc.ASTCContext(config, 1).compress(image, astc.ASTCSwizzle.from_str("RGBA"))


def _astc(rgba: bytes, width: int, height: int, effort: str) -> bytes:
    return astc_blocks(rgba, width, height, ASTC_QUALITY[effort])


ENCODERS: Dict[str, Callable[[bytes, int, int, str], bytes]] = {"bc7": _bc7, "bc3": _bc3, "etc2": _etc2, "astc": _astc}


def _level_blocks(name: str, effort: str, pixels: np.ndarray) -> bytes:
    """One level's blocks, checked. Levels below 4 x 4 fill a block, their
    last row and column repeated, as the GPU reads only the texels that
    the level has."""
    height, width = pixels.shape[:2]
    if height % BLOCK_SIDE or width % BLOCK_SIDE:
        pixels = np.pad(pixels, ((0, -height % BLOCK_SIDE), (0, -width % BLOCK_SIDE), (0, 0)), mode="edge")
    rgba, width, height = pixels.tobytes(), pixels.shape[1], pixels.shape[0]
    blocks = ENCODERS[name](rgba, width, height, effort)
    if len(blocks) != blocks_size(width, height):
        raise ValueError(f"{encoder_version(name)} gave {len(blocks)} bytes of {name} blocks for {width} x {height} "
                         f"pixels, not {blocks_size(width, height)}")
    return kept_alpha(name, blocks, rgba, width, height)


def encode(name: str, effort: str, rgba: bytes, width: int, height: int, levels: int = 1) -> bytes:
    """The KTX file of `width` x `height` RGBA pixels (sides multiples of
    4) in block format `name`, with `levels` mipmap levels (mipmaps.py),
    no alpha far off (block_checks); ValueError if the encoder gives blocks
    of another size, which no GPU would read right."""
    pixels = np.frombuffer(rgba, np.uint8).reshape(height, width, 4)
    return ktx_bytes([_level_blocks(name, effort, level) for level in mipmaps.levels(pixels, levels)],
                     width, height, BLOCK_FORMATS[name].gl_internal_format)


def ktx_size(width: int, height: int, levels: int = 1) -> int:
    """The bytes of a KTX file of the blocks of `width` x `height` pixels and `levels` mipmap levels."""
    sides = [(max(1, width >> k), max(1, height >> k)) for k in range(levels)]
    return len(ktx_bytes([b""] * levels, width, height, 0)) + sum(
        blocks_size(-(-w // BLOCK_SIDE) * BLOCK_SIDE, -(-h // BLOCK_SIDE) * BLOCK_SIDE) for w, h in sides)


# A request: its number, the format and effort (ASCII, padded), width,
# height and mipmap levels, then the RGBA pixels. A reply: the request's
# number, a status byte (0 for the KTX file's bytes, 1 for an error's text)
# and the length of what follows.
REQUEST = struct.Struct("<Q8s8sIII")
REPLY = struct.Struct("<QBQ")
# What a worker runs: serve() on its standard input and output.
WORKER = "from tessel_atlas.blocks import serve; serve(sys.stdin.buffer, sys.stdout.buffer)"


def _read_exactly(stream: BinaryIO, size: int) -> Optional[bytes]:
    data = stream.read(size)
    return data if len(data) == size else None


def serve(requests: BinaryIO, replies: BinaryIO) -> None:
    """A worker's loop: encodes each request until the requests end."""
    while True:
        header = _read_exactly(requests, REQUEST.size)
        if header is None:
            return
        number, name, effort, width, height, levels = REQUEST.unpack(header)
        rgba = _read_exactly(requests, width * height * 4)
        if rgba is None:
            return
        try:
            reply, status = encode(name.rstrip(b"\0").decode(), effort.rstrip(b"\0").decode(), rgba, width, height,
                                   levels), 0
        except Exception as error:  # said to the command, which reports it
            reply, status = f"{type(error).__name__}: {error}".encode(), 1
        replies.write(REPLY.pack(number, status, len(reply)) + reply)
        replies.flush()


# Formats whose encoder releases the interpreter lock (this package's
# own): encoded on threads, which spares the workers' start and the
# layers' trip through a pipe.
ON_THREADS = ("bc3",)


class BlockEncoder:
    """Worker processes (and threads, for the formats ON_THREADS) that
    encode layers while the command composes the next ones, `processes` of
    each at most. Leaving the `with` block ends the workers at once,
    whatever they were doing, and drops what the threads had not begun.
    Workers run in a process group of their own, so that Ctrl-C in a
    terminal reaches only the command, which ends them. Without a worker
    format among `formats` (every one by default), none is started."""

    def __init__(self, effort: str, processes: int, formats: Sequence[str] = tuple(BLOCK_FORMATS)):
        self.effort = effort
        self.processes = processes if any(f not in ON_THREADS for f in formats) else 0
        self._jobs: "queue.Queue[Optional[Tuple[int, str, int, int, int, bytes, futures.Future]]]" = queue.Queue()
        self._numbers = itertools.count(1)
        self._workers: List[subprocess.Popen] = []
        self._feeders: List[threading.Thread] = []
        self._threads = futures.ThreadPoolExecutor(max(1, processes))
        self._threaded: List[futures.Future] = []

    def __enter__(self) -> "BlockEncoder":
        # Imported here, by builds with block formats only: 3 ms of every start-up otherwise.
        import subprocess

        command = [sys.executable, "-c", f"import sys; sys.path[:0] = {sys.path!r}; {WORKER}"]
        apart = {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP} if sys.platform == "win32" \
            else {"start_new_session": True}
        try:
            for _ in range(self.processes):
                # A signal raised inside Popen, once the child runs, would
                # leave a worker that no one knows of, to end on its own.
                with interrupts.held():
                    worker = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, **apart)
                    self._workers.append(worker)
                    feeder = threading.Thread(target=self._feed, args=(worker,), daemon=True)
                    feeder.start()
                    self._feeders.append(feeder)
                interrupts.checkpoint()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        for job in self._threaded:
            job.cancel()
        self._threads.shutdown()
        for worker in self._workers:
            worker.kill()
        for _ in self._feeders:
            self._jobs.put(None)
        for feeder in self._feeders:
            feeder.join()
        for worker in self._workers:
            worker.wait()
            for stream in (worker.stdin, worker.stdout):
                try:
                    stream.close()
                except OSError:  # what was left for a worker that ended could not be flushed to it
                    pass

    def _feed(self, worker: subprocess.Popen) -> None:
        """Hands jobs to one worker, one at a time, until told to stop; each
        reply is checked to be the KTX file asked for before it is taken."""
        while True:
            job = self._jobs.get()
            if job is None:
                return
            number, name, width, height, levels, rgba, future = job
            try:
                worker.stdin.write(REQUEST.pack(number, name.encode(), self.effort.encode(), width, height, levels))
                worker.stdin.write(rgba)  # written apart: joined, a layer's pixels would be copied once more
                worker.stdin.flush()
                header = _read_exactly(worker.stdout, REPLY.size)
                answered, status, size = REPLY.unpack(header) if header else (0, 2, 0)
                reply = _read_exactly(worker.stdout, size) if header else None
            except OSError:
                reply = None
            encoder = f"the {name} block encoder"
            if reply is None:
                ended = worker.poll()
                future.set_exception(AtlasError(
                    f"{encoder} ended before it answered{'' if ended is None else f' (exit status {ended})'}; "
                    "run again, and if it ends again, reinstall it: pip install 'TesselPack[gpu]'"))
            elif status:
                future.set_exception(AtlasError(f"{encoder} failed: {reply.decode(errors='replace')}"))
            elif answered != number or len(reply) != ktx_size(width, height, levels):
                future.set_exception(AtlasError(
                    f"{encoder} answered with {len(reply)} bytes for request {answered}, not the "
                    f"{ktx_size(width, height, levels)} of request {number} ({width} x {height} pixels, {levels} "
                    "mipmap levels); nothing was "
                    "written: reinstall the encoders (pip install 'TesselPack[gpu]')"))
            else:
                future.set_result(reply)

    def _on_thread(self, name: str, pixels: np.ndarray, levels: int) -> bytes:
        height, width = pixels.shape[:2]
        try:
            return encode(name, self.effort, pixels.tobytes(), width, height, levels)
        except Exception as error:
            raise AtlasError(f"the {name} block encoder failed: {type(error).__name__}: {error}") from None

    def submit(self, name: str, pixels, levels: int = 1) -> Callable[[], bytes]:
        """Starts encoding the (height, width, 4) pixels with `levels`
        mipmap levels; returns what waits for the KTX file's bytes."""
        height, width = pixels.shape[:2]
        if name in ON_THREADS:
            future = self._threads.submit(self._on_thread, name, pixels, levels)
            self._threaded.append(future)
        else:
            future = futures.Future()
            self._jobs.put((next(self._numbers), name, width, height, levels, pixels.tobytes(), future))

        def result() -> bytes:
            while True:  # waits that end now and then let Ctrl-C in, on every system
                try:
                    return future.result(0.25)
                except futures.TimeoutError:
                    pass
        return result
