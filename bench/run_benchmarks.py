"""Runs kestrane's benchmarks and prints each figure beside its anchor, measured in one run.

    python bench/run_benchmarks.py [--quick] [--part all|reader|mzml] [--write docs/performance.md]

Needs the installed kestrane module, the fixture writer's dependencies (numpy, liblzf) and the
C++ benchmarks, built here into build-bench/ (Release) unless --no-build is given. Generated
runs are cached in build-bench/runs/. Figures are best and median of several repetitions;
compare the ratios, since absolute times depend on the machine. The reader's times are CPU
time of the process (user and system, page faults included), which a busy machine disturbs less
than wall-clock time; the mzML writer's are wall-clock time, since it runs on several threads.
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
        scale = {"s": 1.0, "ms": 1e3, "us": 1e6, "MiB": 1.0}[unit]
        fmt = lambda v: f"{v[0] * scale:.3f} / {v[1] * scale:.3f}"  # noqa: E731
        ratio = ours[0] / anchor[0]
        row = (what, f"{fmt(ours)} {unit}", f"{anchor_name}: {fmt(anchor)} {unit}", f"{ratio:.2f}x", target)
        self.rows.append(row)
        print(" | ".join(row), flush=True)

    def markdown(self) -> str:
        head = "| figure | kestrane (best / median) | anchor (best / median) | ratio (best) | target |\n"
        head += "|---|---|---|---|---|\n"
        return head + "".join(f"| {' | '.join(r)} |\n" for r in self.rows)


def measured(args: argparse.Namespace, reps: int, part: str) -> str:
    uname = platform.uname()
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    flags = f"{' --quick' if args.quick else ''} --part {part} --write {args.write}"
    return (f"Measured {time.strftime('%Y-%m-%d')} on {cpu}, {os.cpu_count()} cores, "
            f"{uname.system} {uname.release}, Python {platform.python_version()}, with "
            f"`python bench/run_benchmarks.py{flags}`. Times are best / median of "
            f"{reps} repetitions; each row's anchor was measured in the same run. The machine is "
            "shared and noisy: read the ratios.\n")


def write_section(path: Path, heading: str, body: str) -> None:
    """Replaces the section `## heading` of the markdown file (or appends it), keeping the others."""
    text = path.read_text() if path.exists() else "# Performance\n"
    sections = re.split(r"(?m)^(?=## )", text)
    new = f"## {heading}\n\n{body.strip()}\n"
    for i, section in enumerate(sections):
        if section.startswith(f"## {heading}\n"):
            sections[i] = new
            break
    else:
        sections.append(new)
    path.write_text("\n".join(part.strip() + "\n" for part in sections))


def reader_section(args: argparse.Namespace, reps: int) -> str:
    big_scans = 1000 if args.quick else 3000
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

    text = [
        measured(args, reps, "reader"),
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
    return "\n".join(text)


def google_benchmark_runs(binary: str, reps: int) -> dict[str, list[dict]]:
    """name -> the JSON records of its repetitions (real_time and cpu_time in seconds). The
    repetitions of different benchmarks are interleaved, so a change of load hits them alike."""
    out = sh(BUILD / "bench" / binary, f"--benchmark_repetitions={reps}", "--benchmark_format=json",
             "--benchmark_enable_random_interleaving=true")
    (BUILD / f"{binary}.json").write_text(out)  # the raw figures, kept for a second look
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    runs: dict[str, list[dict]] = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = re.sub(r"/(iterations:\d+|process_time|real_time|repeats:\d+)", "", b["run_name"])
        for key in ("real_time", "cpu_time"):
            b[key] *= scale[b.get("time_unit", "ns")]
        runs.setdefault(name, []).append(b)
    return runs


def mzml_section(args: argparse.Namespace, reps: int) -> str:
    runs = google_benchmark_runs("mzml_bench", reps)
    real = lambda name: stats([r["real_time"] for r in runs[name]])  # noqa: E731
    cpu = lambda name: stats([r["cpu_time"] for r in runs[name]])  # noqa: E731
    counter = lambda name, key: runs[name][0][key]  # noqa: E731
    t = Table()
    one, two, floor = real("BM_Writer/1000/1"), real("BM_Writer/1000/2"), real("BM_Floor/1000")
    t.add("mzML writer, 1,000 x 400,000 points, 1 thread", one,
          "libdeflate + base64 alone, 1 thread", floor, "s", "<= 1.3x")
    t.add("the same in CPU time", cpu("BM_Writer/1000/1"), "the same in CPU time",
          cpu("BM_Floor/1000"), "s", "")
    t.add("mzML writer, 1,000 x 400,000 points, 2 threads", two,
          "the writer on 1 thread", one, "s", "<= 0.59x (>= 1.7x faster)")
    t.add("the same in CPU time (all threads)", cpu("BM_Writer/1000/2"), "the same in CPU time",
          cpu("BM_Writer/1000/1"), "s", "")
    writing = stats([r["writing_thread_cpu_s"] for r in runs["BM_Writer/1000/2"]])
    t.add("CPU time of the writing thread, 2 threads", writing, "CPU time of all threads",
          cpu("BM_Writer/1000/2"), "s", "")
    zlib = real("BM_Zlib6")
    per_spectrum = lambda v, n: (v[0] / n, v[1] / n)  # noqa: E731
    t.add("mzML writer per spectrum, 1 thread", per_spectrum(one, 1000),
          "zlib level 6 + base64 alone", per_spectrum(zlib, 8), "ms", "")
    # Memory is compared at its highest: how far the workers got ahead varies from run to run.
    small, big = ((max(v), statistics.median(v)) for v in
                  ([r["peak_growth_MiB"] for r in runs[f"BM_PeakMemory/{n}"]] for n in (100, 1000)))
    t.add("peak memory added by a conversion, 1,000 spectra, 2 threads (highest / median)", big,
          "the same for 100 spectra", small, "MiB", "<= 1.2x")
    ours, zlib_bytes = counter("BM_Zlib6", "libdeflate_bytes"), counter("BM_Zlib6", "zlib6_bytes")
    output = counter("BM_Writer/1000/1", "output_bytes")
    sizes = (f"Compressed arrays of the 8 distinct spectra: {ours / 1e6:.2f} MB with libdeflate at the "
             f"writer's level against {zlib_bytes / 1e6:.2f} MB with zlib at level 6 "
             f"({ours / zlib_bytes:.3f}x; target <= 1x). The 1,000-spectrum file: {output / 1e6:.1f} MB "
             f"for {1000 * 400000 * 16 / 1e6:.0f} MB of decoded arrays.")
    # What two idle cores would give: the workers share the CPU time the writing thread leaves.
    bound = cpu("BM_Writer/1000/1")[1] / max(cpu("BM_Writer/1000/2")[1] / 2, writing[1])
    threads = (f"Two threads on two idle cores: at most {bound:.2f}x faster than one (median CPU time "
               "of one thread over the larger of half the CPU time of two and the writing thread's "
               "own); the wall-clock rows above show what the shared machine gave.")
    print(sizes)
    print(threads)
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    return "\n".join([
        measured(args, reps, "mzml").rstrip() + f" Load average after the run: {load}.\n",
        t.markdown(),
        f"\n{sizes}\n",
        f"\n{threads}\n",
        "\nAnchors: the floor compresses the same arrays (m/z as 64-bit, counts as 32-bit floats) "
        "with libdeflate at the writer's level and base64-encodes them, on one thread, with "
        "nothing else; the writer also reads its source, checks that the counts fit 32 bits, "
        "computes the summary values, writes the XML, hashes every byte and writes the file "
        "(to /dev/shm, or $KESTRANE_BENCH_DIR). Spectra are generated time-of-flight scans: a "
        "shared m/z axis and counts with many zeros, 8 distinct arrays cycled. zlib level 6 is "
        "what Python writers use by default. Peak memory is the high-water mark of resident "
        "memory a conversion adds, in a child process. Wall-clock times: two threads need two "
        "idle cores.\n",
    ])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions and a smaller large run")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--part", choices=("all", "reader", "mzml"), default="all",
                    help="measure the reader, the mzML writer, or both")
    ap.add_argument("--write", type=Path, help="write the results as markdown into this file "
                    "(the sections measured replace their earlier figures)")
    args = ap.parse_args()
    reps = 3 if args.quick else 7

    if not args.no_build:
        build()
    sections = []
    if args.part in ("all", "reader"):
        sections.append(("Reader", reader_section(args, reps)))
    if args.part in ("all", "mzml"):
        # A repetition converts 4,000 spectra of 400,000 points: a few minutes each.
        sections.append(("mzML writer", mzml_section(args, 1 if args.quick else 3)))
    if args.write:
        for heading, body in sections:
            write_section(args.write, heading, body)
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
