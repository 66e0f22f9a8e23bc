"""File headers, the MSScan.bin header and its format table.

Data files begin with a 68-byte header: u32 magic, then zeros. MSScan.bin continues with u32
fields at 68..88 and the format table at 92, which ends at the data offset (the first record).
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = [
    "SCAN_FILE", "PROFILE_FILE", "PEAK_FILE", "MASS_CAL_FILE", "XSPECIFIC_FILE", "MAGICS",
    "FILE_HEADER_SIZE", "TABLE_OFFSET", "KIND_PROFILE", "KIND_PEAK", "COMPRESSION_RAW",
    "COMPRESSION_LZF", "COMPRESSION_RLE", "STORAGE_INT32", "STORAGE_F32", "STORAGE_F64",
    "SPACING_EXPLICIT", "SPACING_START_STEP", "QUANTITY_MZ", "QUANTITY_FLIGHT_TIME",
    "QUANTITY_ABUNDANCE", "QUANTITY_ICP_COUNTS", "QUANTITY_ICP_PULSE", "QUANTITY_ICP_THIRD",
    "Axis", "FormatEntry", "file_header", "format_table", "scan_file_header",
]

SCAN_FILE = "MSScan.bin"
PROFILE_FILE = "MSProfile.bin"
PEAK_FILE = "MSPeak.bin"
MASS_CAL_FILE = "MSMassCal.bin"
XSPECIFIC_FILE = "MSScan_XSpecific.bin"
MAGICS = {SCAN_FILE: 257, PROFILE_FILE: 258, PEAK_FILE: 259, MASS_CAL_FILE: 260, XSPECIFIC_FILE: 275}
FILE_HEADER_SIZE = 68

# MSScan.bin header fields (u32) after the file header.
LAYOUT_VERSION_OFFSET = 68
UNKNOWN_OFFSET = 72
N_BLOCKS_OFFSET = 76
TABLE_ENTRIES_OFFSET = 80
ZERO_OFFSET = 84
DATA_OFFSET_OFFSET = 88
TABLE_OFFSET = 92

# Format table values.
KIND_PROFILE = 2  # block in MSProfile.bin
KIND_PEAK = 3  # block in MSPeak.bin
COMPRESSION_RAW = 0
COMPRESSION_LZF = 0x200  # whole-block LZF
COMPRESSION_RLE = 0x1000  # run-length
STORAGE_INT32 = 3
STORAGE_F32 = 5
STORAGE_F64 = 6
SPACING_EXPLICIT = 2  # an array per point
SPACING_START_STEP = 3  # built from (start, step)
QUANTITY_MZ = 5  # m/z, or an ICP channel value
QUANTITY_FLIGHT_TIME = 7
QUANTITY_ABUNDANCE = 15
QUANTITY_ICP_COUNTS = 8
QUANTITY_ICP_PULSE = 41
QUANTITY_ICP_THIRD = 40

_ENTRY_HEAD = struct.Struct("<5I")  # format id, kind, compression, w3, axis count
_AXIS = struct.Struct("<IIdII")  # axis number, quantity, scale, storage, spacing


@dataclass(frozen=True)
class Axis:
    quantity: int
    storage: int
    spacing: int
    scale: float = 1.0


@dataclass(frozen=True)
class FormatEntry:
    format_id: int
    kind: int
    compression: int
    w3: int  # meaning unknown; 1, 2, 4 or 8 in real files
    axes: tuple[Axis, ...]

    def to_bytes(self) -> bytes:
        out = _ENTRY_HEAD.pack(self.format_id, self.kind, self.compression, self.w3, len(self.axes))
        for number, axis in enumerate(self.axes, start=1):
            out += _AXIS.pack(number, axis.quantity, axis.scale, axis.storage, axis.spacing)
        return out


def file_header(name: str) -> bytes:
    """The 68-byte header of a data file: its magic, then zeros."""
    return struct.pack("<I", MAGICS[name]) + bytes(FILE_HEADER_SIZE - 4)


def format_table(entries: Sequence[FormatEntry]) -> bytes:
    return b"".join(e.to_bytes() for e in entries)


def scan_file_header(
    entries: Sequence[FormatEntry],
    *,
    layout_version: int,
    n_blocks: int,
    unknown: int,
    data_offset: int | None = None,
) -> bytes:
    """MSScan.bin up to its first record. ``data_offset`` defaults to 92 + the table's size."""
    table = format_table(entries)
    if data_offset is None:
        data_offset = TABLE_OFFSET + len(table)
    fields = struct.pack("<6I", layout_version, unknown, n_blocks, len(entries), 0, data_offset)
    return file_header(SCAN_FILE) + fields + table
