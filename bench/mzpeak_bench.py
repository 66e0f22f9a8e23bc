"""The columnar API and the mzPeak writer: figures beside their anchors.

    python bench/mzpeak_bench.py [--scans N] [--reps R]

Rows (best / median of R; wall-clock unless a row says CPU):
  to_arrow() against the library's own whole-run read (bench/acq_read_floor, Acquisition::read
  in C++, CPU time of one thread; to_arrow(threads=1) is timed by CPU too), against that read
  plus writing as many bytes of fresh memory as the table holds, against that read plus
  streaming the index and float32 intensities (12 bytes a point) into memory in place, against
  iterating the spectra into numpy, and against the independent Python reader's per-scan and
  per-point costs (bench/acq_benchmarks.py);
  the mzPeak writer against pyarrow's Parquet writer alone writing the same columns (same
  options) from decoded arrays, and against our mzML writer per point;
  the resident memory a whole conversion adds (highest / median, a child each), against a run
  of a quarter of the scans;
  the size of the mzPeak file against our zlib mzML, on the generated TOF run and on each real
  directory found in $KESTRANE_REALDATA or ../shared/realdata.
Needs the package installed with pyarrow, and build-bench/bench/acq_read_floor
(bench/run_benchmarks.py builds it; so does `ninja -C build-bench acq_read_floor`).
"""

from __future__ import annotations

import argparse
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import acq_benchmarks as ab  # noqa: E402
from run_benchmarks import Table  # noqa: E402


def _size(path: Path) -> int:
    return path.stat().st_size if path.is_file() else sum(p.stat().st_size for p in path.rglob("*"))


# A child interpreter: the resident memory a whole mzPeak conversion (open included) adds to the
# interpreter with pyarrow loaded, as the high-water mark over the resident size before it. The
# mark is the process's own (VmHWM); ru_maxrss would keep the parent's from before the exec.
PEAK_CHILD = r"""
import sys
import kestrane_acq, pyarrow, pyarrow.parquet

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

before = status("VmRSS:")
with kestrane_acq.open(sys.argv[1]) as acq:
    acq.to_mzpeak(sys.argv[2], overwrite=True)
print(status("VmHWM:") - before)
"""


def _peak_growth(run: Path, out: Path, reps: int) -> tuple[float, float]:
    """Highest and median MiB a conversion of `run` adds, one child a repetition."""
    grown = sorted(int(ab._sh(sys.executable, "-c", PEAK_CHILD, run, out)) / 2**20 for _ in range(reps))
    return grown[-1], grown[len(grown) // 2]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scans", type=int, default=200, help="scans of the 400,000-point run")
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()

    import kestrane_acq
    import numpy
    import pyarrow as pa
    import pyarrow.parquet as pq
    from kestrane_acq import mzpeak

    t = Table()
    reps = args.reps
    big = ab.acq_dir("tof-rle", args.scans, 400_000)
    work = Path(tempfile.mkdtemp(prefix="mzpeak-bench-"))
    try:
        # 1. to_arrow() against the library's own read of every scan, and the Python loop.
        out = ab._sh(ab.BUILD / "bench" / "acq_read_floor", big, reps, "profile", "stream")
        m = re.search(r"read best ([\d.]+) median ([\d.]+) points (\d+)", out)
        w = re.search(r"stream best ([\d.]+) median ([\d.]+)", out)
        assert m and w, out
        floor, points = (float(m.group(1)), float(m.group(2))), int(m.group(3))
        stream = (float(w.group(1)), float(w.group(2)))
        with kestrane_acq.open(big) as acq:
            one = ab._repeat(lambda: acq.to_arrow(threads=1), reps)
            t.add(f"to_arrow(threads=1), {args.scans} x 400,000, CPU", one,
                  "Acquisition::read(i) in C++", floor, "s", "<= 1.2x")
            loop = ab._repeat(lambda: ab.read_all(acq), reps)
            t.add("to_arrow(threads=1), CPU", one, "iterating the spectra into numpy", loop, "s", "")
            anchor = (ab.ANCHOR_PER_SCAN * args.scans
                      + (ab.ANCHOR_DECODE_PER_POINT + ab.ANCHOR_CALIBRATE_PER_POINT) * points)
            t.add("to_arrow(threads=1), CPU", one, "independent Python reader (20 us/scan + 24 ns/point)",
                  (anchor, anchor), "s", "")
            # The table's memory is fresh: each page is zeroed by the kernel, then written.
            # Anchor: the C++ read plus writing that much fresh memory once (numpy fill).
            def fresh() -> None:
                numpy.empty(points * 20 // 8).fill(1.0)

            fill = ab._repeat(fresh, reps)
            t.add("to_arrow(threads=1), CPU", one,
                  "the C++ read + writing the table's bytes of fresh memory",
                  (floor[0] + fill[0], floor[1] + fill[1]), "s", "")
            # The least the table's other 12 bytes a point add: streamed into memory in place.
            t.add("to_arrow(threads=1), CPU", one,
                  "the C++ read + streaming 12 bytes a point into memory in place",
                  (floor[0] + stream[0], floor[1] + stream[1]), "s", "")
            two = ab._repeat(lambda: acq.to_arrow(threads=2), reps, time.perf_counter)
            t.add("to_arrow(threads=2), wall-clock", two, "to_arrow(threads=1), CPU", one, "s", "")

            # 2. Writing: ours against pyarrow's writer alone from the decoded columns.
            table = acq.to_arrow()
            point, _ = mzpeak._point_layout(pa, "spectrum", table.schema.field("intensity").type == pa.float32())
            struct = pa.table({"point": pa.StructArray.from_arrays(
                [table[c].combine_chunks() for c in table.column_names], fields=list(point))})
            rows = mzpeak.ROW_GROUP_BYTES // 20
            options = mzpeak._writer_options(True, "spectrum_index", "mz")
            del table

            def pyarrow_alone() -> None:
                pq.write_table(struct, work / "alone.parquet", row_group_size=rows, **options)

            def ours() -> None:
                acq.to_mzpeak(work / "run.mzpeak", overwrite=True)

            def mzml() -> None:
                acq.to_mzml(work / "run.mzML", overwrite=True)

            w_ours, w_alone, w_mzml = ab._in_turns([ours, pyarrow_alone, mzml], reps)
            del struct
            t.add(f"to_mzpeak(), {args.scans} x 400,000", w_ours,
                  "pyarrow.parquet alone, same columns, decoded", w_alone, "s", "<= 1.3x")
            t.add("to_mzpeak(), per point", (w_ours[0] / points, w_ours[1] / points),
                  "to_mzml() (zlib), per point", (w_mzml[0] / points, w_mzml[1] / points), "ns",
                  "<= 1.0x")
        # Constant memory: a run four times longer adds no more.
        small = ab.acq_dir("tof-rle", max(1, args.scans // 4), 400_000)
        t.add(f"peak memory added by to_mzpeak(), {args.scans} x 400,000 (highest / median)",
              _peak_growth(big, work / "peak.mzpeak", reps),
              f"the same for {max(1, args.scans // 4)} scans",
              _peak_growth(small, work / "peak.mzpeak", reps), "MiB", "<= 1.2x")
        size = _size(work / "run.mzpeak")
        mz_size = _size(work / "run.mzML")
        t.add(f"mzPeak size, generated TOF {args.scans} x 400,000", (size, size),
              "zlib mzML", (mz_size, mz_size), "MB", "<= 0.6x")

        # 3. Sizes on the real directories.
        for d in sorted(ab.REALDATA.glob("*")) if ab.REALDATA.is_dir() else []:
            if not (d / "AcqData").is_dir():
                continue
            with kestrane_acq.open(d) as acq:
                acq.to_mzpeak(work / "real.mzpeak", overwrite=True)
                acq.to_mzml(work / "real.mzML", overwrite=True)
            a, b = _size(work / "real.mzpeak"), _size(work / "real.mzML")
            t.add(f"mzPeak size, {d.name}", (a, a), "zlib mzML", (b, b),
                  "MB", "<= 0.6x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print()
    print(t.markdown())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
