"""Data blocks of the fixed layout: peak blocks (formats 2 and 3) and LZF profile blocks.

A profile block is a 16-byte preamble, then an LZF stream of a 16-byte header and u32
intensities. Builders return ``Block`` (bytes plus the descriptor fields that describe them);
the broken ones carry the reader's error text in ``message``.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

import numpy as np

from .index import PEAK_FILE, PROFILE_FILE, U32_MAX, BlockDescriptor
from .lzf import LZF_FAULTS, broken_lzf_stream, lzf_compress, lzf_literal

__all__ = [
    "FORMAT_PROFILE", "FORMAT_PEAK_ARRAYS", "FORMAT_PEAK_INTERLEAVED", "PEAK_POINT_SIZE",
    "PEAK_MZ_SCALE", "PROFILE_PREAMBLE_SIZE", "PROFILE_HEADER_SIZE", "PROFILE_POINT_SIZE",
    "DEFAULT_PREAMBLE", "DEFAULT_PROFILE_HEADER", "PROFILE_FAULTS",
    "Block", "peak_block_format3", "peak_block_format2", "peak_block", "profile_payload",
    "profile_block_from_stream", "profile_block", "broken_profile_block", "truncated",
]

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

_PEAK3_DTYPE = np.dtype([("mz", "<f8"), ("intensity", "<f4")])  # packed: itemsize 12


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


# --- Broken blocks -----------------------------------------------------------------------------
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
