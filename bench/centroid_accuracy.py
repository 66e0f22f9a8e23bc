"""Peak picking against three truths, and its speed beside OpenMS's PeakPickerHiRes.

    python bench/centroid_accuracy.py [--write docs/centroiding.md]

Truths: (a) the centroids an instrument stored beside its profiles (the real tof-lzf.D, from
$KESTRANE_REALDATA or ../shared/realdata; left out when absent); (b) the peaks a generated run
was drawn from (the fixture package's tof-lzf family: every isotope peak of the eluting and
background compounds, known exactly); (c) PeakPickerHiRes (Debian's topp) run on the profile
mzML that kestrane writes of the same run. For each: recall (truth peaks with one of ours within
5 ppm), precision (ours with a truth peak within 5 ppm) and the median |m/z difference| in ppm of
the matched pairs.

Speed, one thread each: PeakPickerHiRes -threads 1 over the profile mzML, less FileConverter on
the same file (its floor: reading and writing mzML), per spectrum; ours as spectra(centroid=True)
less spectra(), per spectrum; and the converter with and without --centroid.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import kestrane_acq  # noqa: E402
from kestrane_fixtures.acq import acq_run  # noqa: E402
from kestrane_fixtures.acq.runs import _Tof  # noqa: E402  (the generator's own peak model)

REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")
PPM = 5.0
GEN_SCANS, GEN_POINTS, GEN_SEED = 100, 75_000, 11
# Heights from which a known peak of the generated run must be found: below it counting noise
# alone moves a peak of resolution 2000 by more than 5 ppm.
GEN_MIN_HEIGHT = 500.0


def nearest_ppm(x: np.ndarray, ref: np.ndarray) -> np.ndarray:
    """For each x, the signed ppm difference to the nearest ref (inf when ref is empty)."""
    if len(ref) == 0:
        return np.full(len(x), np.inf)
    ref = np.sort(ref)
    j = np.searchsorted(ref, x)
    lo, hi = ref[np.clip(j - 1, 0, len(ref) - 1)], ref[np.clip(j, 0, len(ref) - 1)]
    d_lo, d_hi = (x - lo) / lo * 1e6, (x - hi) / hi * 1e6
    return np.where(np.abs(d_lo) <= np.abs(d_hi), d_lo, d_hi)


class Tally:
    def __init__(self) -> None:
        self.found = self.truth = self.matched = self.ours = 0
        self.diffs: list[float] = []

    def add(self, ours: np.ndarray, truth: np.ndarray, ours_ref: np.ndarray | None = None) -> None:
        """ours_ref: what ours may match for precision (default: the truth itself)."""
        d = nearest_ppm(truth, ours)
        ok = np.abs(d) <= PPM
        self.found += int(ok.sum())
        self.truth += len(truth)
        self.diffs += list(np.abs(d[ok]))
        p = nearest_ppm(ours, truth if ours_ref is None else ours_ref)
        self.matched += int((np.abs(p) <= PPM).sum())
        self.ours += len(ours)

    def row(self, name: str) -> str:
        med = f"{np.median(self.diffs):.2f}" if self.diffs else "-"
        rec = 100.0 * self.found / self.truth if self.truth else float("nan")
        pre = 100.0 * self.matched / self.ours if self.ours else float("nan")
        return (f"| {name} | {self.found}/{self.truth} ({rec:.1f} %) | "
                f"{self.matched}/{self.ours} ({pre:.1f} %) | {med} |")


def centroids_of(path: Path) -> list[tuple[np.ndarray, np.ndarray]]:
    from pyteomics import mzml
    out = []
    with mzml.MzML(str(path)) as reader:
        for s in reader:
            out.append((np.asarray(s["m/z array"], float), np.asarray(s["intensity array"], float)))
    return out


def threshold(profile: np.ndarray) -> float:
    """Our default intensity floor of a spectrum: 10 x the median positive intensity."""
    pos = profile[np.isfinite(profile) & (profile > 0)]
    return 10.0 * float(np.median(pos)) if len(pos) else 0.0


def peakpicker(src: Path, dst: Path) -> float:
    t0 = time.perf_counter()
    subprocess.run(["PeakPickerHiRes", "-in", str(src), "-out", str(dst), "-threads", "1",
                    "-no_progress"], check=True, capture_output=True)
    return time.perf_counter() - t0


def fileconverter(src: Path, dst: Path) -> float:
    t0 = time.perf_counter()
    subprocess.run(["FileConverter", "-in", str(src), "-out", str(dst), "-threads", "1",
                    "-no_progress"], check=True, capture_output=True)
    return time.perf_counter() - t0


def best_of(f, n: int = 3) -> float:
    return min(f() for _ in range(n))


def generated_truth(run_seed: int, n_scans: int, n_points: int, i: int):
    """(m/z, height) of every peak the generator drew into profile scan i, inside the axis."""
    tof = _Tof(run_seed, n_scans, n_points, 0.2, mz_low=95.0, mz_high=1000.0, sparse=True)
    mz, h = tof.compounds.peaks(tof.rt(i), tof.mz_limit)
    bmz, bh = tof.background.peaks(0.0, tof.mz_limit)
    return np.concatenate((mz, bmz)), np.concatenate((h, bh))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--write", type=Path, help="replace the tables in this Markdown file")
    args = parser.parse_args()
    have_topp = shutil.which("PeakPickerHiRes") is not None
    work = Path(tempfile.mkdtemp(prefix="centroid-bench-"))
    lines: list[str] = []
    header = "| truth | recall (within 5 ppm) | precision (within 5 ppm) | median \\|Δ\\| ppm |"
    rule = "|---|---|---|---|"
    try:
        runs: list[tuple[str, Path]] = []
        real = REALDATA / "tof-lzf.D"
        if real.is_dir():
            runs.append(("tof-lzf.D", real))
        gen = acq_run(work / "gen.d", "tof-lzf", GEN_SCANS, GEN_POINTS, seed=GEN_SEED)
        runs.append((f"generated tof-lzf ({GEN_SCANS} scans x {GEN_POINTS} points)", gen.path))

        # PeakPickerHiRes on the profile mzML of each run, and the timings beside it.
        theirs: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
        timings: list[str] = []
        agreement: list[str] = []
        for name, path in runs:
            profile = work / f"{path.stem}-profile.mzML"
            centroided = work / f"{path.stem}-ours.mzML"
            with kestrane_acq.open(path) as a:
                n = len(a)
                t_plain = best_of(lambda: a.to_mzml(profile, threads=1, overwrite=True).seconds)
                t_cent = best_of(lambda: a.to_mzml(centroided, threads=1, overwrite=True,
                                                   centroid=True).seconds)
                t_read = best_of(lambda: _timed(lambda: a.spectra(threads=1)))
                t_pick = best_of(lambda: _timed(lambda: a.spectra(threads=1, centroid=True)))
                profiles = [s.intensity for s in a.spectra(threads=1)]
                ours = [(s.mz, s.intensity) for s in a.spectra(threads=1, centroid=True)]
            per_ours = max(t_pick - t_read, 0.0) / n
            row = [f"| {name} | {n} | {per_ours * 1e3:.3f} ms"]
            if have_topp:
                picked = work / f"{path.stem}-hires.mzML"
                copied = work / f"{path.stem}-copy.mzML"
                t_pp = best_of(lambda: peakpicker(profile, picked), 2)
                t_fc = best_of(lambda: fileconverter(profile, copied), 2)
                per_pp = max(t_pp - t_fc, 0.0) / n
                row.append(f"{per_pp * 1e3:.3f} ms ({t_pp:.2f} s less {t_fc:.2f} s)")
                row.append(f"{per_pp / per_ours:.0f}x" if per_ours > 0 else "-")
                theirs[name] = centroids_of(picked)
                t = Tally()
                for (om, oi), (pm, pi), prof in zip(ours, theirs[name], profiles):
                    floor = threshold(prof)
                    t.add(om[oi >= floor], pm[pi >= floor])
                agreement.append(t.row(f"{name}: PeakPickerHiRes on our profile mzML (both at or "
                                       "above 10x the median positive intensity)"))
            else:
                row += ["(PeakPickerHiRes not installed)", "-"]
            row.append(f"{t_plain:.3f} s | {t_cent:.3f} s | {t_cent / t_plain:.2f}x |")
            timings.append(" | ".join(row))

        lines += ["### Accuracy", "", header, rule]
        if real.is_dir():
            with kestrane_acq.open(real) as a:
                t_all, t_floor, t_pp = Tally(), Tally(), Tally()
                for i in range(len(a)):
                    stored = a.spectrum(i, "centroid")
                    ours = a.spectrum(i, centroid=True)
                    t_all.add(ours.mz, stored.mz)
                    keep = ours.intensity >= stored.intensity.min()
                    t_floor.add(ours.mz[keep], stored.mz)
                    if "tof-lzf.D" in theirs:
                        pm, pi = theirs["tof-lzf.D"][i]
                        t_pp.add(pm[pi >= stored.intensity.min()], stored.mz)
                lines.append(t_all.row("tof-lzf.D: instrument's stored centroids (ours at defaults)"))
                lines.append(t_floor.row("tof-lzf.D: instrument's stored centroids (ours at or "
                                         "above the smallest stored intensity)"))
                if "tof-lzf.D" in theirs:
                    lines.append(t_pp.row("tof-lzf.D: instrument's stored centroids, "
                                          "PeakPickerHiRes's in place of ours (likewise)"))
        gen_name = runs[-1][0]
        with kestrane_acq.open(gen.path) as a:
            t, t_pp = Tally(), Tally()
            for i in range(len(a)):
                ours = a.spectrum(i, centroid=True)
                mz, h = generated_truth(GEN_SEED, GEN_SCANS, GEN_POINTS, i)
                known, near = mz[h >= GEN_MIN_HEIGHT], mz[h >= 0.2 * GEN_MIN_HEIGHT]
                keep = ours.intensity >= GEN_MIN_HEIGHT
                t.add(ours.mz[keep], known, ours_ref=near)
                if gen_name in theirs:
                    pm, pi = theirs[gen_name][i]
                    t_pp.add(pm[pi >= GEN_MIN_HEIGHT], known, ours_ref=near)
            lines.append(t.row(f"generated tof-lzf: known peaks of {GEN_MIN_HEIGHT:.0f} counts or "
                               "more (ours likewise)"))
            if gen_name in theirs:
                lines.append(t_pp.row("generated tof-lzf: known peaks, PeakPickerHiRes's in place "
                                      "of ours (likewise)"))
        lines += agreement
        lines += ["", "### Speed (one thread)", "",
                  "| run | spectra | ours per spectrum | PeakPickerHiRes per spectrum, less "
                  "FileConverter | ratio | convert | convert --centroid | ratio |",
                  "|---|---|---|---|---|---|---|---|", *timings]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    text = "\n".join(lines)
    print(text)
    if args.write:
        doc = args.write.read_text()
        start, end = "<!-- centroid-bench -->", "<!-- /centroid-bench -->"
        a, b = doc.index(start) + len(start), doc.index(end)
        args.write.write_text(doc[:a] + "\n" + text + "\n" + doc[b:])
    return 0


def _timed(f) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


if __name__ == "__main__":
    sys.exit(main())
