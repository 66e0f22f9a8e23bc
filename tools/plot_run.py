"""Plots the total ion chromatogram and one spectrum of an acquisition directory to PNG files.

    python tools/plot_run.py DATA_DIR [--scan N] [--ms-level L] [--out-dir DIR]

Needs matplotlib (pip install 'kestrane[plot]'). Writes <name>_tic_ms<L>.png and <name>_scan<N>.png,
where <name> is the directory's own name; the spectrum defaults to the scan with the largest
ion current of the plotted MS level.
"""

import argparse
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402

import kestrane  # noqa: E402

# Up to this many points a spectrum is drawn as sticks (centroided data), beyond as a line.
MAX_STICKS = 2000


def chromatogram(reader, ms_level):
    """(retention times in minutes, summed intensities, positions) of the scans of ms_level."""
    times, currents, positions = [], [], []
    for i in range(reader.scan_count):
        spectrum = reader.read_spectrum(i)
        if spectrum.ms_level != ms_level:
            continue
        times.append(spectrum.retention_time_sec / 60.0)
        currents.append(math.fsum(spectrum.intensity))
        positions.append(i)
    return times, currents, positions


def plot_chromatogram(times, currents, title, path):
    fig, ax = plt.subplots(figsize=(10, 4), layout="constrained")
    ax.plot(times, currents, linewidth=0.8, color="tab:blue")
    ax.set_xlabel("retention time (min)")
    ax.set_ylabel("total ion current")
    ax.set_title(title)
    ax.ticklabel_format(axis="y", style="sci", scilimits=(0, 0))
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_spectrum(spectrum, title, path):
    fig, ax = plt.subplots(figsize=(10, 4), layout="constrained")
    mz, intensity = spectrum.mz, spectrum.intensity
    if len(mz) <= MAX_STICKS:
        ax.vlines(mz, 0.0, intensity, linewidth=0.8, color="tab:red")
    else:
        ax.plot(mz, intensity, linewidth=0.6, color="tab:red")
    ax.set_xlabel("m/z")
    ax.set_ylabel("intensity")
    ax.set_ylim(bottom=0.0)
    ax.set_title(title)
    ax.ticklabel_format(axis="y", style="sci", scilimits=(0, 0))
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", help="the directory that contains AcqData")
    parser.add_argument("--scan", type=int, help="position of the spectrum to plot")
    parser.add_argument("--ms-level", type=int, default=1, help="MS level of the chromatogram")
    parser.add_argument("--out-dir", default=".", help="where the PNG files go")
    args = parser.parse_args(argv)

    try:
        reader = kestrane.RawReader(args.data_dir)
    except RuntimeError as e:
        print(f"{args.data_dir}: {e}", file=sys.stderr)
        return 1
    name = os.path.basename(os.path.normpath(args.data_dir)) or "run"

    times, currents, positions = chromatogram(reader, args.ms_level)
    if not positions:
        print(f"{args.data_dir}: no scans of MS level {args.ms_level}", file=sys.stderr)
        return 1
    os.makedirs(args.out_dir, exist_ok=True)
    tic_path = os.path.join(args.out_dir, f"{name}_tic_ms{args.ms_level}.png")
    title = f"{name}: MS{args.ms_level} total ion chromatogram"
    plot_chromatogram(times, currents, title, tic_path)

    scan = args.scan
    if scan is None:
        scan = positions[max(range(len(currents)), key=currents.__getitem__)]
    try:
        spectrum = reader.read_spectrum(scan)
    except RuntimeError as e:
        print(f"{args.data_dir}: {e}", file=sys.stderr)
        return 1
    spectrum_path = os.path.join(args.out_dir, f"{name}_scan{scan}.png")
    title = (
        f"{name}: scan {scan}, MS{spectrum.ms_level}, "
        f"RT {spectrum.retention_time_sec / 60.0:.3f} min, {len(spectrum)} points"
    )
    plot_spectrum(spectrum, title, spectrum_path)

    print(tic_path)
    print(spectrum_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
