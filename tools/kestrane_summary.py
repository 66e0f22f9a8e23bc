"""Prints one line per scan of an acquisition directory, read through kestrane, and a summary.

    python tools/kestrane_summary.py DATA_DIR [--quiet]
"""

import argparse
import sys
import time

import kestrane


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir")
    parser.add_argument("--quiet", action="store_true", help="print the summary only")
    args = parser.parse_args()

    start = time.perf_counter()
    try:
        reader = kestrane.RawReader(args.data_dir)
    except RuntimeError as e:
        print(f"{args.data_dir}: {e}", file=sys.stderr)
        return 1
    opened = time.perf_counter() - start
    print(f"{reader!r} opened in {opened:.3f} s")

    if not args.quiet:
        print(f"{'index':>8} {'level':>5} {'rt_sec':>10} {'points':>8} {'tic':>16} {'base_peak_mz':>14}")
    levels: dict[int, int] = {}
    points = empty = 0
    tic_total = 0.0
    rts = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        intensity = s.intensity
        tic = sum(intensity)
        base_mz = s.mz[max(range(len(intensity)), key=intensity.__getitem__)] if intensity else 0.0
        levels[s.ms_level] = levels.get(s.ms_level, 0) + 1
        points += len(s)
        empty += len(s) == 0
        tic_total += tic
        rts.append(s.retention_time_sec)
        if not args.quiet:
            print(f"{i:8d} {s.ms_level:5d} {s.retention_time_sec:10.3f} {len(s):8d} {tic:16.1f} {base_mz:14.4f}")

    by_level = ", ".join(f"{n} MS{level}" for level, n in sorted(levels.items()))
    rt_span = f"RT {rts[0]:.3f} to {rts[-1]:.3f} s" if rts else "no scans"
    print(f"summary: {reader.scan_count} scans ({by_level}), {empty} empty; {points} points; "
          f"{rt_span}; total intensity {tic_total:.6g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
