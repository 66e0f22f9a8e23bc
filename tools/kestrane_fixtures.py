"""Writes acquisition directories and data blocks for tests, benchmarks, fuzzing and demos.

A data directory holds ``AcqData/MSScan.bin`` (header + fixed-size records),
``AcqData/MSPeak.bin`` (peak blocks, formats 2 and 3) and ``AcqData/MSProfile.bin``
(profile blocks: 16-byte preamble + LZF stream of 16-byte header + u32 intensities).
Every field is packed little-endian with ``struct`` at the named offsets below.

Layers, from raw bytes up:

* ``scan_header``, ``descriptor_bytes``, ``scan_record``, ``scan_index``: MSScan.bin pieces,
  with any magic, data offset, length, filler, stride, field and descriptor (format 0, 4, 7 or
  counts that lie included).
* ``peak_block_format3``, ``peak_block_format2``, ``peak_block``, ``profile_payload``,
  ``profile_block``, ``profile_block_from_stream``: data blocks, returned as ``Block``.
* ``lzf_compress`` (liblzf through ctypes, literal-only fallback when it gains nothing),
  ``lzf_literal``; broken inputs: ``truncated``, ``broken_lzf_stream``, ``broken_profile_block``.
* ``Scan`` + ``write_acquisition`` / ``acquisition_images``: lays out whole acquisitions and
  returns, per scan, the ``Expected`` values a conforming reader produces, bit for bit.
* ``realistic_scan``, ``realistic_scans``, ``realistic_run``: generated runs, deterministic
  per seed (scan i depends only on the seed and i).

liblzf is loaded lazily from ``liblzf.so.1`` (Debian packages liblzf1 / liblzf-dev); builders
that do not compress work without it.

Command line::

    python tools/kestrane_fixtures.py sample DIR [--scans N] [--points M] [--seed S]
                                                 [--stride S] [--ms2-every K]
    python tools/kestrane_fixtures.py corpus DIR

Seed corpus framings (``corpus DIR`` writes ``DIR/<target>/<name>.bin``); all integers are
little-endian, and a fuzz target treats input too short for its prefix as nothing to do:

* ``lzf``: u32 expected output length, then the LZF stream (the rest of the input).
* ``msscan``: the whole MSScan.bin image, unframed.
* ``mspeak``: u8 format id, u32 point count, then the block (the rest). The descriptor has
  no uncompressed byte count.
* ``msprofile``: u8 format id, u32 point count, u32 uncompressed byte count, f64 first m/z,
  f64 last m/z, then the block (the rest); 25 bytes of prefix. The descriptor carries the
  uncompressed byte count only when the format id byte is 1, as in the scan index.
* ``directory``: u32 length of MSScan.bin, u32 length of MSPeak.bin, u32 length of
  MSProfile.bin, then the three images back to back in that order. A length of 0xFFFFFFFF
  means that file is absent (and takes no bytes); a length larger than the bytes that remain
  takes what remains.
"""

from __future__ import annotations

import argparse
import ctypes
import dataclasses
import io
import os
import struct
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# --- MSScan.bin header -------------------------------------------------------------------------
HEADER_SIZE = 92  # minimum file length
HEADER_MAGIC = 257
MAGIC_OFFSET = 0  # u32
DATA_OFFSET_OFFSET = 88  # u32: file offset of the first record

# --- MSScan.bin records (offsets from the record's first byte) ---------------------------------
STRIDES = (284, 220, 216, 196, 186)  # in the order a reader tries them
RECORD_SCAN_ID = 0  # u32
RECORD_MRM_CHANNEL = 4  # u32, read for strides 196 and 186
RECORD_RETENTION_TIME = 12  # f64, minutes
RECORD_MS_LEVEL = 20  # u16
RECORD_PRECURSOR_MZ = 84  # f64, read for strides 284, 220, 216 when MS level >= 2
RECORD_MZ_RANGE_START = 244  # f64, stride 284 only
RECORD_MZ_RANGE_END = 252  # f64, stride 284 only
DESCRIPTOR_POSITIONS = {284: (156, 220), 220: (156,), 216: (152,), 196: (144,), 186: (136,)}
MRM_STRIDES = frozenset((196, 186))
PACKED_STRIDES = frozenset((186,))
MZ_RANGE_STRIDE = 284
SCAN_ID_WINDOW = 100000  # a second record's scan id must lie below first + this


@dataclass(frozen=True)
class DescriptorLayout:
    """Offsets inside one block descriptor; ``format_code`` is the struct code of the id."""

    format_code: str
    format_id: int
    byte_offset: int  # u64
    byte_count: int  # u32
    point_count: int  # u32
    uncompressed_byte_count: int  # u32, read only for format id 1
    size: int  # without the uncompressed byte count


WIDE_LAYOUT = DescriptorLayout("I", 0, 4, 12, 16, 20, 20)  # strides 284, 220, 216, 196
PACKED_LAYOUT = DescriptorLayout("H", 0, 2, 10, 14, 18, 18)  # stride 186

# --- Format ids and blocks ---------------------------------------------------------------------
FORMAT_PROFILE = 1
FORMAT_PEAK_ARRAYS = 2  # f64 100*m/z array, then f32 intensity array
FORMAT_PEAK_INTERLEAVED = 3  # (f64 m/z, f32 intensity) per point
PEAK_POINT_SIZE = 12
PEAK_MZ_SCALE = 100.0
PROFILE_PREAMBLE_SIZE = 16
PROFILE_HEADER_SIZE = 16
PROFILE_POINT_SIZE = 4
# Neither is interpreted by a reader: non-zero defaults make a reader that looks at them fail.
DEFAULT_PREAMBLE = bytes(range(0xA0, 0xB0))
DEFAULT_PROFILE_HEADER = bytes(range(0xC0, 0xD0))

SCAN_FILE = "MSScan.bin"
PEAK_FILE = "MSPeak.bin"
PROFILE_FILE = "MSProfile.bin"
ACQ_DIR = "AcqData"

U32_MAX = 0xFFFFFFFF
_PEAK3_DTYPE = np.dtype([("mz", "<f8"), ("intensity", "<f4")])  # packed: itemsize 12


def _fill(length: int, filler: bytes) -> bytearray:
    if length <= 0:
        return bytearray()
    if not filler:
        raise ValueError("filler must not be empty")
    return bytearray((filler * (length // len(filler) + 1))[:length])


def _put(buf: bytearray, fmt: str, offset: int, value) -> None:
    """Packs one value at ``offset``; the buffer must hold it."""
    size = struct.calcsize("<" + fmt)
    if offset + size > len(buf):
        raise ValueError(f"field at {offset} ({size} bytes) does not fit in {len(buf)} bytes")
    struct.pack_into("<" + fmt, buf, offset, value)


# --- MSScan.bin builders -----------------------------------------------------------------------
@dataclass(frozen=True)
class BlockDescriptor:
    """One descriptor as stored; ``uncompressed_byte_count`` is written when not None."""

    format_id: int
    byte_offset: int = 0
    byte_count: int = 0
    point_count: int = 0
    uncompressed_byte_count: int | None = None


def scan_header(
    *,
    magic: int | None = HEADER_MAGIC,
    data_offset: int | None = None,
    length: int = HEADER_SIZE,
    filler: bytes = b"\x00",
) -> bytes:
    """Header bytes of ``length`` (any, also below 92), ``filler`` repeated underneath.

    ``data_offset`` defaults to ``length``; a field that is None keeps the filler. Fields are
    laid into 92 bytes first and the result cut to ``length``, so a short header keeps the
    bytes of the fields that fit.
    """
    if data_offset is None:
        data_offset = length
    buf = _fill(max(length, HEADER_SIZE), filler)
    if magic is not None:
        _put(buf, "I", MAGIC_OFFSET, magic)
    if data_offset is not None:
        _put(buf, "I", DATA_OFFSET_OFFSET, data_offset)
    return bytes(buf[:length])


def descriptor_bytes(desc: BlockDescriptor, *, packed: bool = False) -> bytes:
    """20 (wide) or 18 (packed) bytes, 4 more when ``uncompressed_byte_count`` is set."""
    layout = PACKED_LAYOUT if packed else WIDE_LAYOUT
    size = layout.size + (4 if desc.uncompressed_byte_count is not None else 0)
    buf = bytearray(size)
    _put(buf, layout.format_code, layout.format_id, desc.format_id)
    _put(buf, "Q", layout.byte_offset, desc.byte_offset)
    _put(buf, "I", layout.byte_count, desc.byte_count)
    _put(buf, "I", layout.point_count, desc.point_count)
    if desc.uncompressed_byte_count is not None:
        _put(buf, "I", layout.uncompressed_byte_count, desc.uncompressed_byte_count)
    return bytes(buf)


def scan_record(
    stride: int,
    *,
    scan_id: int | None = None,
    retention_time_min: float | None = None,
    ms_level: int | None = None,
    mrm_channel: int | None = None,
    precursor_mz: float | None = None,
    mz_range_start: float | None = None,
    mz_range_end: float | None = None,
    descriptors: Sequence[BlockDescriptor | None] = (),
    positions: Sequence[int] | None = None,
    packed: bool | None = None,
    filler: bytes = b"\x00",
) -> bytes:
    """One record of ``stride`` bytes; a field left None keeps the filler.

    Every field is written wherever given, also where a reader of that stride does not look
    (mrm channel under 284, precursor under 196). Descriptors go to the stride's positions in
    order (284: 156 then 220), a None entry keeps the filler. ``positions`` and ``packed``
    override the stride's table, for strides a reader does not know.
    """
    if positions is None:
        positions = DESCRIPTOR_POSITIONS.get(stride, ())
    if packed is None:
        packed = stride in PACKED_STRIDES
    if len(descriptors) > len(positions):
        raise ValueError(f"stride {stride} has {len(positions)} descriptor slots, got {len(descriptors)}")
    buf = _fill(stride, filler)
    for fmt, offset, value in (
        ("I", RECORD_SCAN_ID, scan_id),
        ("I", RECORD_MRM_CHANNEL, mrm_channel),
        ("d", RECORD_RETENTION_TIME, retention_time_min),
        ("H", RECORD_MS_LEVEL, ms_level),
        ("d", RECORD_PRECURSOR_MZ, precursor_mz),
        ("d", RECORD_MZ_RANGE_START, mz_range_start),
        ("d", RECORD_MZ_RANGE_END, mz_range_end),
    ):
        if value is not None:
            _put(buf, fmt, offset, value)
    for position, desc in zip(positions, descriptors):
        if desc is not None:
            raw = descriptor_bytes(desc, packed=packed)
            if position + len(raw) > stride:
                raise ValueError(f"descriptor at {position} does not fit in stride {stride}")
            buf[position : position + len(raw)] = raw
    return bytes(buf)


def scan_index(records: Iterable[bytes], *, header: bytes | None = None, trailer: bytes = b"") -> bytes:
    """A whole MSScan.bin image: header (default: magic 257, data offset 92), records, trailer."""
    if header is None:
        header = scan_header()
    return header + b"".join(records) + trailer


# --- LZF ---------------------------------------------------------------------------------------
LZF_MAX_LITERAL = 32


class LzfUnavailableError(RuntimeError):
    """liblzf.so.1 could not be loaded."""


_lzf_compress_fn = None


def _liblzf_compress():
    global _lzf_compress_fn
    if _lzf_compress_fn is None:
        try:
            lib = ctypes.CDLL("liblzf.so.1")
        except OSError as exc:
            raise LzfUnavailableError(
                "liblzf.so.1 not found: install the Debian package liblzf1 (or liblzf-dev)"
                f" ({exc})"
            ) from exc
        fn = lib.lzf_compress
        fn.argtypes = (ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint)
        fn.restype = ctypes.c_uint
        _lzf_compress_fn = fn
    return _lzf_compress_fn


def lzf_literal(data: bytes) -> bytes:
    """LZF stream of literal runs only (32 bytes each, the last shorter): n + ceil(n/32) bytes."""
    a = np.frombuffer(bytes(data), dtype=np.uint8)
    full = len(a) // LZF_MAX_LITERAL
    runs = np.empty((full, LZF_MAX_LITERAL + 1), dtype=np.uint8)
    runs[:, 0] = LZF_MAX_LITERAL - 1
    runs[:, 1:] = a[: full * LZF_MAX_LITERAL].reshape(full, LZF_MAX_LITERAL)
    tail = a[full * LZF_MAX_LITERAL :]
    out = runs.tobytes()
    if len(tail):
        out += bytes([len(tail) - 1]) + tail.tobytes()
    return out


def lzf_compress(data: bytes) -> bytes:
    """Compresses with liblzf; when it gains nothing (returns 0), the literal-only stream."""
    data = bytes(data)
    n = len(data)
    if n < 2:
        return lzf_literal(data)
    fn = _liblzf_compress()
    # Room for n - 1 bytes: liblzf returns 0 unless the stream is shorter than its input.
    out = ctypes.create_string_buffer(n - 1)
    got = fn(data, n, out, n - 1)
    if got == 0:
        return lzf_literal(data)
    return out.raw[:got]


# --- Blocks ------------------------------------------------------------------------------------
@dataclass(frozen=True)
class Block:
    """Block bytes plus the descriptor fields that describe them.

    ``byte_count`` None means ``len(data)``. ``message`` is the reader's error text for a
    deliberately broken block (None for a sound one).
    """

    format_id: int
    data: bytes
    point_count: int
    uncompressed_byte_count: int | None = None
    byte_count: int | None = None
    message: str | None = None

    @property
    def file(self) -> str:
        return PROFILE_FILE if self.format_id == FORMAT_PROFILE else PEAK_FILE

    def descriptor(self, byte_offset: int = 0) -> BlockDescriptor:
        count = len(self.data) if self.byte_count is None else self.byte_count
        return BlockDescriptor(
            self.format_id, byte_offset, count, self.point_count, self.uncompressed_byte_count
        )


def _f64(values) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64).reshape(-1))


def _f32(values) -> np.ndarray:
    return np.ascontiguousarray(np.asarray(values, dtype=np.float32).reshape(-1))


def _u32(values) -> np.ndarray:
    a = np.asarray(values)
    if a.dtype == np.uint32:
        return np.ascontiguousarray(a.reshape(-1))
    a = np.asarray(values, dtype=np.int64).reshape(-1)
    if a.size and (a.min() < 0 or a.max() > U32_MAX):
        raise ValueError("profile intensities must lie in 0..4294967295")
    return a.astype(np.uint32)


def _paired(mz, intensity) -> tuple[np.ndarray, np.ndarray]:
    m, i = _f64(mz), _f32(intensity)
    if len(m) != len(i):
        raise ValueError(f"{len(m)} m/z values but {len(i)} intensities")
    return m, i


def peak_block_format3(mz, intensity, *, trailer: bytes = b"") -> Block:
    """Interleaved points: f64 m/z, f32 intensity, 12 bytes each; ``trailer`` appended."""
    m, i = _paired(mz, intensity)
    points = np.empty(len(m), dtype=_PEAK3_DTYPE)
    points["mz"] = m
    points["intensity"] = i
    return Block(FORMAT_PEAK_INTERLEAVED, points.tobytes() + trailer, len(m))


def peak_block_format2(scaled_mz, intensity, *, trailer: bytes = b"") -> Block:
    """Two arrays: the f64 values as given (100 times m/z), then the f32 intensities."""
    m, i = _paired(scaled_mz, intensity)
    data = m.astype("<f8").tobytes() + i.astype("<f4").tobytes() + trailer
    return Block(FORMAT_PEAK_ARRAYS, data, len(m))


def peak_block(mz, intensity, format_id: int = FORMAT_PEAK_INTERLEAVED, *, trailer: bytes = b"") -> Block:
    """Peak block of either format from real m/z values (format 2 stores m/z * 100.0)."""
    if format_id == FORMAT_PEAK_INTERLEAVED:
        return peak_block_format3(mz, intensity, trailer=trailer)
    if format_id == FORMAT_PEAK_ARRAYS:
        return peak_block_format2(_f64(mz) * PEAK_MZ_SCALE, intensity, trailer=trailer)
    raise ValueError(f"peak blocks have format 2 or 3, not {format_id}")


def profile_payload(intensities, *, header: bytes = DEFAULT_PROFILE_HEADER, trailer: bytes = b"") -> bytes:
    """The expanded profile payload: header (16 bytes as a reader expects), u32 intensities, trailer."""
    return bytes(header) + _u32(intensities).astype("<u4").tobytes() + trailer


def profile_block_from_stream(
    stream: bytes,
    point_count: int,
    uncompressed_byte_count: int | None,
    *,
    preamble: bytes = DEFAULT_PREAMBLE,
    message: str | None = None,
) -> Block:
    """A profile block around any LZF stream, with whatever counts the caller claims."""
    return Block(
        FORMAT_PROFILE, bytes(preamble) + stream, point_count, uncompressed_byte_count, message=message
    )


def profile_block(
    intensities,
    *,
    preamble: bytes = DEFAULT_PREAMBLE,
    header: bytes = DEFAULT_PROFILE_HEADER,
    trailer: bytes = b"",
    literal_only: bool = False,
) -> Block:
    """Preamble + LZF(header + u32 intensities + trailer), counts filled in."""
    n = len(_u32(intensities))
    payload = profile_payload(intensities, header=header, trailer=trailer)
    stream = lzf_literal(payload) if literal_only else lzf_compress(payload)
    return profile_block_from_stream(stream, n, len(payload), preamble=preamble)


# --- Broken inputs -----------------------------------------------------------------------------
LZF_FAULTS = (
    "literal_run_out_of_bounds",
    "invalid_back_reference",
    "truncated_length_byte",
    "truncated_reference_byte",
    "match_run_exceeds_output_bounds",
    "decompressed_length_mismatch",
)


def _back_reference(length: int, distance: int) -> bytes:
    """Token copying ``length`` (3..264) bytes from ``distance`` (1..8192) back."""
    off = distance - 1
    if length <= 8:
        return bytes([((length - 2) << 5) | (off >> 8), off & 0xFF])
    return bytes([0xE0 | (off >> 8), length - 9, off & 0xFF])


def broken_lzf_stream(payload: bytes, fault: str) -> tuple[bytes, str]:
    """A stream that fails to expand to ``len(payload)`` bytes, and the decoder's message.

    Built on the literal-only encoding; ``payload`` needs at least 2 bytes.
    """
    payload = bytes(payload)
    e = len(payload)
    if e < 2:
        raise ValueError("payload needs at least 2 bytes")
    head = bytes([0]) + payload[:1]  # one literal byte: output position 1
    if fault == "literal_run_out_of_bounds":
        return lzf_literal(payload)[:-1], "LZF: literal run out of bounds"
    if fault == "invalid_back_reference":
        return _back_reference(3, 1) + lzf_literal(payload), "LZF: invalid back reference"
    if fault == "truncated_length_byte":
        return head + b"\xe0", "LZF: truncated length byte"
    if fault == "truncated_reference_byte":
        return head + b"\x20", "LZF: truncated reference byte"
    if fault == "match_run_exceeds_output_bounds":
        # All literals except the last run, then a reference one byte longer than that run.
        last = (e - 1) % LZF_MAX_LITERAL + 1
        if last == e:  # a single run: one literal byte, then a reference past the end
            stream, last = head, e - 1
        else:
            stream = lzf_literal(payload)
            stream = stream[: len(stream) - last - 1]
        return stream + _back_reference(max(3, last + 1), 1), "LZF: match run exceeds output bounds"
    if fault == "decompressed_length_mismatch":
        last = (e - 1) % LZF_MAX_LITERAL + 1
        stream = lzf_literal(payload)
        return stream[: len(stream) - last - 1], f"LZF: decompressed length {e - last} != expected {e}"
    raise ValueError(f"unknown LZF fault {fault!r}; one of {LZF_FAULTS}")


PROFILE_FAULTS = LZF_FAULTS + (
    "too_short_for_preamble",
    "missing_uncompressed_byte_count",
    "short_uncompressed_byte_count",
    "lying_point_count",
)


def broken_profile_block(
    intensities,
    fault: str,
    *,
    preamble: bytes = DEFAULT_PREAMBLE,
    header: bytes = DEFAULT_PROFILE_HEADER,
) -> Block:
    """A profile block that fails to decode, with ``message`` set to the reader's error text.

    LZF faults break the stream; ``too_short_for_preamble`` keeps 15 bytes;
    ``missing_uncompressed_byte_count`` drops the count; ``short_uncompressed_byte_count``
    stores one payload byte less than 16 + 4n and says so; ``lying_point_count`` claims one
    point more than the payload holds. Intensities must not be empty.
    """
    ints = _u32(intensities)
    n = len(ints)
    if n == 0:
        raise ValueError("a block of zero points is never decoded; give at least one intensity")
    payload = profile_payload(ints, header=header)
    too_short = "Decompressed profile block too short for point count"
    if fault in LZF_FAULTS:
        stream, message = broken_lzf_stream(payload, fault)
        return profile_block_from_stream(stream, n, len(payload), preamble=preamble, message=message)
    if fault == "too_short_for_preamble":
        return Block(FORMAT_PROFILE, bytes(preamble)[:15], n, len(payload),
                     message="MSProfile block too short for preamble")
    if fault == "missing_uncompressed_byte_count":
        return profile_block_from_stream(lzf_compress(payload), n, None, preamble=preamble,
                                         message="Missing UncompressedByteCount for profile block")
    if fault == "short_uncompressed_byte_count":
        short = payload[:-1]
        return profile_block_from_stream(lzf_compress(short), n, len(short), preamble=preamble,
                                         message=too_short)
    if fault == "lying_point_count":
        return profile_block_from_stream(lzf_compress(payload), n + 1, len(payload),
                                         preamble=preamble, message=too_short)
    raise ValueError(f"unknown profile fault {fault!r}; one of {PROFILE_FAULTS}")


def truncated(block: Block, drop: int = 1) -> Block:
    """The block with its last ``drop`` bytes cut off, descriptor counts unchanged.

    Peak blocks then fail with "Truncated MSPeak.bin block"; the stored byte count follows
    the data, so the read itself succeeds.
    """
    data = block.data[: max(0, len(block.data) - drop)]
    message = "Truncated MSPeak.bin block" if block.format_id != FORMAT_PROFILE else None
    return dataclasses.replace(block, data=data, byte_count=None, message=message)


# --- Expected reader output --------------------------------------------------------------------
@dataclass(frozen=True)
class Precursor:
    mz: float | None
    reference: str | None


@dataclass
class Expected:
    """What a conforming reader yields for one scan (arrays bit-exact)."""

    scan_id: int
    native_id: str
    ms_level: int
    retention_time_sec: float
    mz: np.ndarray  # float64
    intensity: np.ndarray  # float32
    mz_range_start: float | None
    mz_range_end: float | None
    precursor: Precursor | None
    profile_decoded: bool
    source: str  # "profile", "peak" or "none"


def profile_mz_axis(n: int, first: float, last: float) -> np.ndarray:
    """k * step + first, product and sum rounded separately; step 0.0 for one point."""
    step = 0.0 if n == 1 else (last - first) / (n - 1)
    product = np.arange(n, dtype=np.float64) * np.float64(step)
    return product + np.float64(first)


@dataclass
class Scan:
    """One scan of a generated acquisition.

    ``profile``: u32 intensities (a profile block is written when not None, also when empty).
    ``peaks``: (m/z, intensity) pairs of a peak block of ``peak_format``. Under stride 284 both
    may be given (profile in the slot at 156, peaks at 220); other strides hold one block.
    ``mz_range`` is stored only under stride 284; elsewhere a reader sees 0.0 for both ends.
    ``blocks``: raw blocks written instead, in slot order; such a scan has no expected values.
    """

    scan_id: int
    retention_time_min: float = 0.0
    ms_level: int = 1
    precursor_mz: float | None = None
    mrm_channel: int | None = None
    mz_range: tuple[float, float] | None = None
    profile: object = None
    peaks: tuple[object, object] | None = None
    peak_format: int = FORMAT_PEAK_INTERLEAVED
    blocks: Sequence[Block | None] | None = None


def _record_mz_range(scan: Scan, stride: int) -> tuple[float, float] | None:
    if stride != MZ_RANGE_STRIDE:
        return None
    return (0.0, 0.0) if scan.mz_range is None else (float(scan.mz_range[0]), float(scan.mz_range[1]))


def expected_spectrum(scan: Scan, stride: int, omit: Iterable[str] = ()) -> Expected:
    """The reader's output for a scan written by ``write_acquisition`` without overrides."""
    omit = frozenset(omit)
    mz = np.empty(0, dtype=np.float64)
    intensity = np.empty(0, dtype=np.float32)
    source = "none"
    mz_range = _record_mz_range(scan, stride)
    profile_decoded = scan.profile is not None and PROFILE_FILE not in omit
    if profile_decoded:
        ints = _u32(scan.profile)
        if len(ints):
            first, last = mz_range if mz_range is not None else (0.0, 0.0)
            mz, intensity = profile_mz_axis(len(ints), first, last), ints.astype(np.float32)
            source = "profile"
    if not len(mz) and scan.peaks is not None and PEAK_FILE not in omit:
        m, i = _paired(*scan.peaks)
        if scan.peak_format == FORMAT_PEAK_ARRAYS:
            m = (m * PEAK_MZ_SCALE) / PEAK_MZ_SCALE
        mz, intensity, source = m, i, "peak"
    if scan.ms_level < 2:
        precursor = None
    elif stride in MRM_STRIDES:
        precursor = Precursor(None, f"mrm_channel={scan.mrm_channel or 0}")
    else:
        precursor = Precursor(float(scan.precursor_mz or 0.0), f"scanId={scan.scan_id}")
    return Expected(
        scan_id=scan.scan_id,
        native_id=f"scanId={scan.scan_id}",
        ms_level=scan.ms_level,
        retention_time_sec=float(scan.retention_time_min) * 60.0,
        mz=mz,
        intensity=intensity,
        mz_range_start=None if mz_range is None else mz_range[0],
        mz_range_end=None if mz_range is None else mz_range[1],
        precursor=precursor,
        profile_decoded=profile_decoded,
        source=source,
    )


# --- Whole acquisitions ------------------------------------------------------------------------
DescriptorOverride = Sequence[BlockDescriptor | None] | Callable[
    [list[BlockDescriptor | None]], Sequence[BlockDescriptor | None]
]


@dataclass
class Acquisition:
    """What ``write_acquisition`` / ``acquisition_images`` laid out.

    ``descriptors[i]``: scan i's descriptors as written, one per slot (None: slot left zero).
    ``expected[i]``: the reader's output for scan i, or None where raw blocks or overrides
    were used. Expected values assume the header's data offset points at the first record.
    ``profile_payload_bytes`` / ``profile_stored_bytes``: expanded vs stored profile totals.
    The ``*_image`` fields are set by ``acquisition_images`` only (None for an omitted file).
    """

    path: Path | None
    stride: int
    data_offset: int
    descriptors: list[tuple[BlockDescriptor | None, ...]]
    expected: Sequence[Expected | None]
    omitted: frozenset[str]
    profile_payload_bytes: int = 0
    profile_stored_bytes: int = 0
    scan_image: bytes | None = None
    peak_image: bytes | None = None
    profile_image: bytes | None = None

    def _file(self, name: str) -> Path | None:
        return None if self.path is None else self.path / ACQ_DIR / name

    @property
    def scan_path(self) -> Path | None:
        return self._file(SCAN_FILE)

    @property
    def peak_path(self) -> Path | None:
        return self._file(PEAK_FILE)

    @property
    def profile_path(self) -> Path | None:
        return self._file(PROFILE_FILE)

    @property
    def compression_ratio(self) -> float:
        return self.profile_payload_bytes / self.profile_stored_bytes if self.profile_stored_bytes else 0.0


class _CountingSink:
    """Stands in for an omitted file: keeps offsets, drops bytes."""

    def __init__(self) -> None:
        self._pos = 0

    def write(self, data: bytes) -> int:
        self._pos += len(data)
        return len(data)

    def tell(self) -> int:
        return self._pos


_FILE_NAMES = frozenset((SCAN_FILE, PEAK_FILE, PROFILE_FILE))


def _scan_blocks(scan: Scan, stride: int) -> tuple[list[Block | None], bool]:
    """Blocks in slot order and whether the scan's expected values are known."""
    if scan.blocks is not None:
        return list(scan.blocks), False
    slots = len(DESCRIPTOR_POSITIONS[stride])
    wanted = (scan.profile is not None) + (scan.peaks is not None)
    if wanted > slots:
        raise ValueError(f"scan {scan.scan_id}: stride {stride} holds {slots} block, got {wanted}")
    blocks: list[Block | None] = []
    if scan.profile is not None:
        blocks.append(profile_block(scan.profile))
    if scan.peaks is not None:
        blocks.append(peak_block(*scan.peaks, format_id=scan.peak_format))
    return blocks, True


def _lay_out(
    scans: Iterable[Scan],
    stride: int,
    sinks: Mapping[str, object],
    omit: frozenset[str],
    *,
    header: bytes | None,
    magic: int | None,
    header_length: int,
    data_offset: int | None,
    header_filler: bytes,
    record_filler: bytes,
    scan_trailer: bytes,
    descriptor_overrides: Mapping[int, DescriptorOverride] | None,
    keep_expected: bool,
) -> Acquisition:
    if stride not in DESCRIPTOR_POSITIONS:
        raise ValueError(f"stride must be one of {STRIDES}, got {stride}")
    if header is None:
        header = scan_header(magic=magic, data_offset=data_offset, length=header_length, filler=header_filler)
    stored_offset = 0
    if len(header) >= HEADER_SIZE:
        stored_offset = struct.unpack_from("<I", header, DATA_OFFSET_OFFSET)[0]
    overrides = descriptor_overrides or {}
    scan_sink = sinks[SCAN_FILE]
    scan_sink.write(header)
    descriptors: list[tuple[BlockDescriptor | None, ...]] = []
    expected: list[Expected | None] = []
    payload_bytes = stored_bytes = 0
    for index, scan in enumerate(scans):
        blocks, known = _scan_blocks(scan, stride)
        descs: list[BlockDescriptor | None] = []
        for block in blocks:
            if block is None:
                descs.append(None)
                continue
            sink = sinks[block.file]
            descs.append(block.descriptor(sink.tell()))
            sink.write(block.data)
            if block.format_id == FORMAT_PROFILE:
                payload_bytes += block.uncompressed_byte_count or 0
                stored_bytes += len(block.data)
        if index in overrides:
            change = overrides[index]
            descs = list(change(descs) if callable(change) else change)
            known = False
        mz_range = _record_mz_range(scan, stride)
        reads_precursor = scan.ms_level >= 2 and stride not in MRM_STRIDES
        scan_sink.write(
            scan_record(
                stride,
                scan_id=scan.scan_id,
                retention_time_min=scan.retention_time_min,
                ms_level=scan.ms_level,
                mrm_channel=(scan.mrm_channel or 0) if stride in MRM_STRIDES else scan.mrm_channel,
                precursor_mz=(scan.precursor_mz or 0.0) if reads_precursor else scan.precursor_mz,
                mz_range_start=None if mz_range is None else mz_range[0],
                mz_range_end=None if mz_range is None else mz_range[1],
                descriptors=descs,
                filler=record_filler,
            )
        )
        descriptors.append(tuple(descs))
        if keep_expected:
            expected.append(expected_spectrum(scan, stride, omit) if known else None)
    scan_sink.write(scan_trailer)
    return Acquisition(
        path=None,
        stride=stride,
        data_offset=stored_offset,
        descriptors=descriptors,
        expected=expected,
        omitted=omit,
        profile_payload_bytes=payload_bytes,
        profile_stored_bytes=stored_bytes,
    )


def _check_omit(omit: Iterable[str]) -> frozenset[str]:
    omit = frozenset(omit)
    unknown = omit - _FILE_NAMES
    if unknown:
        raise ValueError(f"can omit only {sorted(_FILE_NAMES)}, not {sorted(unknown)}")
    return omit


def write_acquisition(
    path: str | os.PathLike,
    scans: Iterable[Scan],
    stride: int = 284,
    *,
    omit: Iterable[str] = (),
    header: bytes | None = None,
    magic: int | None = HEADER_MAGIC,
    header_length: int = HEADER_SIZE,
    data_offset: int | None = None,
    header_filler: bytes = b"\x00",
    record_filler: bytes = b"\x00",
    scan_trailer: bytes = b"",
    descriptor_overrides: Mapping[int, DescriptorOverride] | None = None,
    keep_expected: bool = True,
) -> Acquisition:
    """Writes ``path/AcqData/{MSScan,MSPeak,MSProfile}.bin`` and returns the layout.

    Blocks go to their files back to back from offset 0, in scan order. ``omit`` names files
    not to write (offsets are laid out as if they were). ``header`` replaces the built header
    (``magic``, ``data_offset`` default ``header_length``, ``header_filler``). Records always
    carry the fields the stride's reader reads (0 where the scan has none); ``record_filler``
    fills the rest. ``descriptor_overrides[i]`` replaces scan i's descriptor list, or maps it
    (a callable, e.g. ``lambda ds: [dataclasses.replace(ds[0], point_count=9)]``).
    ``scans`` may be a generator: blocks are streamed to disk.
    """
    omit = _check_omit(omit)
    root = Path(path)
    acq = root / ACQ_DIR
    acq.mkdir(parents=True, exist_ok=True)
    opened = {}
    try:
        for name in (SCAN_FILE, PEAK_FILE, PROFILE_FILE):
            opened[name] = _CountingSink() if name in omit else open(acq / name, "wb")
        result = _lay_out(
            scans, stride, opened, omit, header=header, magic=magic, header_length=header_length,
            data_offset=data_offset, header_filler=header_filler, record_filler=record_filler,
            scan_trailer=scan_trailer, descriptor_overrides=descriptor_overrides,
            keep_expected=keep_expected,
        )
    finally:
        for sink in opened.values():
            if not isinstance(sink, _CountingSink):
                sink.close()
    result.path = root
    return result


def acquisition_images(
    scans: Iterable[Scan],
    stride: int = 284,
    *,
    omit: Iterable[str] = (),
    header: bytes | None = None,
    magic: int | None = HEADER_MAGIC,
    header_length: int = HEADER_SIZE,
    data_offset: int | None = None,
    header_filler: bytes = b"\x00",
    record_filler: bytes = b"\x00",
    scan_trailer: bytes = b"",
    descriptor_overrides: Mapping[int, DescriptorOverride] | None = None,
) -> Acquisition:
    """As ``write_acquisition``, in memory: the three files in ``*_image`` (None if omitted)."""
    omit = _check_omit(omit)
    sinks = {name: _CountingSink() if name in omit else io.BytesIO() for name in _FILE_NAMES}
    result = _lay_out(
        scans, stride, sinks, omit, header=header, magic=magic, header_length=header_length,
        data_offset=data_offset, header_filler=header_filler, record_filler=record_filler,
        scan_trailer=scan_trailer, descriptor_overrides=descriptor_overrides, keep_expected=True,
    )

    def image(name: str) -> bytes | None:
        sink = sinks[name]
        return None if isinstance(sink, _CountingSink) else sink.getvalue()

    result.scan_image = image(SCAN_FILE)
    result.peak_image = image(PEAK_FILE)
    result.profile_image = image(PROFILE_FILE)
    return result


def directory_framing(acq: Acquisition) -> bytes:
    """The ``directory`` fuzz framing of an in-memory acquisition."""
    images = (acq.scan_image, acq.peak_image, acq.profile_image)
    lengths = [U32_MAX if im is None else len(im) for im in images]
    return struct.pack("<3I", *lengths) + b"".join(im for im in images if im is not None)


# --- Realistic runs ----------------------------------------------------------------------------
MS1_MZ_RANGE = (100.0, 1700.0)
CYCLE_MIN = 0.005  # retention time per scan, minutes (0.3 s)
ZERO_RUN_MEAN = 5.0  # points; with SIGNAL_RUN_MEAN gives about 55 % zeros
SIGNAL_RUN_MEAN = 3.6
NOISE_MEAN = 60  # counts above 1 on signal points
PEAKS_PER_POINT = 1 / 250
PEAK_AMPLITUDE_LOG10 = (2.0, 7.0)
PEAK_SIGMA = (0.7, 2.5)  # points
PEAK_HALF_WIDTH = 10  # points evaluated on each side of a peak centre


def realistic_intensities(rng: np.random.Generator, n: int) -> np.ndarray:
    """u32 profile intensities: short zero runs, a small noise floor, sparse Gaussian peaks."""
    if n == 0:
        return np.empty(0, dtype=np.uint32)
    pairs = max(16, int(n / (ZERO_RUN_MEAN + SIGNAL_RUN_MEAN) * 1.3) + 16)
    while True:
        runs = np.empty(2 * pairs, dtype=np.int64)
        runs[0::2] = rng.geometric(1 / ZERO_RUN_MEAN, pairs)
        runs[1::2] = rng.geometric(1 / SIGNAL_RUN_MEAN, pairs)
        if runs.sum() >= n:
            break
        pairs *= 2
    signal = np.repeat(np.tile(np.array([False, True]), pairs), runs)[:n]
    values = np.where(signal, 1.0 + np.floor(rng.exponential(NOISE_MEAN, n)), 0.0)
    n_peaks = rng.poisson(n * PEAKS_PER_POINT)
    if n_peaks:
        centres = rng.uniform(0, n, n_peaks)
        sigma = rng.uniform(*PEAK_SIGMA, n_peaks)
        amp = 10.0 ** rng.uniform(*PEAK_AMPLITUDE_LOG10, n_peaks)
        idx = np.floor(centres).astype(np.int64)[:, None] + np.arange(-PEAK_HALF_WIDTH, PEAK_HALF_WIDTH + 1)
        shape = amp[:, None] * np.exp(-0.5 * ((idx - centres[:, None]) / sigma[:, None]) ** 2)
        keep = (idx >= 0) & (idx < n) & (shape >= 1.0)
        np.add.at(values, idx[keep], shape[keep])
    return np.minimum(np.rint(values), U32_MAX).astype(np.uint32)


def realistic_scan(
    index: int,
    *,
    points: int | tuple[int, int] = 5000,
    seed: int = 0,
    ms2_every: int = 4,
    ms2_peaks: bool = True,
    first_scan_id: int = 1,
) -> Scan:
    """Scan ``index`` of a realistic run; depends only on its arguments.

    Scan i is MS2 when ``(i + 1) % ms2_every == 0`` (never when ``ms2_every`` is 0). MS2
    scans cycle profile, peak format 3, peak format 2 (profile only when ``ms2_peaks`` is
    False); each has a precursor and an MRM channel. ``points`` is a count or an inclusive
    (low, high) range drawn per scan.
    """
    rng = np.random.default_rng([seed, index])
    n = points if isinstance(points, int) else int(rng.integers(points[0], points[1] + 1))
    rt = (index + 0.5 * rng.random()) * CYCLE_MIN
    is_ms2 = ms2_every > 0 and (index + 1) % ms2_every == 0
    scan = Scan(scan_id=first_scan_id + index, retention_time_min=rt, ms_level=2 if is_ms2 else 1)
    if not is_ms2:
        scan.mz_range = MS1_MZ_RANGE
        scan.profile = realistic_intensities(rng, n)
        return scan
    ordinal = index // ms2_every
    scan.precursor_mz = round(float(rng.uniform(350.0, 1400.0)), 4)
    scan.mrm_channel = ordinal % 8 + 1
    scan.mz_range = (50.0, scan.precursor_mz + 20.0)
    kind = ordinal % 3 if ms2_peaks else 0
    if kind == 0:
        scan.profile = realistic_intensities(rng, n)
        return scan
    count = int(rng.integers(40, 400))
    mz = np.sort(rng.uniform(scan.mz_range[0], scan.mz_range[1], count))
    intensity = (10.0 ** rng.uniform(2.0, 6.0, count)).astype(np.float32)
    scan.peaks = (mz, intensity)
    scan.peak_format = FORMAT_PEAK_INTERLEAVED if kind == 1 else FORMAT_PEAK_ARRAYS
    return scan


def realistic_scans(n_scans: int, **kwargs) -> Iterator[Scan]:
    """``realistic_scan(i, **kwargs)`` for i in range(n_scans), generated one at a time."""
    for i in range(n_scans):
        yield realistic_scan(i, **kwargs)


class _RegeneratedExpected(Sequence):
    """Expected values of a realistic run, regenerated per scan instead of kept in memory."""

    def __init__(self, n: int, stride: int, omit: frozenset[str], kwargs: dict) -> None:
        self._n, self._stride, self._omit, self._kwargs = n, stride, omit, kwargs

    def __len__(self) -> int:
        return self._n

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(self._n))]
        if i < 0:
            i += self._n
        if not 0 <= i < self._n:
            raise IndexError(i)
        return expected_spectrum(realistic_scan(i, **self._kwargs), self._stride, self._omit)


def realistic_run(
    path: str | os.PathLike,
    n_scans: int = 200,
    points: int | tuple[int, int] = 5000,
    seed: int = 0,
    ms2_every: int = 4,
    *,
    stride: int = 284,
    ms2_peaks: bool = True,
    omit: Iterable[str] = (),
) -> Acquisition:
    """Writes a realistic run; ``expected`` regenerates each scan on access."""
    kwargs = dict(points=points, seed=seed, ms2_every=ms2_every, ms2_peaks=ms2_peaks)
    acq = write_acquisition(path, realistic_scans(n_scans, **kwargs), stride, omit=omit, keep_expected=False)
    acq.expected = _RegeneratedExpected(n_scans, stride, acq.omitted, kwargs)
    return acq


# --- Fuzz seed corpus --------------------------------------------------------------------------
def lzf_framing(stream: bytes, expected_len: int) -> bytes:
    return struct.pack("<I", expected_len) + stream


def peak_framing(block: Block, format_id: int | None = None) -> bytes:
    fid = block.format_id if format_id is None else format_id
    return struct.pack("<BI", fid, block.point_count) + block.data


def profile_framing(block: Block, first: float, last: float) -> bytes:
    present = block.uncompressed_byte_count is not None
    fid = FORMAT_PROFILE if present else 0
    count = block.uncompressed_byte_count if present else 0
    return struct.pack("<BIIdd", fid, block.point_count, count, first, last) + block.data


def _corpus_lzf() -> dict[str, bytes]:
    rng = np.random.default_rng(7)
    small = profile_payload(realistic_intensities(rng, 400))
    random_bytes = rng.integers(0, 256, 300, dtype=np.uint8).tobytes()
    far = rng.integers(0, 256, 600, dtype=np.uint8).tobytes()
    far_repeat = far + bytes(7600) + far  # second copy 8200 bytes on: references near the limit
    text = b"scanId=1 mrm_channel=2 " * 40
    seeds = {
        "literal_one": lzf_framing(b"\x00\x41", 1),
        "short_reference_overlap": lzf_framing(b"\x00\x41\x20\x00", 4),
        "long_reference_overlap": lzf_framing(b"\x00\x41\xe0\x00\x00", 10),
        "trailing_byte_ignored": lzf_framing(b"\x00\x41\xff", 1),
        "expected_zero": lzf_framing(b"\xff\xff", 0),
        "empty_input": lzf_framing(b"", 5),
        "liblzf_profile": lzf_framing(lzf_compress(small), len(small)),
        "liblzf_text": lzf_framing(lzf_compress(text), len(text)),
        "liblzf_far_references": lzf_framing(lzf_compress(far_repeat), len(far_repeat)),
        "literal_only_random": lzf_framing(lzf_literal(random_bytes), len(random_bytes)),
    }
    for fault in LZF_FAULTS:
        stream, _ = broken_lzf_stream(small[:100], fault)
        seeds[f"broken_{fault}"] = lzf_framing(stream, 100)
    return seeds


def _small_run(stride: int, n_scans: int = 5, points: int = 48, seed: int = 11) -> list[Scan]:
    scans = [realistic_scan(i, points=points, seed=seed, ms2_every=2) for i in range(n_scans)]
    for scan in scans:
        if scan.peaks is not None:
            scan.peaks = (scan.peaks[0][:12], scan.peaks[1][:12])
    return scans


def _rec(stride: int, scan_id: int, ms_level: int = 1, **fields) -> bytes:
    return scan_record(stride, scan_id=scan_id, retention_time_min=0.5, ms_level=ms_level, **fields)


def _corpus_msscan() -> dict[str, bytes]:
    seeds = {f"stride{s}_run": acquisition_images(_small_run(s), s).scan_image for s in STRIDES}
    head = scan_header()
    peak1 = BlockDescriptor(3, 0, 12, 1)
    profile3 = BlockDescriptor(1, 0, 40, 3, 28)
    odd_formats = [BlockDescriptor(0, 0, 12, 1), BlockDescriptor(4, 0, 12, 1)]
    seeds.update({
        "header_only": head,
        "too_small_91": scan_header(length=91),
        "bad_magic_256": scan_header(magic=256) + _rec(284, 1),
        "data_offset_past_end": scan_header(data_offset=93),
        "data_offset_zero_284": scan_header(data_offset=0) + bytes(192),
        "payload_3_bytes": head + b"\x01\x02\x03",
        "single_186": head + _rec(186, 5, descriptors=[profile3]),
        "second_id_equal_568": head + _rec(284, 9) + _rec(284, 9),
        "second_ms_level_3_440": head + _rec(220, 1) + _rec(220, 2, 3),
        "ambiguous_220_196": head + b"".join(_rec(220, i + 1) for i in range(49)),
        "descriptor_formats": head
        + _rec(284, 1, descriptors=odd_formats)
        + _rec(284, 2, 2, precursor_mz=500.0, descriptors=[peak1, profile3]),
        "scan_id_window": head + _rec(216, 0xFFFFFFF0) + _rec(216, 5),
        "header_filler_ff": scan_header(filler=b"\xff", length=120) + _rec(196, 1, mrm_channel=3),
    })
    return seeds


def _corpus_mspeak() -> dict[str, bytes]:
    rng = np.random.default_rng(3)
    mz = np.sort(rng.uniform(100, 1500, 50))
    inten = rng.uniform(0, 1e6, 50).astype(np.float32)
    specials = ([np.nan, np.inf, -1.0, 0.0], [np.inf, np.nan, -0.0, 1e-45])
    f3 = peak_block_format3(mz, inten)
    return {
        "format3_one": peak_framing(peak_block_format3([500.25], [1000.0])),
        "format2_two": peak_framing(peak_block_format2([525.0, 650.0], [1.5, 2.5])),
        "format3_fifty": peak_framing(f3),
        "format2_fifty_trailer": peak_framing(
            peak_block(mz, inten, FORMAT_PEAK_ARRAYS, trailer=bytes(100))),
        "format3_empty": peak_framing(peak_block_format3([], [])),
        "format3_truncated": peak_framing(truncated(f3)),
        "format4_short": peak_framing(truncated(f3, 30), format_id=4),
        "format5_empty": peak_framing(peak_block_format3([], []), format_id=5),
        "format3_specials": peak_framing(peak_block_format3(*specials)),
        "format2_specials": peak_framing(peak_block_format2(*specials)),
    }


def _corpus_msprofile() -> dict[str, bytes]:
    rng = np.random.default_rng(5)
    ints = realistic_intensities(rng, 600)
    worked_payload = bytes(16) + struct.pack("<3I", 0, 7, 16777217)
    worked = profile_block_from_stream(bytes([0x1B]) + worked_payload, 3, 28)
    seeds = {
        "worked_example": profile_framing(worked, 100.0, 101.0),
        "realistic_600": profile_framing(profile_block(ints), 100.0, 1700.0),
        "literal_only_600": profile_framing(profile_block(ints, literal_only=True), 100.0, 1700.0),
        "one_point": profile_framing(profile_block([12345]), 400.0, 300.0),
        "zero_points": profile_framing(profile_block_from_stream(b"", 0, 16), 0.0, 0.0),
        "no_range": profile_framing(profile_block(ints[:50]), 0.0, 0.0),
        "payload_trailer": profile_framing(profile_block(ints[:40], trailer=bytes(9)), 200.0, 201.0),
        "big_values": profile_framing(profile_block([16777217, U32_MAX, 16777219]), 1.0, 2.0),
    }
    for fault in PROFILE_FAULTS:
        seeds[f"broken_{fault}"] = profile_framing(broken_profile_block(ints[:60], fault), 100.0, 200.0)
    return seeds


def _corpus_directory() -> dict[str, bytes]:
    def framed(stride: int, **options) -> bytes:
        return directory_framing(acquisition_images(_small_run(stride, 4, 24), stride, **options))

    def one_more_point(descs):
        return [dataclasses.replace(d, point_count=d.point_count + 1) for d in descs]

    seeds = {f"stride{s}": framed(s) for s in STRIDES}
    seeds["no_profile_file"] = framed(284, omit=[PROFILE_FILE])
    seeds["no_peak_file"] = framed(220, omit=[PEAK_FILE])
    seeds["no_data_files"] = framed(196, omit=[PEAK_FILE, PROFILE_FILE])
    seeds["lying_point_count"] = framed(284, descriptor_overrides={0: one_more_point, 1: one_more_point})
    return seeds


CORPUS_TARGETS = {
    "lzf": _corpus_lzf,
    "msscan": _corpus_msscan,
    "mspeak": _corpus_mspeak,
    "msprofile": _corpus_msprofile,
    "directory": _corpus_directory,
}


def corpus_seeds() -> dict[str, dict[str, bytes]]:
    """Seed inputs per fuzz target, framed as the module docstring describes."""
    return {target: make() for target, make in CORPUS_TARGETS.items()}


def write_corpus(directory: str | os.PathLike) -> dict[str, list[Path]]:
    """Writes ``directory/<target>/<name>.bin`` for every seed; returns the paths."""
    written: dict[str, list[Path]] = {}
    for target, seeds in corpus_seeds().items():
        out = Path(directory) / target
        out.mkdir(parents=True, exist_ok=True)
        written[target] = []
        for name, data in seeds.items():
            p = out / f"{name}.bin"
            p.write_bytes(data)
            written[target].append(p)
    return written


# --- Command line ------------------------------------------------------------------------------
def _main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kestrane_fixtures.py", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sample = sub.add_parser("sample", help="write a realistic acquisition directory")
    sample.add_argument("dir")
    sample.add_argument("--scans", type=int, default=200)
    sample.add_argument("--points", type=int, default=5000)
    sample.add_argument("--seed", type=int, default=0)
    sample.add_argument("--stride", type=int, default=284, choices=STRIDES)
    sample.add_argument("--ms2-every", type=int, default=4)
    corpus = sub.add_parser("corpus", help="write fuzz seed inputs into DIR/<target>/")
    corpus.add_argument("dir")
    args = parser.parse_args(argv)
    try:
        if args.command == "sample":
            start = time.perf_counter()
            acq = realistic_run(
                args.dir, args.scans, args.points, args.seed, args.ms2_every, stride=args.stride
            )
            elapsed = time.perf_counter() - start
            print(
                f"wrote {acq.path}: {args.scans} scans, stride {acq.stride}, MSProfile.bin "
                f"{acq.profile_stored_bytes / 1e6:.1f} MB ({acq.compression_ratio:.2f}:1), "
                f"in {elapsed:.1f} s"
            )
        else:
            written = write_corpus(args.dir)
            for target, paths in written.items():
                print(f"{target}: {len(paths)} seeds")
    except LzfUnavailableError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(_main())
