"""A run's points and scan table as Arrow tables (pyarrow, the optional extra kestrane[parquet]).

The points come from C++ in batches of at most about four million: each batch is decoded on
C++ threads into three contiguous columns that pyarrow takes over without a copy (the Arrow C
data interface). A table has one intensity type: float32 when every intensity of the run
converts to float32 and back unchanged, else float64.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy
from numpy.typing import NDArray

from ._core import Acquisition, PointBatch, point_batch

# Points per batch: about 80 MB of columns (8 + 8 + 4 bytes a point).
BATCH_POINTS = 1 << 22


def require_pyarrow() -> Any:
    """pyarrow, or ImportError naming the extra that installs it."""
    try:
        return importlib.import_module("pyarrow")
    except ImportError as exc:
        raise ImportError("this needs pyarrow, which the extra kestrane[parquet] installs "
                          "(pip install 'kestrane[parquet]')") from exc


def expected_points(acq: Acquisition, prefer: str) -> NDArray[numpy.uint64]:
    """The points the index gives for each scan's block read first by `prefer`, else the other."""
    t = acq.scan_table()
    first, other = ((t["profile_points"], t["centroid_points"]) if prefer == "profile"
                    else (t["centroid_points"], t["profile_points"]))
    return numpy.where(first > 0, first, other)


def batches_of(points: NDArray[numpy.uint64], indices: Sequence[int] | NDArray[Any],
               batch_points: int | None = None) -> list[NDArray[numpy.int64]]:
    """`indices` cut into consecutive runs of at most `batch_points` expected points each (a
    longer spectrum makes a batch of its own)."""
    batch_points = batch_points or BATCH_POINTS
    idx = numpy.asarray(indices, dtype=numpy.int64)
    if idx.size == 0:
        return []
    ends = numpy.cumsum(points[idx], dtype=numpy.uint64)
    out, start, base = [], 0, 0
    while start < idx.size:
        stop = int(numpy.searchsorted(ends, base + batch_points, side="right"))
        stop = max(stop, start + 1)
        out.append(idx[start:stop])
        base = int(ends[stop - 1])
        start = stop
    return out


def point_batches(acq: Acquisition, prefer: str = "profile", *, threads: int | None = None,
                  float32: bool = True, indices: Sequence[int] | NDArray[Any] | None = None,
                  strict: bool = False, centroid: bool = False, figures: bool = False,
                  batch_points: int | None = None,
                  allocate: Callable[[int], Any] | None = None) -> Iterator[PointBatch]:
    """The PointBatch of each run of scans, in order. With float32, a batch whose intensities
    float32 does not hold is float64, and so are all batches after it. centroid: profile spectra
    as their centroids (spectrum(i, centroid=True)). allocate: the columns' memory, as
    point_batch takes it."""
    points = expected_points(acq, prefer)
    for idx in batches_of(points, range(len(acq)) if indices is None else indices, batch_points):
        batch = point_batch(acq, idx.tolist(), prefer, threads, float32, strict, centroid, figures,
                            allocate)
        float32 = float32 and batch.float32
        yield batch


def schema(intensity_float32: bool) -> Any:
    pa = require_pyarrow()
    return pa.schema([("spectrum_index", pa.uint64()), ("mz", pa.float64()),
                      ("intensity", pa.float32() if intensity_float32 else pa.float64())])


def record_batch(batch: PointBatch) -> Any:
    """The batch's columns as a pyarrow.RecordBatch, sharing its memory."""
    pa = require_pyarrow()
    buffers = batch.buffers
    if buffers is None:
        return pa.record_batch(batch)
    n, s = len(batch), schema(batch.float32)
    return pa.RecordBatch.from_arrays(
        [pa.Array.from_buffers(f.type, n, [None, b.slice(0, n * f.type.byte_width)])
         for f, b in zip(s, buffers)], schema=s)


def to_arrow(acq: Acquisition, prefer: str = "profile", centroid: bool = False, *,
             threads: int | None = None) -> Any:
    """Every point of the run: spectrum_index (uint64), mz (float64), intensity (float32 when
    exact for the whole run, else float64), one chunk per batch. centroid: profile spectra as
    their centroids, as spectrum(i, centroid=True) gives them. The columns are pyarrow's memory
    (its default pool), freed and reused as any table's."""
    pa = require_pyarrow()
    batches = [record_batch(b) for b in point_batches(acq, prefer, threads=threads,
                                                      centroid=centroid,
                                                      allocate=pa.allocate_buffer)]
    exact = all(b.schema.field("intensity").type == pa.float32() for b in batches)
    if not exact:
        # float32 batches before the first inexact one widen without loss.
        batches = [b if b.schema.field("intensity").type == pa.float64()
                   else b.set_column(2, "intensity", b.column(2).cast(pa.float64()))
                   for b in batches]
    return pa.Table.from_batches(batches, schema=schema(exact))


def arrow_batches(acq: Acquisition, prefer: str = "profile", centroid: bool = False, *,
                  threads: int | None = None) -> Any:
    """The points of to_arrow() as a pyarrow.RecordBatchReader that decodes each batch as it is
    read, for runs larger than memory. Its schema is fixed before the first batch, so intensity
    is float64 (every value exact); the acquisition must stay open while the reader is read."""
    pa = require_pyarrow()
    expected_points(acq, prefer)  # a closed acquisition or a wrong `prefer` fails here, not later

    def batches() -> Iterator[Any]:
        for b in point_batches(acq, prefer, threads=threads, float32=False, centroid=centroid,
                               allocate=pa.allocate_buffer):
            yield record_batch(b)

    return pa.RecordBatchReader.from_batches(schema(False), batches())


def scan_table(acq: Acquisition) -> Any:
    """acq.scan_table() as a pyarrow.Table; the numeric columns share the numpy arrays' memory."""
    pa = require_pyarrow()
    columns = acq.scan_table()
    return pa.table({name: pa.array(values, type=pa.string() if values.dtype == object else None)
                     for name, values in columns.items()})
