"""Runs kestrane's benchmarks and prints each figure beside its anchor, measured in one run.

    python bench/run_benchmarks.py [--quick] [--write docs/performance.md]

Needs the installed kestrane module, the fixture writer's dependencies (numpy, liblzf) and the
C++ benchmarks, built here into build-bench/ (Release) unless --no-build is given. Generated
runs are cached in build-bench/runs/. Figures are best and median of several repetitions;
compare the ratios, since absolute times depend on the machine. Times are CPU time of the
process (user and system, page faults included), which a busy machine disturbs less than
wall-clock time.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build-bench"


def sh(*cmd: str | os.PathLike, **kw) -> str:
    return subprocess.run([str(c) for c in cmd], check=True, capture_output=True, text=True, **kw).stdout


def build() -> None:
    sh("cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
       "-DKESTRANE_BUILD_BENCH=ON", "-DKESTRANE_BUILD_TESTS=OFF", "-DKESTRANE_BUILD_TOOLS=OFF")
    sh("ninja", "-C", BUILD)


def run_dir(scans: int, points: int) -> Path:
    path = BUILD / "runs" / f"profile_{scans}x{points}.d"
    if not (path / "AcqData" / "MSScan.bin").exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        env = dict(os.environ, PYTHONPATH=str(ROOT / "tools"))
        sh(sys.executable, "-m", "kestrane_fixtures", "sample", path, "--scans", str(scans),
           "--points", str(points), "--seed", "1", "--ms2-every", "0", env=env)
    return path


def stats(values: list[float]) -> tuple[float, float]:
    return min(values), statistics.median(values)


def google_benchmark(binary: str, reps: int) -> dict[str, tuple[float, float, str]]:
    """name -> (best, median) of CPU time in ns, and the label."""
    out = sh(BUILD / "bench" / binary, f"--benchmark_repetitions={reps}", "--benchmark_format=json")
    runs: dict[str, list[float]] = {}
    labels: dict[str, str] = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = re.sub(r"/repeats:\d+$", "", b["run_name"])
        runs.setdefault(name, []).append(b["cpu_time"])
        labels[name] = b.get("label", "")
    return {k: (*stats(v), labels[k]) for k, v in runs.items()}


# Measured in a fresh interpreter: peak resident memory of one construction.
PEAK_RSS = textwrap.dedent("""
    import resource, sys, kestrane
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()
    before = rss()
    r = kestrane.RawReader(sys.argv[1])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    points = sum(len(r.read_spectrum(i)) for i in range(r.scan_count))
    print(before, peak, rss(), points)
""")


def time_open(path: Path, reps: int) -> tuple[float, float]:
    import kestrane

    times = []
    for _ in range(reps):
        gc.collect()
        t0 = time.process_time()
        r = kestrane.RawReader(str(path))
        times.append(time.process_time() - t0)
        del r
    return stats(times)


def floors(path: Path, reps: int) -> dict[str, tuple[float, float]]:
    out = sh(BUILD / "bench" / "open_floor", path, str(reps))
    result = {}
    for line in out.splitlines():
        m = re.match(r"(\w+) best ([\d.]+) median ([\d.]+)", line)
        if m:
            result[m.group(1)] = (float(m.group(2)), float(m.group(3)))
    return result


def time_call(fn, reps: int, number: int) -> tuple[float, float]:
    times = []
    for _ in range(reps):
        t0 = time.process_time()
        for _ in range(number):
            fn()
        times.append((time.process_time() - t0) / number)
    return stats(times)


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, str, str]] = []

    def add(self, what: str, ours: tuple[float, float], anchor_name: str, anchor: tuple[float, float],
            unit: str, target: str) -> None:
        scale = {"s": 1.0, "ms": 1e3, "us": 1e6, "ns": 1e9}[unit]
        fmt = lambda v: f"{v[0] * scale:.3f} / {v[1] * scale:.3f}"  # noqa: E731
        ratio = ours[0] / anchor[0]
        row = (what, f"{fmt(ours)} {unit}", f"{anchor_name}: {fmt(anchor)} {unit}", f"{ratio:.2f}x", target)
        self.rows.append(row)
        print(" | ".join(row), flush=True)

    def markdown(self) -> str:
        head = "| figure | kestrane (best / median) | anchor (best / median) | ratio (best) | target |\n"
        head += "|---|---|---|---|---|\n"
        return head + "".join(f"| {' | '.join(r)} |\n" for r in self.rows)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions and a smaller large run")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--write", type=Path, help="write the results as markdown to this file")
    ap.add_argument("--part", choices=("acq-python",),
                    help="only this part; --write then replaces its section of the file")
    args = ap.parse_args()
    reps = 3 if args.quick else 7
    big_scans = 1000 if args.quick else 3000

    if not args.no_build:
        build()
    if args.part == "acq-python":
        return acq_python_part(args, reps)
    import kestrane

    t = Table()
    extra: list[str] = []

    # 1. decompress against liblzf.
    lz = google_benchmark("lzf_bench", reps)
    for kind, arg in (("realistic", 0), ("sparse", 1), ("random", 2)):
        ours = lz[f"BM_Decompress/{arg}"]
        theirs = lz[f"BM_LiblzfDecompress/{arg}"]
        # Time ratio: below 1 means faster; throughput ratio is its inverse.
        ratio = float(ours[2].rsplit(" ", 1)[-1])
        t.add(f"decompress, {kind} streams (compression {ratio:.2f}:1)", (ours[0] / 1e9, ours[1] / 1e9),
              "lzf_decompress", (theirs[0] / 1e9, theirs[1] / 1e9), "ms",
              {"realistic": "<= 0.77x (1.3x throughput)", "sparse": "<= 0.5x (2x throughput)"}.get(kind, ""))

    # 2. Block decoders and the iteration step against plain loops.
    dec = google_benchmark("decode_bench", reps)
    for ours_name, anchor_name, label in (
        ("BM_DecodeProfileBlock", "BM_PlainProfileLoop", "decode_profile_block, 20,000 points"),
        ("BM_DecodePeakBlock/3", "BM_PlainPeakLoop/3", "decode_peak_block format 3, 20,000 points"),
        ("BM_DecodePeakBlock/2", "BM_PlainPeakLoop/2", "decode_peak_block format 2, 20,000 points"),
        ("BM_IterationStep", "BM_PlainIterationStep", "iteration step (read + decode), per scan"),
    ):
        o = dec[ours_name]
        a = dec[anchor_name]
        t.add(label, (o[0] / 1e9, o[1] / 1e9), "plain C++ loop", (a[0] / 1e9, a[1] / 1e9), "us", "")

    # 3. RawReader(path) against the floors, and linear growth.
    small, big = run_dir(big_scans // 10, 20000), run_dir(big_scans, 20000)
    open_small = time_open(small, reps)
    open_big = time_open(big, reps)
    fl = floors(big, reps)
    t.add(f"RawReader(path), {big_scans} x 20,000", open_big, "compute floor (b)", fl["compute_floor"], "s", "<= 1.3x")
    t.add(f"RawReader(path), {big_scans} x 20,000", open_big, "naive floor (a)", fl["naive_floor"], "s", "")
    t.add(f"RawReader(path), {big_scans} vs 10 x {big_scans // 10} scans", open_big,
          f"10 x the {big_scans // 10}-scan figure", (10 * open_small[0], 10 * open_small[1]), "s", "<= 1.15x")

    # 4. Getters against array.tolist() on the same values.
    r = kestrane.RawReader(str(big))
    s = r.read_spectrum(0)
    mz, inten = s.mz, s.intensity
    da, fa = array.array("d", mz), array.array("f", inten)
    n = 200 if not args.quick else 50
    t.add(f"Spectrum.mz, {len(mz)} values", time_call(lambda: s.mz, reps, n), "array('d').tolist()",
          time_call(da.tolist, reps, n), "ms", "<= 1.05x")
    t.add(f"Spectrum.intensity, {len(inten)} values", time_call(lambda: s.intensity, reps, n),
          "array('f').tolist()", time_call(fa.tolist, reps, n), "ms", "<= 1.05x")
    t.add("read_spectrum(i), per call", time_call(lambda: r.read_spectrum(0), reps, n),
          "two array copies (array('d', da), array('f', fa))",
          time_call(lambda: (array.array("d", da), array.array("f", fa)), reps, n), "us", "")
    del r, s

    # 5. Peak resident memory while constructing.
    before, peak, after, points = map(int, sh(sys.executable, "-c", PEAK_RSS, big).split())
    arrays = points * 12 + (big / "AcqData" / "MSScan.bin").stat().st_size
    growth = peak - before
    extra.append(f"Peak memory while constructing: {growth / 2**20:.1f} MiB above the interpreter's "
                 f"{before / 2**20:.1f} MiB, for {arrays / 2**20:.1f} MiB of decoded arrays and index "
                 f"({growth / arrays:.3f}x; target <= 1.1x).")
    print(extra[-1])

    acq_figures(t, extra, reps)

    if args.write:
        uname = platform.uname()
        cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
        text = [
            "# Performance\n",
            f"Measured {time.strftime('%Y-%m-%d')} on {cpu}, {os.cpu_count()} cores, "
            f"{uname.system} {uname.release}, Python {platform.python_version()}, with "
            f"`python bench/run_benchmarks.py{' --quick' if args.quick else ''} --write {args.write}`. "
            "Times are best / median of "
            f"{reps} repetitions; each row's anchor was measured in the same run. The machine is "
            "shared and noisy: read the ratios.\n",
            t.markdown(),
            *[f"\n{e}\n" for e in extra],
            "\nAnchors: `lzf_decompress` is liblzf's decoder on the same streams and expected "
            "lengths. The plain C++ loops do the same reads, liblzf decompression and conversions "
            "as the decoders. The naive floor opens, seeks, reads and closes each block, "
            "decompresses with liblzf and converts into freshly allocated arrays; the compute "
            "floor does the same work into arrays touched before its clock starts. kestrane can "
            "beat the compute floor because its LZF decoder is faster than liblzf's and its "
            "arrays come from huge-page regions (one fault per 2 MiB). On a virtual machine the "
            "first touch of memory the host has not backed yet costs far more system time; a run "
            "right after the kernel released much memory can take several times longer, for the "
            "floors as for kestrane: compare rows of one run.\n",
        ]
        args.write.write_text("\n".join(text))
    return 0


ACQ_PYTHON_HEADING = "## The Python module kestrane_acq"


def acq_python_part(args: argparse.Namespace, reps: int) -> int:
    """kestrane_acq's figures (bench/acq_benchmarks.py); --write replaces their section."""
    sys.path.insert(0, str(ROOT / "bench"))
    import acq_benchmarks

    t = Table()
    extra: list[str] = []
    load_before = os.getloadavg()[0]
    acq_benchmarks.run(t, reps, args.quick, extra)
    extra.append(f"Load average (1 min) {load_before:.1f} before the run and {os.getloadavg()[0]:.1f} "
                 f"after it, on {os.cpu_count()} cores: above 1, other jobs took CPU time, and the "
                 "wall-clock rows of 2 threads against 1 measure what the machine had to spare.")
    print(extra[-1])
    if args.write:
        cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
        section = "\n".join([
            f"{ACQ_PYTHON_HEADING}\n",
            f"Measured {time.strftime('%Y-%m-%d')} on {cpu}, {os.cpu_count()} cores, Python "
            f"{platform.python_version()}, with `python bench/run_benchmarks.py --part acq-python"
            f"{' --quick' if args.quick else ''} --write {args.write}` (bench/acq_benchmarks.py). "
            f"Best / median of {reps} repetitions; each anchor measured in the same run, except "
            "the independent reader's figures, which are given.\n",
            t.markdown(),
            *[f"{e}\n" for e in extra],
            acq_benchmarks.ANCHORS_TEXT,
        ])
        old = args.write.read_text() if args.write.exists() else ""
        start = old.find(ACQ_PYTHON_HEADING)
        if start < 0:
            new = old.rstrip("\n") + "\n\n" + section
        else:
            end = old.find("\n## ", start + len(ACQ_PYTHON_HEADING))
            new = old[:start] + section + (old[end + 1:] if end >= 0 else "")
        args.write.write_text(new)
    return 0


def acq_figures(t: Table, extra: list[str], reps: int) -> None:
    """The self-describing reader (bench/acq_bench.cpp): best and median of `reps` runs, CPU
    time per iteration except for the threaded read, which is wall-clock time."""
    out = sh(BUILD / "bench" / "acq_bench", f"--acq-runs={BUILD / 'runs'}",
             f"--benchmark_repetitions={reps}", "--benchmark_format=json")
    runs: dict[str, list[float]] = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = re.sub(r"/(repeats:\d+|real_time)$", "", b["run_name"])
        value = b["real_time"] if name.startswith("BM_ReadAll") else b["cpu_time"]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        runs.setdefault(name, []).append(value * scale)
    fig = {k: stats(v) for k, v in runs.items()}
    per_point = lambda v: (v[0] / 400000, v[1] / 400000)  # noqa: E731
    t.add("run-length decode to f64, 400,000 points", fig["BM_RunLengthDecode"],
          "memcpy of the output (3.2 MB)", fig["BM_MemcpyOutput"], "us", "<= 3x")
    t.add("m/z axis of 400,000 flight times", fig["BM_CalibrateAxis"],
          "plain polynomial loop", fig["BM_CalibrateAxisPlain"], "us", "<= 1.2x")
    t.add("Acquisition::open, 1,000 x 400,000", fig["BM_Open/400000"],
          "Acquisition::open, 1,000 x 1,000", fig["BM_Open/1000"], "ms", "<= 1.2x")
    t.add("read every scan of 3,000 x 100,000, 2 threads (wall)", fig["BM_ReadAll/2"],
          "1 thread", fig["BM_ReadAll/1"], "s", "<= 0.59x (1.7x faster)")
    for label, name, target in (
        ("run-length decode", "BM_RunLengthDecode", "<= 1.0 ns; an independent decoder takes 1.5-1.8 ns"),
        ("whole calibrated spectrum (decode + m/z axis, in memory)", "BM_CalibratedSpectrum",
         "<= 3 ns; an independent reader takes 21-26 ns for the m/z values alone"),
        ("whole calibrated spectrum (Acquisition::read_into from the file)", "BM_ReadSpectrum", "<= 3 ns"),
    ):
        best, median = per_point(fig[name])
        extra.append(f"{label}: {best * 1e9:.2f} / {median * 1e9:.2f} ns per point (best / median; target {target}).")
        print(extra[-1])


if __name__ == "__main__":
    sys.exit(main())
