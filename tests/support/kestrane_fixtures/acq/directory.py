"""Whole self-describing directories, and what a correct reader gives for each scan.

``write_run`` lays out scans produced one at a time by a generator (``Scan``: record fields and
one ``Block`` per slot with the ``Content`` a reader must decode from it), writes MSScan.bin
(header, format table, records packed from the schema's dtype), the data files, MSScan.xsd, the
calibration and companion files, as the ``Variant`` asks, and returns a ``Run`` whose
``expected[i]`` is the ``ScanExpected`` of scan i (regenerated on access for large runs).

What a reader gives, as this writer assumes it (written down for the C++ and Python tests):

* Each block has a status: "ok", "empty" (0 points), "file_absent" (its data file is missing),
  "past_end" (its bytes lie at or past the end of the file), "uncalibrated" (flight times with
  no usable calibration: no m/z is given).
* Flight times become m/z through ``calibration.calibrate`` with the calibration chosen per
  scan: the record's MSMassCal.bin row when its MassCalOffset is valid ("per-scan"); row i when
  no offset is valid and the file holds one row per record ("per-scan-by-index"); the
  DefaultMassCal.xml entry of the record's CalibrationID ("default"); else "uncalibrated". A
  row needs the polynomial flags of DefaultMassCal.xml. Stored m/z axes report "axis".
* A spectrum is the preferred block's when that is "ok", else the other block's when that is;
  otherwise it is empty with status "incomplete" when every non-empty block lies past the end,
  else the first failing block's status, else "empty".
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np

from .calibration import MassCal, calibrate, default_mass_cal_xml, mass_cal_bin, row_offset
from .index import (
    KIND_PEAK, KIND_PROFILE, MASS_CAL_FILE, PEAK_FILE, PROFILE_FILE, SCAN_FILE, XSPECIFIC_FILE,
    FormatEntry, file_header, scan_file_header,
)
from .metadata import Channel, TimeSegment, msts_xml, xaddition_xml, xspecific_bin, xspecific_xml
from .schema import LAYOUTS, SPECTRUM_PARAMS, record_dtype, schema_text

__all__ = [
    "ACQ_DIR", "SCHEMA_FILE", "MSTS_FILE", "DEFAULT_CAL_FILE", "XSPECIFIC_XML_FILE",
    "XADDITION_FILE", "Family", "Block", "Content", "Scan", "Variant", "BlockExpected",
    "ScanExpected", "Run", "write_run",
]

ACQ_DIR = "AcqData"
SCHEMA_FILE = "MSScan.xsd"
MSTS_FILE = "MSTS.xml"
DEFAULT_CAL_FILE = "DefaultMassCal.xml"
XSPECIFIC_XML_FILE = "MSTS_XSpecific.xml"
XADDITION_FILE = "MSTS_XAddition.xml"  # beside AcqData/, not inside it
_KIND_FILE = {KIND_PROFILE: PROFILE_FILE, KIND_PEAK: PEAK_FILE}
_EMPTY = np.empty(0, dtype=np.float64)


@dataclass(frozen=True)
class Family:
    """A layout family: record layout, blocks per record, format table, header@72."""

    name: str
    layout: str
    n_blocks: int
    entries: tuple[FormatEntry, ...]
    unknown: int
    type_prefix: str = ""

    def file_of(self, format_id: int) -> str:
        return _KIND_FILE[next(e.kind for e in self.entries if e.format_id == format_id)]


@dataclass
class Content:
    """What a reader must decode from a block, before calibration."""

    representation: str  # "profile", "centroid" or "channels"
    x: np.ndarray  # flight times when ``flight_time``, else m/z (f64)
    intensity: np.ndarray  # f64
    flight_time: bool = False
    precursor_mz: np.ndarray | None = None  # ICP channels: the first quadrupole's m/z


@dataclass
class Block:
    """One block and the SpectrumParamValues fields that describe it; empty data: 0 points."""

    format_id: int
    data: bytes
    point_count: int
    content: Content | None = None
    fields: dict[str, float] = field(default_factory=dict)  # MinX, MaxX, UncompressedByteCount, ...


@dataclass
class Scan:
    """One record: its fields by schema name (nested as "Outer.Inner") and one block per slot."""

    fields: dict[str, object]
    blocks: list[Block]
    xspecific: tuple[np.ndarray, np.ndarray] | None = None  # ICP: XValue and IonDetectorMode per channel


@dataclass(frozen=True)
class Variant:
    """How the directory departs from a complete, consistent one.

    ``mass_cal``: "per-scan" (rows and valid offsets), "by-index" (rows, offsets 0), "trimmed"
    (rows, offsets past the file's end, 4 extra bytes), "absent". ``msts``: "match",
    "mismatch" (NumOfScans sum one more than the records), "absent". ``omit``: data files not
    written (records still point into them). ``interrupted``: the last k records' blocks are
    never written (they lie at or past the end). ``data_headers``: data files begin with the
    68-byte header (else offsets count from 0). ``xaddition``: "SingleQuad", "MS_MS" or None.
    """

    schema: bool = True
    mass_cal: str = "per-scan"
    default_cal: bool = True
    msts: str = "match"
    bom: bool = True
    omit: frozenset[str] = frozenset()
    interrupted: int = 0
    data_headers: bool = True
    xaddition: str | None = None


@dataclass
class BlockExpected:
    status: str
    representation: str | None = None
    mz: np.ndarray = field(default_factory=lambda: _EMPTY)
    intensity: np.ndarray = field(default_factory=lambda: _EMPTY)
    calibration: str | None = None
    precursor_mz: np.ndarray | None = None


@dataclass
class ScanExpected:
    index: int
    scan_id: int
    rt_min: float
    ms_level: int
    scan_type: int
    polarity: str | None
    precursor_mz: float | None
    profile: BlockExpected | None
    centroid: BlockExpected | None

    def spectrum(self, prefer: str = "profile") -> tuple[str, BlockExpected]:
        """(status, block) of the emitted spectrum; an empty BlockExpected when none is "ok"."""
        order = [self.profile, self.centroid] if prefer == "profile" else [self.centroid, self.profile]
        blocks = [b for b in order if b is not None]
        for b in blocks:
            if b.status == "ok":
                return "ok", b
        filled = [b for b in blocks if b.status != "empty"]
        if filled and all(b.status == "past_end" for b in filled):
            return "incomplete", BlockExpected("incomplete")
        status = filled[0].status if filled else "empty"
        return status, BlockExpected(status)


@dataclass
class _Context:
    family: Family
    variant: Variant
    dtype: np.dtype
    n_records: int
    rows: Sequence[MassCal]
    defaults: dict[int, MassCal]
    channels: Sequence[Channel]


def _pack(rec, scan: Scan) -> None:
    """The scan's record fields into ``rec`` (a record of the layout's dtype)."""
    names = rec.dtype.names
    for name, value in scan.fields.items():
        if name in names:
            rec[name] = value


def _calibration(ctx: _Context, index: int, cal_id: int | None) -> tuple[MassCal | None, str]:
    v = ctx.variant
    default = ctx.defaults.get(cal_id) if v.default_cal and cal_id is not None else None
    if ctx.rows and v.mass_cal != "absent" and default is not None:
        # A row holds no flags: its orders are the default's (the generator writes them so).
        return ctx.rows[index], "per-scan" if v.mass_cal == "per-scan" else "per-scan-by-index"
    if default is not None:
        return default, "default"
    return None, "uncalibrated"


def _block_expected(ctx: _Context, index: int, stored, block: Block, past_end: bool) -> BlockExpected:
    file = ctx.family.file_of(block.format_id)
    if file in ctx.variant.omit:
        return BlockExpected("file_absent")
    if block.point_count == 0:
        return BlockExpected("empty")
    if past_end:
        return BlockExpected("past_end")
    c = block.content
    if c.flight_time:
        cal_id = int(stored["CalibrationID"]) if "CalibrationID" in stored.dtype.names else None
        cal, source = _calibration(ctx, index, cal_id)
        if cal is None:
            return BlockExpected("uncalibrated", c.representation, calibration=source)
        return BlockExpected("ok", c.representation, calibrate(c.x, cal), c.intensity, source)
    if c.representation == "channels" and ctx.variant.xaddition:
        by_index = {ch.index: ch for ch in ctx.channels}
        product = np.array([by_index[int(x)].product_mz for x in c.x], dtype=np.float64)
        precursor = np.array([by_index[int(x)].precursor_mz for x in c.x], dtype=np.float64)
        return BlockExpected("ok", c.representation, product, c.intensity, "axis", precursor)
    return BlockExpected("ok", c.representation, c.x, c.intensity, "axis")


def _scan_expected(ctx: _Context, index: int, scan: Scan, stored=None) -> ScanExpected:
    """Expected values from the record as stored (``stored``: the packed record, or None to pack
    the scan's fields again)."""
    if stored is None:
        stored = np.zeros((), dtype=ctx.dtype)
        _pack(stored, scan)
    names = stored.dtype.names
    past_end = index >= ctx.n_records - ctx.variant.interrupted
    by_kind: dict[int, BlockExpected] = {}
    for block in scan.blocks:
        kind = next(e.kind for e in ctx.family.entries if e.format_id == block.format_id)
        by_kind[kind] = _block_expected(ctx, index, stored, block, past_end)
    level = int(stored["MSLevel"])
    polarity = int(stored["IonPolarity"]) if "IonPolarity" in names else None
    precursor = float(stored["MzOfInterest"]) if "MzOfInterest" in names else 0.0
    return ScanExpected(
        index=index, scan_id=int(stored["ScanID"]), rt_min=float(stored["ScanTime"]), ms_level=level,
        scan_type=int(stored["ScanType"]),
        polarity={0: "positive", 1: "negative"}.get(polarity) if polarity is not None else None,
        precursor_mz=precursor if level >= 2 and precursor else None,
        profile=by_kind.get(KIND_PROFILE), centroid=by_kind.get(KIND_PEAK),
    )


class _Regenerated(Sequence):
    """Expected values regenerated per scan instead of kept in memory."""

    def __init__(self, ctx: _Context, make_scan: Callable[[int], Scan]) -> None:
        self._ctx, self._make = ctx, make_scan

    def __len__(self) -> int:
        return self._ctx.n_records

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(len(self)))]
        if i < 0:
            i += len(self)
        if not 0 <= i < len(self):
            raise IndexError(i)
        return _scan_expected(self._ctx, i, self._make(i))


@dataclass
class Run:
    path: Path
    family: Family
    variant: Variant
    stride: int
    data_offset: int
    expected: Sequence[ScanExpected]
    calibrations: Sequence[MassCal]
    default_calibrations: dict[int, MassCal]
    stored_bytes: dict[str, int]  # size of each data file written

    @property
    def acq_dir(self) -> Path:
        return self.path / ACQ_DIR


class _Sink:
    """A data file being written, or one left out (offsets advance, nothing is kept)."""

    def __init__(self, path: Path | None, header: bytes) -> None:
        self._f = open(path, "wb") if path is not None else None
        self.pos = 0
        self.write(header)

    def write(self, data: bytes) -> None:
        if self._f is not None:
            self._f.write(data)
        self.pos += len(data)

    def close(self) -> None:
        if self._f is not None:
            self._f.close()


def write_run(
    path: str | os.PathLike,
    family: Family,
    n_scans: int,
    make_scan: Callable[[int], Scan],
    *,
    variant: Variant = Variant(),
    calibrations: Sequence[MassCal] = (),
    default_calibrations: dict[int, MassCal] | None = None,
    channels: Sequence[Channel] = (),
    segments: Sequence[TimeSegment] | None = None,
    keep_expected: bool | None = None,
) -> Run:
    """Writes ``path/AcqData/...`` for scans ``make_scan(0 .. n_scans-1)`` (each must be the
    same on every call) and returns the layout with the expected values.

    ``calibrations``: one MSMassCal.bin row per scan (TOF families); ``default_calibrations``:
    DefaultMassCal.xml by CalibrationID; ``channels``: ICP channels; ``segments``: MSTS.xml
    (default one segment over the run). ``keep_expected`` (default: runs of up to 200 scans)
    keeps the expected values instead of regenerating them on access.
    """
    root = Path(path)
    acq = root / ACQ_DIR
    acq.mkdir(parents=True, exist_ok=True)
    layout = LAYOUTS[family.layout]
    dtype = record_dtype(layout, family.n_blocks)
    header = scan_file_header(family.entries, layout_version=int(layout.version[0]),
                              n_blocks=family.n_blocks, unknown=family.unknown)
    defaults = dict(default_calibrations or {})
    ctx = _Context(family, variant, dtype, n_scans, list(calibrations), defaults, list(channels))
    records = np.zeros(n_scans, dtype=dtype)
    names = dtype.names
    block_names = set(dtype[SPECTRUM_PARAMS].base.names)
    sinks: dict[str, _Sink] = {}  # a data file exists once a block goes into it

    def sink_of(name: str) -> _Sink:
        if name not in sinks:
            sinks[name] = _Sink(None if name in variant.omit else acq / name,
                                file_header(name) if variant.data_headers else b"")
        return sinks[name]

    xspec_x: list[np.ndarray] = []
    xspec_mode: list[np.ndarray] = []
    xspec_pos = 72
    keep = n_scans <= 200 if keep_expected is None else keep_expected
    kept: list[ScanExpected] = []
    first_rt = last_rt = 0.0
    try:
        for i in range(n_scans):
            scan = make_scan(i)
            past_end = i >= n_scans - variant.interrupted
            rec = records[i]
            _pack(rec, scan)
            for slot, block in enumerate(scan.blocks):
                params = rec[SPECTRUM_PARAMS][slot]
                params["SpectrumFormatID"] = block.format_id
                params["PointCount"] = block.point_count
                if block.data:  # an empty block stays at offset 0 with 0 bytes
                    sink = sink_of(family.file_of(block.format_id))
                    params["SpectrumOffset"] = sink.pos
                    params["ByteCount"] = len(block.data)
                    if past_end:
                        sink.pos += len(block.data)  # never written: the run stopped here
                    else:
                        sink.write(block.data)
                for name, value in block.fields.items():
                    if name in block_names:
                        params[name] = value
            if "MassCalOffset" in names and calibrations:
                rec["MassCalOffset"] = {"per-scan": row_offset(i), "by-index": 0,
                                        "trimmed": row_offset(i + n_scans)}.get(variant.mass_cal, row_offset(i))
            if scan.xspecific is not None:
                x, mode = scan.xspecific
                rec["XSpecificParamType.Offset"] = xspec_pos
                rec["XSpecificParamType.ByteCount"] = 12 * len(x)
                xspec_pos += 12 * len(x)
                xspec_x.append(np.asarray(x, dtype=np.float64))
                xspec_mode.append(np.asarray(mode, dtype=np.int32))
            if i == 0:
                first_rt = float(rec["ScanTime"])
            last_rt = float(rec["ScanTime"])
            if keep:
                kept.append(_scan_expected(ctx, i, scan, rec))
    finally:
        for sink in sinks.values():
            sink.close()
    (acq / SCAN_FILE).write_bytes(header + records.tobytes())
    if variant.schema:
        (acq / SCHEMA_FILE).write_text(schema_text(layout, type_prefix=family.type_prefix))
    if variant.msts != "absent":
        if segments is None:
            segments = [TimeSegment(1, first_rt, last_rt, n_scans)]
        if variant.msts == "mismatch":
            segments = list(segments[:-1]) + [replace(segments[-1], scans=segments[-1].scans + 1)]
        (acq / MSTS_FILE).write_bytes(msts_xml(segments, bom=variant.bom))
    if calibrations and variant.mass_cal != "absent":
        trailer = b"\0\0\0\0" if variant.mass_cal == "trimmed" else b""
        (acq / MASS_CAL_FILE).write_bytes(mass_cal_bin(calibrations, trailer=trailer))
    if defaults and variant.default_cal:
        (acq / DEFAULT_CAL_FILE).write_bytes(default_mass_cal_xml(defaults, bom=variant.bom))
    if channels:
        (acq / XSPECIFIC_XML_FILE).write_bytes(xspecific_xml(channels, bom=variant.bom))
        if variant.xaddition:
            (root / XADDITION_FILE).write_bytes(xaddition_xml(channels, variant.xaddition, bom=variant.bom))
    if xspec_x:
        (acq / XSPECIFIC_FILE).write_bytes(xspecific_bin(np.concatenate(xspec_x), np.concatenate(xspec_mode)))
    return Run(
        path=root, family=family, variant=variant, stride=dtype.itemsize, data_offset=len(header),
        expected=kept if keep else _Regenerated(ctx, make_scan), calibrations=list(calibrations),
        default_calibrations=defaults,
        stored_bytes={name: (acq / name).stat().st_size for name in sinks if name not in variant.omit},
    )
