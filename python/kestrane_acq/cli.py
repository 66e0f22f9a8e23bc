"""The ``kestrane`` command: one subcommand per job.

    kestrane info DIR [--json] [--prefer profile|centroid] [--threads N]
    kestrane plot DIR -o PNG [--prefer profile|centroid] [--threads N]

Work over a whole run shows a progress bar on a terminal, and none when stderr is not one.
Exit status: 0 done, 1 the directory could not be read (the reason on stderr), 2 usage.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import Acquisition, FormatError, open as open_acquisition

if TYPE_CHECKING:
    from ._core import _Prefer

PROG = "kestrane"
# Scans decoded per call between two updates of the progress bar.
CHUNK_MIN = 64


def _chunks(n: int) -> Iterator[Sequence[int]]:
    if n == 0:
        yield []
    size = max(CHUNK_MIN, n // 100)
    for start in range(0, n, size):
        yield range(start, min(n, start + size))


def run_pass(acq: Acquisition, method: str, *, prefer: _Prefer, threads: int | None,
             desc: str, **kwargs: Any) -> Any:
    """``acq.<method>(...)`` (``summary``, ``tic``, ``bpc`` or ``xic``) over every scan, in
    chunks so that a progress bar can follow; the same result as one call."""
    from tqdm import tqdm

    parts: list[Any] = []
    with tqdm(total=len(acq), desc=desc, unit="scan", disable=None, leave=False,
              file=sys.stderr) as bar:
        for chunk in _chunks(len(acq)):
            parts.append(getattr(acq, method)(prefer=prefer, threads=threads, indices=chunk, **kwargs))
            bar.update(len(chunk))
    first = parts[0]
    if isinstance(first, dict):
        return {k: np.concatenate([p[k] for p in parts]) for k in first}
    return tuple(np.concatenate([p[j] for p in parts]) for j in range(len(first)))


def _counts(values: Sequence[Any]) -> dict[str, int]:
    """Occurrences of each value, in order of first appearance; None counts as "none"."""
    return {("none" if k is None else str(k)): v for k, v in Counter(values).items()}


SCAN_TYPES = {1: "full", 2: "SIM"}


def describe(acq: Acquisition, *, prefer: _Prefer = "profile",
             threads: int | None = None) -> dict[str, Any]:
    """The facts ``kestrane info`` prints: from the index, and from decoding every scan."""
    info = acq.info
    table = acq.scan_table()
    summary = run_pass(acq, "summary", prefer=prefer, threads=threads, desc="decoding")
    rt = table["retention_time_sec"]
    return {
        "path": info["path"],
        "family": info["family"],
        "records": info["records"],
        "layout": {k: info[k] for k in ("layout_version", "record_stride", "blocks_per_record",
                                        "data_offset", "schema_source", "schema_version")},
        "files": sorted(name for name, present in info["files"].items() if present),
        "ms_levels": _counts(table["ms_level"].tolist()),
        "scan_types": _counts([SCAN_TYPES.get(t, t) if t else None for t in table["scan_type"].tolist()]),
        "polarity": _counts(table["polarity"].tolist()),
        "rt_sec": [float(rt.min()), float(rt.max())] if len(rt) else None,
        "points": int(summary["points"].sum()),
        "representations": _counts(summary["representation"].tolist()),
        "calibration": _counts(summary["calibration"].tolist()),
        "status": _counts(summary["status"].tolist()),
        "profile_status": _counts(summary["profile_status"].tolist()),
        "centroid_status": _counts(summary["centroid_status"].tolist()),
        "warnings": acq.warnings,
    }


def _line(counts: dict[str, int], none: str = "none") -> str:
    return ", ".join(f"{none if k == 'none' else k}: {v}" for k, v in counts.items()) or "-"


def format_description(d: dict[str, Any]) -> str:
    layout = d["layout"]
    rt = d["rt_sec"]
    rows = [
        ("family", d["family"] or "-"),
        ("records", f"{d['records']} (stride {layout['record_stride']} bytes, layout version "
                    f"{layout['layout_version']}, blocks per record {layout['blocks_per_record']}, "
                    f"from {layout['schema_source']})"),
        ("MS levels", _line(d["ms_levels"])),
        ("scan types", _line(d["scan_types"])),
        ("polarity", _line(d["polarity"])),
        ("RT", f"{rt[0] / 60:.4f} - {rt[1] / 60:.4f} min ({rt[0]:.2f} - {rt[1]:.2f} s)" if rt else "-"),
        ("spectra", _line(d["representations"]) + f"; {d['points']} points"),
        ("calibration", _line(d["calibration"])),
        ("status", _line(d["status"])),
        ("profile blocks", _line(d["profile_status"], "no block")),
        ("centroid blocks", _line(d["centroid_status"], "no block")),
        ("files", ", ".join(d["files"]) or "-"),
        ("warnings", str(len(d["warnings"])) if d["warnings"] else "none"),
    ]
    width = max(len(k) for k, _ in rows)
    out = [d["path"]] + [f"  {k:<{width}}  {v}" for k, v in rows]
    out += [f"    {w}" for w in d["warnings"]]
    return "\n".join(out)


def _info(args: argparse.Namespace) -> int:
    with open_acquisition(args.dir) as acq:
        d = describe(acq, prefer=args.prefer, threads=args.threads)
    print(json.dumps(d) if args.json else format_description(d))
    return 0


def _plot(args: argparse.Namespace) -> int:
    try:
        from .plotting import plot_run
    except ImportError as exc:
        print(f"{PROG} plot: needs matplotlib ({exc}); install it with: pip install 'kestrane[plot]'",
              file=sys.stderr)
        return 1
    with open_acquisition(args.dir) as acq:
        apex = plot_run(acq, args.output, prefer=args.prefer, threads=args.threads, progress=run_pass)
    print(f"wrote {args.output}" + (f" (spectrum of scan index {apex})" if apex is not None else ""))
    return 0


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("dir", help="acquisition directory (the folder holding AcqData/)")
    p.add_argument("--prefer", choices=("profile", "centroid"), default="profile",
                   help="block read first where a scan has both (default: profile)")
    p.add_argument("--threads", type=int, default=None, help="decoding threads (default: all CPUs)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Reads mass-spectrometry acquisition directories.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = sub.add_parser("info", help="summary of a directory at a glance")
    _add_common(info)
    info.add_argument("--json", action="store_true", help="one JSON object, for machines")
    info.set_defaults(run=_info)
    plot = sub.add_parser("plot", help="TIC, base-peak chromatogram and the spectrum at the TIC apex")
    _add_common(plot)
    plot.add_argument("-o", "--output", required=True, help="PNG file to write")
    plot.set_defaults(run=_plot)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.threads is not None and args.threads < 1:
        print(f"{PROG}: --threads must be at least 1", file=sys.stderr)
        return 2
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except (FormatError, OSError) as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
