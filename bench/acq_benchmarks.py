"""kestrane_acq's figures beside their anchors, for run_benchmarks.py.

Generated runs (the fixture package's acq-sample) are cached in build-bench/runs/; the real
directories come from $KESTRANE_REALDATA or ../shared/realdata (their rows are left out when
absent). CPU time of the process unless a row says wall-clock.
"""

from __future__ import annotations

import gc
import operator
import os
import re
import subprocess
import sys
import textwrap
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build-bench"
REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")

# The independent Python reader of this format (compiled run-length decoder, record parsing in
# Python), measured on this kind of machine: per scan, per profile point to decode, per point of
# calibrated m/z; and its CPU time on three real directories. The lower ends are used.
ANCHOR_PER_SCAN = 20e-6
ANCHOR_DECODE_PER_POINT = 3e-9
ANCHOR_CALIBRATE_PER_POINT = 21e-9
ANCHOR_REAL = {"gc-full-and-sim.D": 111e-3, "icp-single-quad.D": 32e-3, "tof-rle-window.D": 25e-3}

ANCHORS_TEXT = (
    "Anchors: `Acquisition::read(i)` in C++ is the library's own time for the same reads (fresh "
    "arrays and the scan's metadata, one Acquisition::open before), bench/acq_read_floor.cpp. "
    "The independent Python reader of this format was measured on this kind of machine: 20-29 "
    "us per scan, about 3 ns per profile point to decode and 21-26 ns per point of calibrated "
    "m/z, and 111 ms, 32 ms and 25 ms of CPU on the GC, ICP and run-length directories; the "
    "lower ends are used. The real directories are read in a new process each (import not "
    "timed, open included; the child has one OpenBLAS thread, whose idle workers would otherwise "
    "spin on the CPU clock). The floor of open() + scan_table() reads MSScan.bin into memory and "
    "parses MSScan.xsd to field offsets in Python. The two-thread rows are wall-clock time, which "
    "other jobs on a shared machine disturb. The two-thread rows and open() + scan_table() are "
    "timed in turns with their anchors (one of each per round), so that both see the same drift "
    "of a shared machine's speed.\n"
)


def _sh(*cmd: Any, **kw: Any) -> str:
    return subprocess.run([str(c) for c in cmd], check=True, capture_output=True, text=True, **kw).stdout


def acq_dir(family: str, scans: int, points: int) -> Path:
    path = BUILD / "runs" / f"acq_{family}_{scans}x{points}.d"
    if not (path / "AcqData" / "MSScan.bin").exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        env = dict(os.environ, PYTHONPATH=str(ROOT / "tests" / "support"))
        _sh(sys.executable, "-m", "kestrane_fixtures", "acq-sample", path, "--family", family,
            "--scans", scans, "--points", points, "--seed", 1, env=env)
    return path


def _stats(values: list[float]) -> tuple[float, float]:
    values = sorted(values)
    return values[0], values[len(values) // 2]


def _repeat(fn: Callable[[], Any], reps: int, clock: Callable[[], float] = time.process_time) -> tuple[float, float]:
    times = []
    for _ in range(reps):
        gc.collect()
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return _stats(times)


def _in_turns(fns: list[Callable[[], Any]], reps: int,
              clock: Callable[[], float] = time.perf_counter) -> list[tuple[float, float]]:
    """Each of `fns` timed once per round, round after round: a figure and its anchor see the
    same disturbances of a shared machine, whose speed drifts over seconds."""
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(reps):
        for k, fn in enumerate(fns):
            gc.collect()
            t0 = clock()
            fn()
            times[k].append(clock() - t0)
    return [_stats(v) for v in times]


def read_all(acq: Any) -> int:
    """Every spectrum into numpy: the arrays of each, touched."""
    points = 0
    for s in acq:
        points += len(s.mz) + len(s.intensity) - len(s)
    return points


# A new process per repetition; the import is not timed. The loop runs in a function, as a
# program's would (at module level every name is a dictionary lookup). numpy's OpenBLAS starts
# worker threads at import that spin for a while afterwards and are charged to the process's CPU
# clock; nothing here uses BLAS, so the child runs with one BLAS thread.
FRESH_READ = textwrap.dedent("""
    import sys, time, kestrane_acq

    def main(path):
        t0 = time.process_time()
        acq = kestrane_acq.open(path)
        points = 0
        for s in acq:
            points += len(s.mz) + len(s.intensity) - len(s)
        return time.process_time() - t0, points

    print(*main(sys.argv[1]))
""")
FRESH_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}


def schema_floor(index: Path, xsd: Path) -> dict[str, int]:
    """Reading MSScan.bin into memory and parsing the schema to field offsets, in Python."""
    data = index.read_bytes()
    xs = "{http://www.w3.org/2001/XMLSchema}"
    sizes = {"byte": 1, "short": 2, "int": 4, "long": 8, "float": 4, "double": 8}
    types = {t.get("name"): [(e.get("name"), e.get("type").split(":")[-1]) for e in t.iter(f"{xs}element")]
             for t in ET.fromstring(xsd.read_bytes()).findall(f"{xs}complexType")}
    offsets, pos = {}, 0
    for name, kind in types["ScanRecordType"]:
        offsets[name] = pos
        pos += sizes.get(kind) or sum(sizes.get(k, 0) for _, k in types.get(kind, []))
    offsets["_bytes"] = len(data)
    return offsets


def run(t: Any, reps: int, quick: bool, extra: list[str]) -> None:
    import kestrane_acq

    big_scans = 200 if quick else 1000
    big = acq_dir("tof-rle", big_scans, 400_000)
    small = acq_dir("tof-rle", 20, 1000)

    # 1. s.mz / s.intensity: constant time whatever the length. The two are timed in turns, so
    # that both see the same disturbances of a shared machine.
    with kestrane_acq.open(small) as a, kestrane_acq.open(big) as b:
        short, long_ = a[0], b[0]
        for attr in ("mz", "intensity"):
            get_long, get_short = operator.attrgetter(attr), operator.attrgetter(attr)
            times: dict[str, list[float]] = {"long": [], "short": []}
            for _ in range(3 * reps):
                for key, fn, obj in (("long", get_long, long_), ("short", get_short, short)):
                    t0 = time.process_time()
                    for _ in range(200_000):
                        fn(obj)
                    times[key].append((time.process_time() - t0) / 200_000)
            t.add(f"Spectrum.{attr}, {len(long_)} points", _stats(times["long"]),
                  f"the same on {len(short)} points", _stats(times["short"]), "us", "<= 1.2x")

    # 2. Every spectrum into numpy against the library's own reads of the same scans.
    floor_reps = max(3, reps // 2)
    out = _sh(BUILD / "bench" / "acq_read_floor", big, floor_reps)
    m = re.search(r"best ([\d.]+) median ([\d.]+) points (\d+)", out)
    floor, points = (float(m.group(1)), float(m.group(2))), int(m.group(3))
    with kestrane_acq.open(big) as acq:
        ours = _repeat(lambda: read_all(acq), floor_reps)
    t.add(f"every spectrum into numpy, {big_scans} x 400,000", ours,
          "Acquisition::read(i) in C++", floor, "s", "<= 1.15x")
    # The same reads against the independent Python reader's per-scan and per-point costs.
    anchor = (ANCHOR_PER_SCAN * big_scans + (ANCHOR_DECODE_PER_POINT + ANCHOR_CALIBRATE_PER_POINT) * points) / points
    t.add("calibrated m/z into numpy, per point", (ours[0] / points, ours[1] / points),
          "independent Python reader (20 us/scan + 24 ns/point)", (anchor, anchor), "ns", "<= 0.2x (5x faster)")

    # 3. The parallel whole-run read: 2 threads against 1, wall-clock, in chunks of 8 scans (a
    # consumer that keeps a few spectra at a time; keeping the whole run adds the page faults of
    # 2.5 GB of fresh arrays, the kernel's work, whatever the reader). And tic(), which decodes
    # every scan into buffers each thread reuses.
    with kestrane_acq.open(big) as acq:
        chunks = [range(k, min(len(acq), k + 8)) for k in range(0, len(acq), 8)]

        def whole(threads: int) -> None:
            for c in chunks:
                acq.spectra(c, threads=threads)

        one, two = _in_turns([lambda: whole(1), lambda: whole(2)], floor_reps)
        tic_one, tic_two = _in_turns([lambda: acq.tic(threads=1), lambda: acq.tic(threads=2)],
                                     floor_reps)
    t.add(f"spectra(threads=2), {big_scans} x 400,000, wall-clock", two, "spectra(threads=1)", one,
          "s", "<= 0.59x (1.7x faster)")
    t.add(f"tic(threads=2), {big_scans} x 400,000, wall-clock", tic_two, "tic(threads=1)", tic_one,
          "s", "")

    # 4. The real directories, each read whole in a new process.
    for name, anchor_sec in ANCHOR_REAL.items():
        path = REALDATA / name
        if not (path / "AcqData").is_dir():
            extra.append(f"{name}: not found at {REALDATA}; row left out.")
            continue
        times = [float(_sh(sys.executable, "-c", FRESH_READ, path, env=FRESH_ENV).split()[0])
                 for _ in range(reps)]
        t.add(f"{name}: open and every spectrum into numpy (new process)", _stats(times),
              "independent Python reader", (anchor_sec, anchor_sec), "ms", "<= 0.05x (20x faster)")

    # 5. open() + scan_table() on 3,000 records against reading the index and its schema.
    index_run = acq_dir("tof-rle", 3000, 2000)
    acq_data = index_run / "AcqData"

    def open_table() -> None:
        with kestrane_acq.open(index_run) as acq:
            acq.scan_table()

    def fifty(fn: Callable[[], Any]) -> Callable[[], None]:
        def calls() -> None:
            for _ in range(50):
                fn()
        return calls

    ours, floor = _in_turns(
        [fifty(open_table),
         fifty(lambda: schema_floor(acq_data / "MSScan.bin", acq_data / "MSScan.xsd"))],
        3 * reps)
    t.add("open() + scan_table(), 3,000 records", (ours[0] / 50, ours[1] / 50),
          "read MSScan.bin + parse MSScan.xsd (Python)", (floor[0] / 50, floor[1] / 50),
          "ms", "<= 1.2x")
