"""Many runs at once: convert acquisition directories to mzPeak with Dask's distributed
scheduler, then query all of them together with DuckDB over their Parquet members.

    python examples/many_runs.py OUT_DIR RUN.d [RUN.d ...] [--mz 500.25 --ppm 20]
    python examples/many_runs.py OUT_DIR RUN.d ... --scheduler tcp://host:8786

Without --scheduler a LocalCluster runs on this machine; with one, the same tasks run on a
cluster whose workers see the same paths (a shared file system). Each task converts one run
(decoding on the worker's own threads) into OUT_DIR/<run>.mzpeak/, the unpacked form, whose
spectra_data.parquet files DuckDB then reads by one glob.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any


def convert_run(directory: str, out_dir: str, threads: int | None = None) -> dict[str, Any]:
    """One task: DIR into OUT_DIR/<name>.mzpeak/ (replaced when there). A run that cannot be
    read or written gives its error instead, so that one bad run does not stop the others."""
    import kestrane_acq
    from kestrane_acq.cli import run_name

    target = Path(out_dir) / f"{run_name(directory)}.mzpeak"
    try:
        with kestrane_acq.open(directory) as acq:
            summary = acq.to_mzpeak(f"{target}/", threads=threads, overwrite=True)
    except (kestrane_acq.FormatError, OSError) as exc:
        return {"run": target.stem, "directory": directory, "error": str(exc)}
    return {"run": target.stem, "path": summary.path, "spectra": summary.spectra,
            "points": summary.points, "seconds": summary.seconds}


def convert_all(client: Any, directories: Sequence[str], out_dir: str,
                threads: int | None = None) -> list[dict[str, Any]]:
    """Every directory converted by the cluster behind `client`, one task each: a row per run,
    with "error" for one that failed. ValueError, before any task, when two directories would
    write the same output."""
    from kestrane_acq.cli import run_name

    first: dict[str, str] = {}
    for d in directories:
        name = run_name(d)
        if name in first:
            raise ValueError(f"{first[name]} and {d} would both be written to "
                             f"{Path(out_dir) / name}.mzpeak")
        first[name] = d
    os.makedirs(out_dir, exist_ok=True)
    # The tasks are this module's functions: the workers receive the module itself, so that a
    # cluster needs kestrane installed and nothing else.
    client.upload_file(__file__)
    futures = client.map(convert_run, list(directories), out_dir=out_dir, threads=threads,
                         pure=False)
    return client.gather(futures)


def xic_all(out_dir: str, mz: float, ppm: float = 10.0) -> list[tuple[str, float, float]]:
    """(run, time in minutes, summed intensity) of every spectrum of every run holding points
    within `ppm` of `mz`: one SQL query over all the runs' Parquet members."""
    import duckdb

    # The members by name, listed here: a folder's name may hold quotes or glob characters.
    root = Path(out_dir)
    data = sorted(p.as_posix() for p in root.glob("*.mzpeak/spectra_data.parquet"))
    metadata = sorted(p.as_posix() for p in root.glob("*.mzpeak/spectra_metadata.parquet"))
    if not data:
        return []
    half = mz * ppm * 1e-6
    return duckdb.execute("""
        with points as (
            select regexp_extract(filename, '([^/]+)\\.mzpeak/spectra_data\\.parquet$', 1) as run,
                   point.spectrum_index as spectrum_index, point.intensity as intensity
            from read_parquet($data, filename = true)
            where point.mz between $low and $high
        ), spectra as (
            select regexp_extract(filename, '([^/]+)\\.mzpeak/spectra_metadata\\.parquet$', 1) as run,
                   spectrum.index as spectrum_index, spectrum.time as time
            from read_parquet($metadata, filename = true)
            where spectrum is not null
        )
        select s.run, s.time, sum(p.intensity)::double as intensity
        from points p join spectra s using (run, spectrum_index)
        group by s.run, s.time
        order by s.run, s.time
    """, {"data": data, "metadata": metadata, "low": mz - half, "high": mz + half}).fetchall()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("dirs", nargs="+")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a LocalCluster)")
    parser.add_argument("--mz", type=float, default=None, help="m/z of an XIC across every run")
    parser.add_argument("--ppm", type=float, default=10.0)
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1))
    failed = 0
    with client:
        for row in convert_all(client, args.dirs, args.out_dir, threads=1):
            if "error" in row:
                failed += 1
                print(f"{row['directory']}: {row['error']}", file=sys.stderr)
                continue
            print(f"{row['path']}: {row['spectra']} spectra, {row['points']} points, "
                  f"{row['seconds']:.2f} s")
    if args.mz is not None:
        for run, minutes, intensity in xic_all(args.out_dir, args.mz, args.ppm):
            print(f"{run}\t{minutes:.4f}\t{intensity:g}")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
