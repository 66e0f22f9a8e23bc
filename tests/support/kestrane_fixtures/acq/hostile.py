"""Edits that make a written run hostile: a byte that is not UTF-8 in each text a directory
carries (MSScan.xsd type and field names, the schema version, an MSTS.xml attribute, the
directory's own name), and an index cut inside its last record.

Each edit takes the run's folder and returns the folder to open (an edit may rename it). A
reader must turn such text into Python text with the bytes replaced (or, for paths, as
``os.fsdecode`` gives them), never into an exception, and keep what the files still hold.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

from .directory import ACQ_DIR, MSTS_FILE, SCHEMA_FILE
from .index import SCAN_FILE

__all__ = ["NOT_UTF8", "INVALID_UTF8_EDITS", "cut_index"]

NOT_UTF8 = b"\xff"  # never part of a UTF-8 sequence


def _replace(path: Path, old: bytes, new: bytes) -> None:
    data = path.read_bytes()
    if old not in data:
        raise ValueError(f"{path}: no {old!r} to replace")
    path.write_bytes(data.replace(old, new, 1))


def _in_file(name: str, old: bytes, new: bytes) -> Callable[[Path], Path]:
    def edit(root: Path) -> Path:
        _replace(root / ACQ_DIR / name, old, new)
        return root
    return edit


def _renamed(root: Path) -> Path:
    target = Path(os.fsdecode(os.fsencode(root.parent) + b"/r" + NOT_UTF8 + b"un.d"))
    root.rename(target)
    return target


# What each edit does to a tof-v1 run (tof-rle, tof-lzf), and where the reader meets it: a
# refused schema (a FormatError message), a warning, info["schema_version"], a record's keys, the
# path of everything.
INVALID_UTF8_EDITS: dict[str, Callable[[Path], Path]] = {
    "type-name": _in_file(SCHEMA_FILE, b'type="xs:double"', b'type="xs:d' + NOT_UTF8 + b'ouble"'),
    "schema-version": _in_file(SCHEMA_FILE, b'" version="', b'" version="' + NOT_UTF8),
    "field-name": _in_file(SCHEMA_FILE, b'name="Fragmentor"', b'name="Frag' + NOT_UTF8 + b'mentor"'),
    # An unreadable NumOfScans makes the reader warn with the segment's id.
    "msts-attribute": lambda root: _in_file(MSTS_FILE, b"<NumOfScans>", b"<NumOfScans>x")(
        _in_file(MSTS_FILE, b'TimeSegmentID="', b'TimeSegmentID="' + NOT_UTF8)(root)),
    "directory-name": _renamed,
}


def cut_index(root: Path, tail: int) -> Path:
    """MSScan.bin of the run at ``root`` ending ``tail`` bytes into one more record (a run stopped
    while writing it): the first ``tail`` bytes of its last record appended again."""
    index = root / ACQ_DIR / SCAN_FILE
    data = index.read_bytes()
    index.write_bytes(data + data[-tail:] if tail else data)
    return root
