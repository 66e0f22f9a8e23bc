"""mzPeak output: a run as Parquet tables in an uncompressed ZIP (RUN.mzpeak) or a directory.

Members, named and laid out as the format's own writer lays them out:
  spectra_data.parquet        every point: point.spectrum_index, point.mz, point.intensity
  spectra_peaks.parquet       the stored centroids of the scans whose data are profiles
  spectra_metadata.parquet    one row per spectrum (struct `spectrum`), scan (`scan`),
                              precursor (`precursor`) and selected ion (`selected_ion`), each
                              struct column packed from the first row, null past its count
  chromatograms_metadata.parquet, chromatograms_data.parquet
                              the TIC and, in a run of ICP channels, one chromatogram a channel
  mzpeak_index.json           each member's entity type and data kind, the CV list
Columns named for a CV term are `<accession with _>_<name>[_unit_<unit accession>]`; each
array column carries its term in its field metadata and the footer lists the arrays (the
`*_array_index` key). The point tables have a page index and row groups of about 64 MB.

Streaming in constant memory: points are decoded batch by batch on C++ threads (the next batch
while pyarrow encodes this one) and written as they come; members are written into a temporary
directory beside the output, then stored into the ZIP (or the directory renamed into place).

Types wider than the format's writer uses, so that every value reads back bit for bit: times,
base peak intensity and TIC are float64; MS level and preset scan configuration are uint8 and
uint32 when they hold every record's value, else the scan table's signed types. Intensities are
float32 when every one of the member converts to float32 exactly, else float64 (a member begun
as float32 is written again as float64 when a later batch has an inexact value).
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import io
import itertools
import json
import os
import secrets
import shutil
import stat
import threading
import time
import zipfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy

from . import arrow
from ._core import Acquisition, PointBatch, _check_native_ids

if TYPE_CHECKING:
    from ._core import _Prefer

MS = "MS:1000040"       # m/z
COUNTS = "MS:1000131"   # number of detector counts
MINUTE = "UO:0000031"
FLOAT32, FLOAT64 = "MS:1000521", "MS:1000523"
ROW_GROUP_BYTES = 64 << 20

CV_LIST = [
    {"id": "MS", "full_name": "PSI-MS", "uri": "https://purl.obolibrary.org/obo/ms.obo"},
    {"id": "UO", "full_name": "Unit Ontology", "uri": "https://purl.obolibrary.org/obo/uo.obo"},
]
SPECTRUM_TYPE = {"ms1": "MS:1000579", "msn": "MS:1000580", "sim": "MS:1001472"}
REPRESENTATION = {"profile": "MS:1000128", "centroid": "MS:1000127"}
TIC_CHROMATOGRAM, SIM_CHROMATOGRAM = "MS:1000235", "MS:1001472"


@dataclass(frozen=True)
class MzPeakSummary:
    """What to_mzpeak() wrote."""
    path: str
    spectra: int
    points: int
    peaks: int  # profile spectra whose stored centroids are written beside, in spectra_peaks
    chromatograms: int
    intensity: str  # "float32" or "float64"
    bytes: int
    seconds: float
    warnings: tuple[str, ...] = ()  # the acquisition's, as opened
    skipped: int = 0  # incomplete records, left out (as the mzML writer leaves them out)
    failed: int = 0  # spectra that could not be read: written empty, the failure a parameter

    def __str__(self) -> str:
        rate = self.bytes / 1e6 / self.seconds if self.seconds > 0 else 0.0
        return (f"{self.path}: {self.spectra} spectra, {self.points} points ({self.intensity}), "
                f"{self.peaks} with stored centroids beside, {self.chromatograms} chromatograms, "
                f"{self.skipped} skipped, {self.failed} failed, {len(self.warnings)} warnings, "
                f"{self.seconds:.2f} s, {rate:.1f} MB/s")


# ---- Schemas ---------------------------------------------------------------------------------

def _param_type(pa: Any) -> Any:
    value = pa.struct([("integer", pa.int64()), ("float", pa.float64()),
                       ("string", pa.large_string()), ("boolean", pa.bool_())])
    return pa.struct([("value", value), ("accession", pa.string()), ("name", pa.large_string()),
                      ("unit", pa.string())])


def _aux_type(pa: Any) -> Any:
    param = _param_type(pa)
    return pa.struct([("data", pa.large_list(pa.field("item", pa.uint8(), nullable=False))),
                      ("name", param), ("data_type", pa.string()), ("compression", pa.string()),
                      ("unit", pa.string()), ("parameters", pa.large_list(param)),
                      ("data_processing_ref", pa.large_string())])


def _array_entry(context: str, path: str, array_type: str, name: str, unit: str, data_type: str,
                 sorting_rank: int | None) -> dict[str, Any]:
    return {"context": context, "prefix": "point", "path": f"point.{path}",
            "data_type": data_type, "array_type": array_type, "array_name": name,
            "unit": unit, "buffer_format": "point", "transform": None,
            "data_processing_id": None, "buffer_priority": "primary",
            "sorting_rank": sorting_rank}


def _field(pa: Any, name: str, type_: Any, entry: dict[str, Any]) -> Any:
    meta = {"array_accession": entry["array_type"], "array_name": entry["array_name"],
            "buffer_format": "point", "buffer_priority": "primary", "context": entry["context"],
            "data_type_accession": entry["data_type"], "unit": entry["unit"]}
    if entry["sorting_rank"] is not None:
        meta["sorting_rank"] = str(entry["sorting_rank"])
    return pa.field(name, type_, metadata=meta)


def _point_layout(pa: Any, context: str, float32: bool) -> tuple[Any, dict[str, Any]]:
    """The struct `point` of a data member and its array index."""
    itype, idt = (pa.float32(), FLOAT32) if float32 else (pa.float64(), FLOAT64)
    if context == "spectrum":
        x = _array_entry(context, "mz", "MS:1000514", "m/z array", MS, FLOAT64, 0)
        key, xname = "spectrum_index", "mz"
    else:
        x = _array_entry(context, "time", "MS:1000595", "time array", MINUTE, FLOAT64, 0)
        key, xname = "chromatogram_index", "time"
    y = _array_entry(context, "intensity", "MS:1000515", "intensity array", COUNTS, idt, None)
    point = pa.struct([pa.field(key, pa.uint64()), _field(pa, xname, pa.float64(), x),
                       _field(pa, "intensity", itype, y)])
    return point, {"prefix": "point", "entries": [x, y]}


def _writer_options(float32: bool, key: str, x: str, x_dictionary: bool = False) -> dict[str, Any]:
    # Byte-stream split puts the like bytes of the floats together, which the codecs then
    # compress far better than whole values; the index runs are dictionary-coded, and so are
    # the x values when they repeat (x_dictionary: spectra sharing one axis). The x values
    # (calibrated m/z: their low mantissa bytes hardly compress) take brotli at level 4, about
    # a tenth smaller than zstd at its default level, at three times its cost; the intensities
    # gain little from it and keep zstd. Exact in any case: no transform of the values.
    x_codec = "brotli" if _codec_available("brotli") else "zstd"
    encoding = {"point.intensity": "BYTE_STREAM_SPLIT"}
    if not x_dictionary:
        encoding[f"point.{x}"] = "BYTE_STREAM_SPLIT"
    return {
        "compression": {f"point.{key}": "zstd", f"point.{x}": x_codec,
                        "point.intensity": "zstd"},
        "compression_level": {f"point.{x}": 4} if x_codec == "brotli" else None,
        "write_page_index": True,
        "use_dictionary": [f"point.{key}"] + ([f"point.{x}"] if x_dictionary else []),
        "column_encoding": encoding,
        "write_statistics": True,
    }


def _codec_available(name: str) -> bool:
    return bool(arrow.require_pyarrow().Codec.is_available(name))


# The x values looked at to tell whether a dictionary codes them smaller, and the share of
# distinct ones past which it cannot.
REPEAT_SAMPLE, REPEAT_SHARE = 1 << 18, 0.5


def _repeating(x: Any) -> bool:
    """True when the first REPEAT_SAMPLE values of `x` repeat (at most REPEAT_SHARE distinct)
    and come out smaller dictionary-coded than byte-stream split, both written as the point
    member writes them."""
    pa = arrow.require_pyarrow()
    pq = importlib.import_module("pyarrow.parquet")
    sample = x.slice(0, REPEAT_SAMPLE)
    values = sample.to_numpy()
    if values.size == 0 or numpy.unique(values).size > REPEAT_SHARE * values.size:
        return False
    sizes = []
    for dictionary in (False, True):
        options = _writer_options(True, "spectrum_index", "mz", dictionary)
        out = io.BytesIO()
        pq.write_table(pa.table({"point": pa.StructArray.from_arrays(
            [pa.nulls(len(sample), pa.uint64()), sample, pa.nulls(len(sample), pa.float32())],
            names=["spectrum_index", "mz", "intensity"])}), out, **options)
        sizes.append(out.tell())
    return sizes[1] < sizes[0]


# ---- Point members ---------------------------------------------------------------------------

class _Inexact(Exception):
    """A float32 member met an intensity float32 does not hold."""


def _prefetched(batches: Iterator[PointBatch]) -> Iterator[PointBatch]:
    """`batches`, the next one decoded on a thread of its own while the caller writes this one
    (decoding runs outside the GIL on C++ threads, Parquet encoding too)."""
    result: dict[str, Any] = {}

    def fetch() -> None:
        try:
            result["batch"] = next(batches)
        except StopIteration:
            result["batch"] = None
        except BaseException as exc:  # noqa: BLE001 - handed to the consumer
            result["error"] = exc

    worker = threading.Thread(target=fetch)
    worker.start()
    while True:
        worker.join()
        if "error" in result:
            raise result.pop("error")
        batch = result.pop("batch")
        if batch is None:
            return
        worker = threading.Thread(target=fetch)
        worker.start()
        yield batch


class _Members:
    """Where the members go: files of a directory, or members of a ZIP stored as they are
    written (no copy). ZIP64 throughout, so that a member may pass 4 GiB."""

    def __init__(self, folder: Path, archive: Path | None) -> None:
        self.folder, self.archive = folder, archive
        self.names: list[str] = []
        self.zip = self._new_zip()

    def _new_zip(self) -> zipfile.ZipFile | None:
        if self.archive is None:
            return None
        return zipfile.ZipFile(self.archive, "w", compression=zipfile.ZIP_STORED, allowZip64=True)

    def open(self, name: str) -> Any:
        self.names.append(name)
        if self.zip is None:
            return (self.folder / name).open("wb")
        return self.zip.open(name, "w", force_zip64=True)

    def add(self, path: Path) -> None:
        """A member written beside, moved in."""
        if self.zip is None:
            os.replace(path, self.folder / path.name)
        else:
            self.zip.write(path, arcname=path.name)
            path.unlink()
        self.names.append(path.name)

    def restart(self) -> None:
        """Forgets every member written (the ZIP begins again)."""
        if self.zip is not None:
            self.zip.close()
            self.zip = self._new_zip()
        self.names.clear()

    def close(self) -> None:
        if self.zip is not None:
            self.zip.close()


def _rows_per_group(float32: bool) -> int:
    return max(1 << 16, ROW_GROUP_BYTES // (16 + (4 if float32 else 8)))


class _Progress:
    """progress(done, total) of the records read, never going back (a member written again
    counts its records once); tick() calls it unchanged, so that a check in it runs."""

    def __init__(self, progress: Callable[[int, int], object] | None, total: int) -> None:
        self.progress, self.total, self.done = progress, total, 0

    def __call__(self, done: int) -> None:
        self.done = max(self.done, min(done, self.total))
        self.tick()

    def tick(self) -> None:
        if self.progress is not None:
            self.progress(self.done, self.total)


def _write_points(pa: Any, pq: Any, out: Any, context: str, float32: bool,
                  batches: Iterator[PointBatch], extra: dict[str, str],
                  figures: list[dict[str, numpy.ndarray]], relabel: numpy.ndarray | None,
                  step: _Progress) -> tuple[int, int]:
    """Writes a point member into the file `out`, a row group per batch; (points, spectra with
    points). relabel: the index written for each record index, when they differ. step: told the
    records read so far. Raises _Inexact when float32 and a batch is not."""
    point, index = _point_layout(pa, context, float32)
    key = "spectrum_index" if context == "spectrum" else "chromatogram_index"
    schema = pa.schema([pa.field("point", point)])
    total = spectra = records = 0
    batches = _prefetched(batches)
    first = next(batches, None)
    dictionary = first is not None and _repeating(pa.record_batch(first).column(1))
    with pq.ParquetWriter(out, schema, **_writer_options(float32, key, "mz", dictionary)) as w:
        for batch in itertools.chain([] if first is None else [first], batches):
            if float32 and not batch.float32:
                raise _Inexact
            if len(batch):  # a batch of spectra without points makes no row group
                rb = pa.record_batch(batch)
                columns = rb.columns
                if relabel is not None:
                    columns = [pa.array(relabel[columns[0].to_numpy()]), *columns[1:]]
                struct = pa.StructArray.from_arrays(columns, fields=list(point))
                w.write_batch(pa.record_batch([struct], schema=schema), row_group_size=len(batch))
            points = batch.points
            total += len(batch)
            spectra += int(numpy.count_nonzero(points))
            figures.append({"points": points, "representation": batch.representation,
                            "failure": numpy.array(batch.failures, dtype=object),
                            **batch.figures})
            records += len(points)
            step(records)
        w.add_key_value_metadata({f"{context}_data_point_count": str(total),
                                  f"{context}_count": str(spectra),
                                  f"{context}_array_index": json.dumps(index, indent=2), **extra})
    return total, spectra


def _points_member(pa: Any, pq: Any, members: _Members, name: str, context: str,
                   make: Any, extra: dict[str, str], relabel: numpy.ndarray | None,
                   step: _Progress) -> tuple[int, int, bool, list[dict[str, Any]]]:
    """A point member, float32 first, written again as float64 when needed; make(float32) gives
    the batches. The first member goes straight into place (a restart begins the ZIP again); a
    later one is written beside and moved in."""
    first = not members.names
    for float32 in (True, False):
        figures: list[dict[str, Any]] = []
        try:
            if first:
                with members.open(name) as out:
                    counts = _write_points(pa, pq, out, context, float32, make(float32), extra,
                                           figures, relabel, step)
            else:
                counts = _write_points(pa, pq, members.folder / name, context, float32,
                                       make(float32), extra, figures, relabel, step)
                members.add(members.folder / name)
            return (*counts, float32, figures)
        except _Inexact:
            if first:
                members.restart()
    raise AssertionError("unreachable: a float64 member is never inexact")


def _joined(figures: list[dict[str, numpy.ndarray]], key: str, dtype: Any) -> numpy.ndarray:
    parts = [f[key] for f in figures]
    return numpy.concatenate(parts) if parts else numpy.zeros(0, dtype)


# ---- Metadata --------------------------------------------------------------------------------

def _file_metadata(acq: Acquisition, prefer: str, centroid: bool) -> dict[str, str]:
    info = acq.info
    source = Path(info["acq_data"]) / "MSScan.bin"
    run_id = Path(os.path.abspath(info["path"])).name or "run"
    software = [{"id": "kestrane", "version": _version(),
                 "parameters": [{"name": "custom unreleased software tool",
                                 "accession": "MS:1000799", "value": "kestrane", "unit": None}]}]
    options = f"prefer={prefer}" + (" centroid=True" if centroid else "")
    methods = [{"order": 0, "software_reference": "kestrane",
                "parameters": [{"name": "Conversion to mzML", "accession": "MS:1000544",
                                "value": None, "unit": None},
                               {"name": "conversion options", "accession": None,
                                "value": options, "unit": None}]}]
    if centroid:  # then peak picking, as the mzML writer lists it
        methods.append({"order": 1, "software_reference": "kestrane",
                        "parameters": [{"name": "peak picking", "accession": "MS:1000035",
                                        "value": None, "unit": None}]})
    processing = [{"id": "kestrane_conversion", "methods": methods}]
    description = {"contents": [], "source_files": [{
        "id": "source", "location": source.parent.resolve().as_uri(), "name": source.name,
        "parameters": [{"name": None, "accession": "MS:1001509", "value": None, "unit": None},
                       {"name": None, "accession": "MS:1001508", "value": None, "unit": None}]}]}
    run = {"id": run_id, "default_data_processing_id": "kestrane_conversion",
           "default_instrument_id": None, "default_source_file_id": "source", "start_time": None}
    return {"run": json.dumps(run, indent=2), "file_description": json.dumps(description, indent=2),
            "software_list": json.dumps(software, indent=2), "sample_list": "[]",
            "data_processing_method_list": json.dumps(processing, indent=2),
            "instrument_configuration_list": "[]"}


def _version() -> str:
    try:
        from importlib.metadata import version
        return version("kestrane")
    except Exception:  # noqa: BLE001 - not installed as a distribution
        return "0"


def _packed(pa: Any, type_: Any, columns: dict[str, Any], count: int, rows: int) -> Any:
    """A struct column of `count` values padded with nulls to `rows`."""
    arrays = []
    for field in type_:
        values = columns.get(field.name)
        if values is None:
            arr = pa.nulls(count, field.type)
        elif isinstance(values, pa.Array):
            arr = values
        else:
            arr = pa.array(values, type=field.type)
        if rows > count:
            arr = pa.concat_arrays([arr, pa.nulls(rows - count, field.type)])
        arrays.append(arr)
    mask = None
    if rows > count:
        mask = pa.array(numpy.arange(rows) >= count)
    return pa.StructArray.from_arrays(arrays, fields=list(type_), mask=mask)


def _unsigned_if_held(values: numpy.ndarray, dtype: Any) -> numpy.ndarray:
    """`values` in the unsigned type the format's writer uses when it holds every one, else as
    stored (a record's MS level of 300 or a negative method ID is kept, never wrapped)."""
    held = values.size == 0 or (values.min() >= 0 and values.max() <= numpy.iinfo(dtype).max)
    return values.astype(dtype) if held else values


def _empty_lists(pa: Any, type_: Any, n: int) -> Any:
    return pa.array([[]] * n, type=type_)


def _precursor_columns(pa: Any, source: numpy.ndarray, precursor_mz: numpy.ndarray,
                       energy: numpy.ndarray, rows: int,
                       parent: numpy.ndarray | None = None,
                       parent_id: list[str | None] | None = None,
                       width: numpy.ndarray | None = None,
                       charge: numpy.ndarray | None = None) -> tuple[Any, Any]:
    """The packed `precursor` and `selected_ion` columns: for each source (a spectrum or
    chromatogram index), isolation at and selection of its precursor m/z, and activation by
    collision-induced dissociation with its collision energy when known (NaN: unknown).
    `parent`: the index of the precursor spectrum (-1: none), which also links each selected
    ion to its precursor. `width`: the isolation width (NaN or <= 0: unknown), written as the
    window's m/z bounds, as the format's files hold them; `charge`: 0 where unknown."""
    params = pa.large_list(_param_type(pa))
    m = len(source)
    cid = {"value": {"integer": None, "float": None, "string": None, "boolean": None},
           "accession": "MS:1000133", "name": "collision-induced dissociation", "unit": None}
    activations = [[cid] if numpy.isnan(e) else
                   [cid, {"value": {"integer": None, "float": float(e), "string": None,
                                    "boolean": None},
                          "accession": "MS:1000045", "name": "collision energy",
                          "unit": "UO:0000266"}] for e in energy]
    window_type = pa.struct([("target", pa.float64()), ("lower_bound", pa.float64()),
                             ("upper_bound", pa.float64()), ("parameters", params)])
    precursor_type = pa.struct([
        ("source_index", pa.uint64()), ("precursor_index", pa.uint64()),
        ("precursor_id", pa.large_string()), ("isolation_window", window_type),
        ("activation", pa.struct([("parameters", params)])),
    ])
    ion_type = pa.struct([
        ("source_index", pa.uint64()), ("precursor_index", pa.uint64()),
        ("MS_1000744_selected_ion_mz_unit_MS_1000040", pa.float64()),
        ("MS_1000041_charge_state", pa.int32()),
        ("MS_1000042_intensity_unit_MS_1000131", pa.float32()),
        ("ion_mobility", pa.float64()), ("ion_mobility_type", pa.string()),
        ("parameters", params),
    ])
    index = numpy.asarray(source, dtype=numpy.uint64)
    link = None
    if parent is not None:
        link = pa.array(numpy.maximum(parent, 0).astype(numpy.uint64), mask=parent < 0)
    target = numpy.asarray(precursor_mz, numpy.float64)
    window: dict[str, Any] = {"target": target, "parameters": _empty_lists(pa, params, m)}
    if width is not None:
        half = numpy.asarray(width, numpy.float64) / 2.0
        unknown = ~(half > 0.0)  # NaN too
        window["lower_bound"] = pa.array(target - half, mask=unknown)
        window["upper_bound"] = pa.array(target + half, mask=unknown)
    windows = _packed(pa, window_type, window, m, m)
    precursor = _packed(pa, precursor_type, {
        "source_index": index, "precursor_index": link, "precursor_id": parent_id,
        "isolation_window": windows,
        "activation": pa.StructArray.from_arrays([pa.array(activations, type=params)],
                                                 fields=[pa.field("parameters", params)]),
    }, m, rows)
    ion = _packed(pa, ion_type, {
        "source_index": index, "precursor_index": link,
        "MS_1000744_selected_ion_mz_unit_MS_1000040": numpy.asarray(precursor_mz, numpy.float64),
        "MS_1000041_charge_state": None if charge is None else pa.array(
            numpy.asarray(charge, numpy.int32), mask=numpy.asarray(charge) <= 0),
        "parameters": _empty_lists(pa, params, m),
    }, m, rows)
    return precursor, ion


def _failure_params(pa: Any, params: Any, failure: numpy.ndarray) -> Any:
    """Each spectrum's parameters: the failure of one that could not be read, under the name
    the mzML writer gives it."""
    if not any(failure):
        return _empty_lists(pa, params, len(failure))
    return pa.array([[{"value": {"string": f}, "accession": None, "name": "conversion failure",
                       "unit": None}] if f else [] for f in failure.tolist()], type=params)


def _spectrum_metadata(pa: Any, t: dict[str, numpy.ndarray], prefer: str,
                       figures: list[dict[str, numpy.ndarray]]) -> Any:
    """The metadata member of the records written: `t` their rows of the scan table."""
    param = _param_type(pa)
    params = pa.large_list(param)
    n = len(t["scan_id"])
    points = _joined(figures, "points", numpy.uint64)
    rep = _joined(figures, "representation", numpy.int32)
    fig = {k: _joined(figures, k, numpy.float64)
           for k in ("time_min", "tic", "base_peak_mz", "base_peak_intensity", "lowest_mz",
                     "highest_mz")}
    empty = points == 0
    # A spectrum without points takes the representation of the block read first that the
    # record has, as the mzML converter gives it.
    has_profile, has_centroid = t["profile_points"] > 0, t["centroid_points"] > 0
    fallback_profile = (has_profile | ~has_centroid) if prefer == "profile" else ~(has_centroid | ~has_profile)
    words = numpy.where(rep == 0, REPRESENTATION["profile"],
                        numpy.where(rep >= 1, REPRESENTATION["centroid"],
                                    numpy.where(fallback_profile, REPRESENTATION["profile"],
                                                REPRESENTATION["centroid"])))
    ms_level = t["ms_level"]
    level = _unsigned_if_held(ms_level, numpy.uint8)
    method = _unsigned_if_held(t["scan_method_id"], numpy.uint32)
    ids = [f"scanId={s}" for s in t["scan_id"].tolist()]
    kind = numpy.where(t["scan_type"] == 2, SPECTRUM_TYPE["sim"],
                       numpy.where(ms_level >= 2, SPECTRUM_TYPE["msn"], SPECTRUM_TYPE["ms1"]))
    polarity = numpy.array([1 if p == "positive" else -1 if p == "negative" else 0
                            for p in t["polarity"]], dtype=numpy.int8)
    pol_mask = polarity == 0

    def masked(values: numpy.ndarray) -> Any:
        return pa.array(values, mask=empty)

    spectrum_type = pa.struct([
        ("index", pa.uint64()), ("id", pa.large_string()),
        ("MS_1000511_ms_level", pa.from_numpy_dtype(level.dtype)),
        ("time", pa.float64()), ("MS_1000465_scan_polarity", pa.int8()),
        ("MS_1000525_spectrum_representation", pa.string()),
        ("MS_1000559_spectrum_type", pa.string()),
        ("MS_1000528_lowest_observed_mz_unit_MS_1000040", pa.float64()),
        ("MS_1000527_highest_observed_mz_unit_MS_1000040", pa.float64()),
        ("MS_1003060_number_of_data_points", pa.uint64()),
        ("MS_1000504_base_peak_mz_unit_MS_1000040", pa.float64()),
        ("MS_1000505_base_peak_intensity_unit_MS_1000131", pa.float64()),
        ("MS_1000285_total_ion_current_unit_MS_1000131", pa.float64()),
        ("data_processing_ref", pa.uint32()), ("parameters", params),
        ("auxiliary_arrays", pa.large_list(_aux_type(pa))),
        ("number_of_auxiliary_arrays", pa.uint32()),
    ])
    scan_type = pa.struct([
        ("source_index", pa.uint64()),
        ("MS_1000016_scan_start_time_unit_UO_0000031", pa.float64()),
        ("MS_1000616_preset_scan_configuration", pa.from_numpy_dtype(method.dtype)),
        ("ion_mobility_value", pa.float64()), ("ion_mobility_type", pa.string()),
        ("instrument_configuration_ref", pa.uint32()), ("parameters", params),
        ("scan_windows", pa.large_list(pa.struct([
            ("lower_limit", pa.float32()), ("upper_limit", pa.float32()), ("unit", pa.string()),
            ("parameters", params)]))),
    ])
    with_precursor = numpy.flatnonzero((ms_level >= 2) & ~numpy.isnan(t["precursor_mz"]))
    m = len(with_precursor)
    rows = max(n, m)
    spectrum = _packed(pa, spectrum_type, {
        "index": numpy.arange(n, dtype=numpy.uint64),
        "id": ids,
        "MS_1000511_ms_level": level,
        "time": fig["time_min"],
        "MS_1000465_scan_polarity": pa.array(polarity, mask=pol_mask),
        "MS_1000525_spectrum_representation": words,
        "MS_1000559_spectrum_type": kind,
        "MS_1000528_lowest_observed_mz_unit_MS_1000040": masked(fig["lowest_mz"]),
        "MS_1000527_highest_observed_mz_unit_MS_1000040": masked(fig["highest_mz"]),
        "MS_1003060_number_of_data_points": points,
        "MS_1000504_base_peak_mz_unit_MS_1000040": masked(fig["base_peak_mz"]),
        "MS_1000505_base_peak_intensity_unit_MS_1000131": masked(fig["base_peak_intensity"]),
        "MS_1000285_total_ion_current_unit_MS_1000131": fig["tic"],
        "parameters": _failure_params(pa, params, _joined(figures, "failure", object)),
        "auxiliary_arrays": _empty_lists(pa, pa.large_list(_aux_type(pa)), n),
        "number_of_auxiliary_arrays": numpy.zeros(n, numpy.uint32),
    }, n, rows)
    scan = _packed(pa, scan_type, {
        "source_index": numpy.arange(n, dtype=numpy.uint64),
        "MS_1000016_scan_start_time_unit_UO_0000031": fig["time_min"],
        "MS_1000616_preset_scan_configuration": method,
        "instrument_configuration_ref": numpy.zeros(n, numpy.uint32),
        "parameters": _empty_lists(pa, params, n),
        "scan_windows": _empty_lists(pa, scan_type.field("scan_windows").type, n),
    }, n, rows)
    # The precursor spectrum of an MSn scan: the last MS1 scan before it, when there is one.
    last_ms1 = numpy.maximum.accumulate(numpy.where(ms_level == 1, numpy.arange(n), -1)) if n else ms_level
    parent = last_ms1[with_precursor]
    precursor, ion = _precursor_columns(pa, with_precursor, t["precursor_mz"][with_precursor],
                                        t["collision_energy"][with_precursor], rows, parent,
                                        [ids[p] if p >= 0 else None for p in parent.tolist()],
                                        t["isolation_width"][with_precursor],
                                        t["charge_state"][with_precursor])
    return pa.table({"spectrum": spectrum, "scan": scan, "precursor": precursor,
                     "selected_ion": ion})


def _chromatograms(pa: Any, acq: Acquisition, prefer: _Prefer, threads: int | None,
                   figures: list[dict[str, numpy.ndarray]], kept: numpy.ndarray,
                   step: _Progress) -> list[tuple[str, str, numpy.ndarray, numpy.ndarray, float | None]]:
    """(id, type, times in minutes, intensities, precursor m/z) of each chromatogram: the TIC,
    and a chromatogram per channel of a run of ICP channels. kept: the record of each spectrum
    written, in the order of `figures`."""
    times = _joined(figures, "time_min", numpy.float64)
    tic = _joined(figures, "tic", numpy.float64)
    out: list[tuple[str, str, numpy.ndarray, numpy.ndarray, float | None]] = [
        ("TIC", TIC_CHROMATOGRAM, times, tic, None)]
    rep = _joined(figures, "representation", numpy.int32)
    channel_scans = numpy.flatnonzero(rep == 2)
    if channel_scans.size == 0:
        return out
    channels: dict[tuple[float, float], tuple[list[float], list[float]]] = {}
    for start in range(0, channel_scans.size, 256):
        step.tick()
        chunk = channel_scans[start:start + 256]
        for i, s in zip(chunk.tolist(), acq.spectra(kept[chunk].tolist(), prefer=prefer,
                                                    threads=threads)):
            first = s.precursor_channel_mz
            for p, (mz, y) in enumerate(zip(s.mz.tolist(), s.intensity.tolist())):
                q1 = float(first[p]) if first is not None and len(first) == len(s) else mz
                ts, ys = channels.setdefault((q1, mz), ([], []))
                ts.append(float(times[i]))
                ys.append(y)
    for (q1, q3), (ts, ys) in channels.items():
        name = f"SIM Q1={q1!r} Q3={q3!r}" if q1 != q3 else f"SIM mz={q3!r}"
        out.append((name, SIM_CHROMATOGRAM, numpy.array(ts), numpy.array(ys),
                    q1 if q1 != q3 else None))
    return out


def _chromatogram_members(pa: Any, pq: Any, members: _Members, acq: Acquisition, prefer: _Prefer,
                          threads: int | None, figures: list[dict[str, numpy.ndarray]],
                          extra: dict[str, str], kept: numpy.ndarray, step: _Progress) -> int:
    chroms = _chromatograms(pa, acq, prefer, threads, figures, kept, step)
    counts = numpy.array([len(c[2]) for c in chroms], dtype=numpy.int64)
    key = numpy.repeat(numpy.arange(len(chroms), dtype=numpy.uint64), counts)
    times = numpy.concatenate([c[2] for c in chroms])
    values = numpy.concatenate([c[3] for c in chroms])
    float32 = bool(numpy.array_equal(values.astype(numpy.float32).astype(numpy.float64), values))
    point, index = _point_layout(pa, "chromatogram", float32)
    struct = pa.StructArray.from_arrays(
        [pa.array(key), pa.array(times),
         pa.array(values.astype(numpy.float32) if float32 else values)], fields=list(point))
    table = pa.table({"point": struct}, schema=pa.schema([pa.field("point", point)]))
    meta = {"chromatogram_data_point_count": str(len(times)),
            "chromatogram_count": str(len(chroms)),
            "chromatogram_array_index": json.dumps(index, indent=2), **extra}
    with members.open("chromatograms_data.parquet") as out:
        pq.write_table(table.replace_schema_metadata(meta), out,
                       **_writer_options(float32, "chromatogram_index", "time"))

    params = pa.large_list(_param_type(pa))
    k = len(chroms)
    chrom_type = pa.struct([
        ("index", pa.uint64()), ("id", pa.large_string()), ("MS_1000465_scan_polarity", pa.int8()),
        ("MS_1000626_chromatogram_type", pa.string()), ("data_processing_ref", pa.uint32()),
        ("parameters", params), ("auxiliary_arrays", pa.large_list(_aux_type(pa))),
        ("number_of_auxiliary_arrays", pa.uint32()),
    ])
    chromatogram = _packed(pa, chrom_type, {
        "index": numpy.arange(k, dtype=numpy.uint64), "id": [c[0] for c in chroms],
        "MS_1000626_chromatogram_type": [c[1] for c in chroms],
        "parameters": _empty_lists(pa, params, k),
        "auxiliary_arrays": _empty_lists(pa, pa.large_list(_aux_type(pa)), k),
        "number_of_auxiliary_arrays": numpy.zeros(k, numpy.uint32),
    }, k, k)
    with_q1 = [i for i, c in enumerate(chroms) if c[4] is not None]
    precursor, ion = _precursor_columns(pa, numpy.array(with_q1, dtype=numpy.uint64),
                                        numpy.array([chroms[i][4] for i in with_q1], numpy.float64),
                                        numpy.full(len(with_q1), numpy.nan), k)
    meta = {"chromatogram_data_point_count": str(len(times)), "chromatogram_count": str(k), **extra}
    with members.open("chromatograms_metadata.parquet") as out:
        pq.write_table(pa.table({"chromatogram": chromatogram, "precursor": precursor,
                                 "selected_ion": ion}).replace_schema_metadata(meta),
                       out, compression="zstd")
    return k


# ---- The whole file --------------------------------------------------------------------------

def _index_json(members: list[tuple[str, str, str]]) -> str:
    files = [{"name": n, "entity_type": e, "data_kind": d} for n, e, d in members]
    return json.dumps({"files": files, "metadata": {"format_version": "0.9",
                                                      "cv_list": CV_LIST}}, indent=2)


def is_mzpeak_path(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> bool:
    """True for RUN.mzpeak and RUN.mzpeak/ (any case)."""
    return os.fsdecode(path).rstrip("/").lower().endswith(".mzpeak")


def refuse_special_file(target: Path) -> None:
    """OSError when `target` is a device, pipe or socket, which a rename would replace by a
    regular file (/dev/null); a file, a directory, a symlink or nothing passes."""
    try:
        mode = target.lstat().st_mode
    except FileNotFoundError:
        return
    if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode) or stat.S_ISDIR(mode)):
        raise OSError(f"not replaced: {target} is not a regular file (a device, pipe or socket)")


def _check_replaceable(target: Path) -> None:
    """IsADirectoryError unless `target` is no directory (a symlink is none), an empty one, or an
    unpacked mzPeak run: mzpeak_index.json and Parquet members, nothing else. OSError for a
    device, pipe or socket (refuse_special_file)."""
    refuse_special_file(target)
    if not target.is_dir() or target.is_symlink():
        return
    names = [p.name for p in target.iterdir()]
    if not names or ("mzpeak_index.json" in names and all(
            n == "mzpeak_index.json" or (n.endswith(".parquet") and (target / n).is_file())
            for n in names)):
        return
    raise IsADirectoryError(errno.EISDIR, "not replaced: a directory that is neither empty nor "
                            "an unpacked mzPeak run", str(target))


def write_mzpeak(acq: Acquisition, path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
                 prefer: _Prefer = "profile", centroid: bool = False, *,
                 threads: int | None = None, overwrite: bool = False,
                 progress: Callable[[int, int], object] | None = None) -> MzPeakSummary:
    """Writes the run as mzPeak: an uncompressed ZIP at `path`, or the unpacked directory when
    `path` ends with "/" or names an existing directory. FileExistsError when `path` exists and
    not `overwrite`; overwrite replaces a file, an empty directory or an unpacked mzPeak run, and
    raises IsADirectoryError for any other directory. centroid: profile spectra written as their
    centroids (peak picking, as spectrum(i, centroid=True)), the data processing saying so.
    Incomplete records are left out and counted, as in mzML; a spectrum that cannot be read is
    written empty, its failure a "conversion failure" parameter. progress(done, total): called
    with the records read so far as the work goes on; what it raises stops the conversion, and
    nothing is left at `path`."""
    pa = arrow.require_pyarrow()
    pq = importlib.import_module("pyarrow.parquet")

    start = time.perf_counter()
    text = os.fsdecode(path)  # bytes as the file system's encoding gives them, as open() takes
    if not text:
        raise FileNotFoundError(errno.ENOENT, "cannot write an empty path", text)
    unpacked = text.endswith("/") or os.path.isdir(text)
    target = Path(text.rstrip("/") or "/")
    if target.exists() or target.is_symlink():
        if not overwrite:
            raise FileExistsError(f"{target} exists")
        # overwrite replaces a run written before, never a directory of other files.
        _check_replaceable(target)
    table = acq.scan_table()
    # Spectra are numbered in the order written: an incomplete record is left out and takes no
    # number. Their native IDs are mzML's, refused by the same rules before anything is written.
    kept = numpy.flatnonzero(~table["incomplete"])
    _check_native_ids(acq, kept.tolist())
    parent = target.parent
    # mkdir, not mkdtemp: the unpacked directory gets the permissions of the umask.
    work = parent / f".{target.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp"
    try:
        work.mkdir()
    except OSError as exc:  # named by the path asked for, not the working folder beside it
        raise type(exc)(exc.errno, exc.strerror, str(target)) from None
    members = _Members(work, None if unpacked else work / "packed.zip")
    try:
        extra = _file_metadata(acq, prefer, centroid)
        n = len(kept)
        t = {k: v[kept] for k, v in table.items()}
        relabel = None
        if n < len(acq):
            relabel = numpy.zeros(len(acq), numpy.uint64)
            relabel[kept] = numpy.arange(n, dtype=numpy.uint64)
        step = _Progress(progress, len(acq))
        step.tick()

        def data_batches(float32: bool) -> Iterator[PointBatch]:
            return arrow.point_batches(acq, prefer, threads=threads, float32=float32,
                                       indices=kept, centroid=centroid, figures=True,
                                       batch_points=_rows_per_group(float32))

        points, _, float32, figures = _points_member(pa, pq, members, "spectra_data.parquet",
                                                     "spectrum", data_batches, extra, relabel,
                                                     step)
        kinds = [("spectra_data.parquet", "spectrum", "data arrays")]
        failed = int(sum(numpy.count_nonzero(f["failure"] != "") for f in figures))
        # Stored centroids of the scans whose data are profiles, in a member of their own.
        rep = _joined(figures, "representation", numpy.int32)
        peaks_of = kept[numpy.flatnonzero((t["centroid_points"] > 0) & (rep == 0)
                                          & (prefer == "profile"))]
        peaks = 0
        if len(peaks_of):
            def peak_batches(f32: bool) -> Iterator[PointBatch]:
                return arrow.point_batches(acq, "centroid", threads=threads, float32=f32,
                                           indices=peaks_of, strict=True,
                                           batch_points=_rows_per_group(f32))
            _, peaks, _, _ = _points_member(pa, pq, members, "spectra_peaks.parquet", "spectrum",
                                            peak_batches, extra, relabel, step)
            kinds.append(("spectra_peaks.parquet", "spectrum", "peaks"))
            step.tick()
        table = _spectrum_metadata(pa, t, prefer, figures)
        with members.open("spectra_metadata.parquet") as out:
            pq.write_table(table.replace_schema_metadata(
                {"spectrum_count": str(n), "spectrum_data_point_count": str(points), **extra}),
                out, compression="zstd")
        kinds.append(("spectra_metadata.parquet", "spectrum", "metadata"))
        chromatograms = _chromatogram_members(pa, pq, members, acq, prefer, threads, figures,
                                              extra, kept, step)
        kinds += [("chromatograms_metadata.parquet", "chromatogram", "metadata"),
                  ("chromatograms_data.parquet", "chromatogram", "data arrays")]
        with members.open("mzpeak_index.json") as out:
            out.write(_index_json(kinds).encode())
        members.close()
        # What stands at `target` now (it may have come while writing) is replaced only with
        # overwrite, and only as the start allowed; else the rename or link refuses it. A run
        # replaced goes aside first, and comes back if the new one cannot take its place.
        previous = None
        if overwrite and (target.exists() or target.is_symlink()) and (
                unpacked or (target.is_dir() and not target.is_symlink())):
            _check_replaceable(target)
            previous = parent / f"{work.name}.old"
            os.rename(target, previous)
        try:
            if unpacked:
                os.rename(work, target)  # fails on a file or a directory that is not empty
            elif overwrite:
                os.replace(work / "packed.zip", target)
            else:
                os.link(work / "packed.zip", target)  # fails on an existing path
        except BaseException:
            if previous is not None:
                os.rename(previous, target)
            raise
        if previous is not None:
            if previous.is_dir() and not previous.is_symlink():
                shutil.rmtree(previous, ignore_errors=True)
            else:
                previous.unlink()
        size = (sum((target / name).stat().st_size for name in members.names) if unpacked
                else target.stat().st_size)
    finally:
        # After a failed write, closing the ZIP may fail as well (a full disk): the first error is
        # the one raised, and the working folder goes in any case.
        with contextlib.suppress(OSError):
            members.close()
        if work.exists():
            shutil.rmtree(work, ignore_errors=True)
    return MzPeakSummary(str(target), n, points, peaks, chromatograms,
                         "float32" if float32 else "float64", size,
                         time.perf_counter() - start, tuple(acq.warnings), len(acq) - n, failed)

