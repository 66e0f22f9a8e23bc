"""Hostile inputs for the self-describing reader, each built from a consistent generated run by
changing only what makes it hostile: schemas whose types repeat without bound, blocks whose
claims cannot be met, calibrations that cannot give finite masses, channel maps far larger than
real ones; a byte that is not UTF-8 in each text a directory carries (MSScan.xsd type and field
names, the schema version, an MSTS.xml attribute, the directory's own name), and an index cut
inside its last record.

The text edits take the run's folder and return the folder to open (an edit may rename it). A
reader must turn such text into Python text with the bytes replaced (or, for paths, as
``os.fsdecode`` gives them), never into an exception, and keep what the files still hold.
"""

from __future__ import annotations

import os
import re
import struct
from collections.abc import Callable
from dataclasses import replace
from pathlib import Path

import numpy as np

from .blocks import RLE_MAGIC
from .calibration import ROWS_OFFSET
from .directory import ACQ_DIR, DEFAULT_CAL_FILE, MSTS_FILE, SCHEMA_FILE, Run, Variant
from .index import MASS_CAL_FILE, PROFILE_FILE, SCAN_FILE
from .runs import acq_run
from .schema import LAYOUTS, SPECTRUM_PARAMS, Element, Layout, record_dtype, schema_text

__all__ = [
    "HOSTILE_DIRECTORIES", "INVALID_UTF8_EDITS", "NOT_UTF8", "cut_index", "edit_records", "fan_out_schema",
    "icp_non_finite_channels", "long_name_schema", "lzf_count_claim", "non_finite_calibration",
    "run_length_zero_bomb", "stored_intensities",
]

_RECORD_START = '<xs:element name="ScanID"'
_FIRST_TYPE = '\t<xs:complexType name="SpectrumParamsType">'


def _with_types(types: str, elements: str, layout: str) -> str:
    """The layout's MSScan.xsd with ``types`` declared and ``elements`` opening the record."""
    text = schema_text(LAYOUTS[layout])
    text = text.replace(_FIRST_TYPE, types + _FIRST_TYPE, 1)
    return text.replace(_RECORD_START, elements + _RECORD_START, 1)


def fan_out_schema(levels: int = 15, width: int = 4, layout: str = "tof-v1") -> str:
    """Types T1..T<levels-1> holding ``width`` elements of the next type each, T<levels> empty,
    and one element of T1 in the record: width^(levels-1) instantiations, no field."""
    types = ""
    for t in range(1, levels):
        inner = "".join(f'<xs:element name="E{k}" type="T{t + 1}"/>' for k in range(width))
        types += f'\t<xs:complexType name="T{t}"><xs:sequence>{inner}</xs:sequence></xs:complexType>\n'
    types += f'\t<xs:complexType name="T{levels}"><xs:sequence/></xs:complexType>\n'
    return _with_types(types, '<xs:element name="Fan" type="T1"/>', layout)


def long_name_schema(uses: int = 1000, name_length: int = 1_000_000, layout: str = "tof-v1") -> str:
    """A type whose one element has a ``name_length``-character name, used ``uses`` times by the
    record: names of uses x name_length bytes from a file of about name_length bytes."""
    types = (f'\t<xs:complexType name="Named"><xs:sequence><xs:element name="{"n" * name_length}" '
             'type="xs:byte"/></xs:sequence></xs:complexType>\n')
    elements = "".join(f'<xs:element name="U{u}" type="Named"/>' for u in range(uses))
    return _with_types(types, elements, layout)


# --- Hostile directories -----------------------------------------------------------------------
def _records(run: Run, layout: Layout | None = None) -> np.ndarray:
    """The records of MSScan.bin as a writable array (write back with ``_write_records``)."""
    layout = layout or LAYOUTS[run.family.layout]
    data = (run.acq_dir / SCAN_FILE).read_bytes()
    return np.frombuffer(bytearray(data[run.data_offset:]),
                         dtype=record_dtype(layout, run.family.n_blocks))


def _write_records(run: Run, records: np.ndarray) -> None:
    scan = run.acq_dir / SCAN_FILE
    scan.write_bytes(scan.read_bytes()[:run.data_offset] + records.tobytes())


def edit_records(run: Run, edit: Callable[[np.ndarray], None]) -> Run:
    """The run with its MSScan.bin records changed by ``edit``, which is given them as a
    writable structured array (``run.expected`` is left as written)."""
    records = _records(run)
    edit(records)
    _write_records(run, records)
    return run


def _widened(layout: Layout, field_name: str) -> Layout:
    """The layout with a block field of type long."""
    block = tuple(replace(e, type="long") if isinstance(e, Element) and e.name == field_name else e
                  for e in layout.block)
    return replace(layout, block=block)


def lzf_count_claim(path: Path, count: int = (1 << 62) + 1, scan: int = 1) -> Run:
    """An LZF run whose schema makes PointCount 64-bit, scan ``scan``'s profile block claiming
    ``count`` points (16 + 4 x count wraps modulo 2^64 when count >= 2^62)."""
    run = acq_run(path, "tof-lzf", 4, 300, seed=2, variant=Variant(mass_cal="absent"))
    layout = LAYOUTS[run.family.layout]
    wide = _widened(layout, "PointCount")
    old = _records(run)
    new = np.zeros(len(old), dtype=record_dtype(wide, run.family.n_blocks))
    for name in old.dtype.names:
        if name == SPECTRUM_PARAMS:
            for inner in old.dtype[name].base.names:
                new[name][inner] = old[name][inner]
        else:
            new[name] = old[name]
    new[SPECTRUM_PARAMS][scan, 0]["PointCount"] = count
    _write_records(run, new)
    (run.acq_dir / SCHEMA_FILE).write_text(schema_text(wide, type_prefix=run.family.type_prefix))
    return run


def run_length_zero_bomb(path: Path, scans: int = 8) -> Run:
    """A run-length run whose every record names one 24-byte block claiming 2^24 - 1 leading
    zeros, appended to MSProfile.bin."""
    run = acq_run(path, "tof-rle", scans, 200, seed=2)
    profile = run.acq_dir / PROFILE_FILE
    at = profile.stat().st_size
    n = (1 << 24) - 1
    with open(profile, "ab") as f:
        f.write(struct.pack("<ddIi", 20000.0, 0.5, RLE_MAGIC << 24 | n, -n))
    records = _records(run)
    params = records[SPECTRUM_PARAMS][:, 0]
    params["SpectrumOffset"], params["ByteCount"], params["PointCount"] = at, 24, n
    _write_records(run, records)
    return run


def non_finite_calibration(path: Path, kind: str) -> Run:
    """A run-length run whose calibration cannot give finite masses. ``kind``: "row-nan" (row 0
    of MSMassCal.bin holds a NaN coefficient), "default-nan" (no rows; the default's a is NaN),
    "default-high-orders" (no rows; the default's orders are bits 26-31), "default-huge-a" (no
    rows; a = 1e300: every mass overflows)."""
    rows = kind == "row-nan"
    run = acq_run(path, "tof-rle", 4, 200, seed=2,
                  variant=Variant() if rows else Variant(mass_cal="absent"))
    if rows:
        mass_cal = run.acq_dir / MASS_CAL_FILE
        data = bytearray(mass_cal.read_bytes())
        struct.pack_into("<d", data, ROWS_OFFSET + 4 + 8 * 4, float("nan"))
        mass_cal.write_bytes(data)
        return run
    default = run.acq_dir / DEFAULT_CAL_FILE
    text = default.read_text(encoding="utf-8-sig")
    if kind == "default-high-orders":
        text = re.sub(r"<ValueUseFlags>[1-9]\d*</ValueUseFlags>", "<ValueUseFlags>4227858432</ValueUseFlags>", text)
    else:
        value = "NaN" if kind == "default-nan" else "1e300"
        # a, the first value of every Traditional step
        text = re.sub(r'(Traditional</CalibrationFormula>.*?<Value Number="1">)[^<]*', rf"\g<1>{value}",
                      text, flags=re.DOTALL)
    default.write_text(text, encoding="utf-8")
    return run


def icp_non_finite_channels(path: Path, scan: int = 0) -> Run:
    """An ICP run without a channel map whose scan ``scan`` stores NaN for every channel's x."""
    run = acq_run(path, "icp", 3, 3, seed=2)
    rec = _records(run)[scan]
    block = rec[SPECTRUM_PARAMS][0]
    profile = run.acq_dir / PROFILE_FILE
    data = bytearray(profile.read_bytes())
    at, n = int(block["SpectrumOffset"]), int(block["PointCount"])
    data[at:at + 4 * n] = np.full(n, np.nan, dtype="<f4").tobytes()
    profile.write_bytes(data)
    return run


def stored_intensities(path: Path, family: str) -> Run:
    """A run of ``family`` whose scan 0 stores -1 as its first intensity and scan 2 -1 as its
    first and NaN as its last: "icp" (3 scans of 2 channels, f64 counts after the f32 x values)
    or "quad" (3 scans of 50 raw float32 points after the 16-byte axis)."""
    icp = family == "icp"
    run = acq_run(path, family, 3, 2 if icp else 50, seed=2)
    profile = run.acq_dir / PROFILE_FILE
    data = bytearray(profile.read_bytes())
    records = _records(run)
    for scan, values in ((0, {0: -1.0}), (2, {0: -1.0, -1: float("nan")})):
        block = records[SPECTRUM_PARAMS][scan, 0]
        at, n = int(block["SpectrumOffset"]), int(block["PointCount"])
        for k, v in values.items():
            k %= n
            if icp:
                struct.pack_into("<d", data, at + 4 * n + 8 * k, v)
            else:
                struct.pack_into("<f", data, at + 16 + 4 * k, v)
    profile.write_bytes(data)
    return run


# Each hostile directory by name: a builder of it at a path.
HOSTILE_DIRECTORIES: dict[str, Callable[[Path], Run | None]] = {
    "schema-fan-out": lambda p: _with_schema(p, fan_out_schema()),
    "schema-long-names": lambda p: _with_schema(p, long_name_schema()),
    "lzf-count-2^62+1": lzf_count_claim,
    "run-length-zero-bomb": run_length_zero_bomb,
    "calibration-row-nan": lambda p: non_finite_calibration(p, "row-nan"),
    "calibration-default-nan": lambda p: non_finite_calibration(p, "default-nan"),
    "calibration-high-orders": lambda p: non_finite_calibration(p, "default-high-orders"),
    "calibration-huge-a": lambda p: non_finite_calibration(p, "default-huge-a"),
    "icp-non-finite-channels": icp_non_finite_channels,
    "icp-negative-counts": lambda p: stored_intensities(p, "icp"),
    "raw-profile-negative-and-nan": lambda p: stored_intensities(p, "quad"),
}


def _with_schema(path: Path, text: str) -> Run:
    run = acq_run(path, "tof-rle", 4, 200, seed=2)
    (run.acq_dir / SCHEMA_FILE).write_text(text)
    return run


# --- Text that is not UTF-8, and a cut index ----------------------------------------------
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
