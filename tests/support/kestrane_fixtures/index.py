"""MSScan.bin of the fixed layout: header, records and block descriptors, packed with ``struct``.

Every builder writes any value, also the ones a reader refuses (magic, data offset, lengths
below the minimum, strides and descriptor formats a reader does not know), so tests can reach
each branch of the reader.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np

__all__ = [
    "ACQ_DIR", "SCAN_FILE", "PEAK_FILE", "PROFILE_FILE", "U32_MAX",
    "HEADER_SIZE", "HEADER_MAGIC", "MAGIC_OFFSET", "DATA_OFFSET_OFFSET",
    "STRIDES", "RECORD_SCAN_ID", "RECORD_MRM_CHANNEL", "RECORD_RETENTION_TIME",
    "RECORD_MS_LEVEL", "RECORD_PRECURSOR_MZ", "RECORD_MZ_RANGE_START", "RECORD_MZ_RANGE_END",
    "DESCRIPTOR_POSITIONS", "MRM_STRIDES", "PACKED_STRIDES", "MZ_RANGE_STRIDE", "SCAN_ID_WINDOW",
    "DescriptorLayout", "WIDE_LAYOUT", "PACKED_LAYOUT", "BlockDescriptor",
    "scan_header", "descriptor_bytes", "scan_record", "plain_records", "scan_index",
]

ACQ_DIR = "AcqData"
SCAN_FILE = "MSScan.bin"
PEAK_FILE = "MSPeak.bin"
PROFILE_FILE = "MSProfile.bin"
U32_MAX = 0xFFFFFFFF

# --- Header ------------------------------------------------------------------------------------
HEADER_SIZE = 92  # minimum file length
HEADER_MAGIC = 257
MAGIC_OFFSET = 0  # u32
DATA_OFFSET_OFFSET = 88  # u32: file offset of the first record

# --- Records (offsets from the record's first byte) --------------------------------------------
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


def plain_records(n: int, stride: int, *, retention_time_min: float = 0.25, ms_level: int = 1) -> np.ndarray:
    """``n`` records without blocks as an (n, stride) uint8 array: scan ids 1..n, one RT and level.

    Built in one pass for indexes of millions of records; descriptors can be laid into the
    array's columns afterwards.
    """
    records = np.zeros((n, stride), dtype=np.uint8)
    records[:, RECORD_SCAN_ID : RECORD_SCAN_ID + 4] = (
        np.arange(1, n + 1, dtype="<u4").view(np.uint8).reshape(n, 4))
    records[:, RECORD_RETENTION_TIME : RECORD_RETENTION_TIME + 8] = (
        np.full(n, retention_time_min, dtype="<f8").view(np.uint8).reshape(n, 8))
    records[:, RECORD_MS_LEVEL : RECORD_MS_LEVEL + 2] = (
        np.full(n, ms_level, dtype="<u2").view(np.uint8).reshape(n, 2))
    return records


def scan_index(
    records: Iterable[bytes] | np.ndarray, *, header: bytes | None = None, trailer: bytes = b""
) -> bytes:
    """A whole MSScan.bin image: header (default: magic 257, data offset 92), records, trailer.

    ``records`` are byte strings, or a uint8 array of one record per row (``plain_records``).
    """
    if header is None:
        header = scan_header()
    body = records.tobytes() if isinstance(records, np.ndarray) else b"".join(records)
    return header + body + trailer
