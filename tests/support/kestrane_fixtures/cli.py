"""Command line: ``python -m kestrane_fixtures COMMAND`` (with ``tests/support`` on PYTHONPATH).

    sample DIR [--scans N] [--points M] [--seed S] [--stride S] [--ms2-every K]
        a generated run of the fixed layout
    corpus DIR [CORPUS...]
        the fuzz seed inputs, DIR/<corpus>/<seed>.bin (every corpus, or those named)
    acq-sample DIR --family F [--scans N] [--points M] [--seed S]
        a generated run in the self-describing form (families: kestrane_fixtures.acq.FAMILIES)
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence

from .acq import DEFAULT_SIZES, FAMILIES, acq_run
from .corpus import write_corpus
from .index import STRIDES
from .lzf import LzfUnavailableError
from .runs import realistic_run


def _sample(args: argparse.Namespace) -> None:
    start = time.perf_counter()
    acq = realistic_run(args.dir, args.scans, args.points, args.seed, args.ms2_every, stride=args.stride)
    elapsed = time.perf_counter() - start
    print(
        f"wrote {acq.path}: {args.scans} scans, stride {acq.stride}, MSProfile.bin "
        f"{acq.profile_stored_bytes / 1e6:.1f} MB ({acq.compression_ratio:.2f}:1), "
        f"in {elapsed:.1f} s"
    )


def _corpus(args: argparse.Namespace) -> None:
    for target, paths in write_corpus(args.dir, args.corpora or None).items():
        print(f"{target}: {len(paths)} seeds")


def _acq_sample(args: argparse.Namespace) -> None:
    start = time.perf_counter()
    run = acq_run(args.dir, args.family, args.scans, args.points, args.seed)
    elapsed = time.perf_counter() - start
    files = ", ".join(f"{name} {size / 1e6:.1f} MB" for name, size in sorted(run.stored_bytes.items()))
    print(f"wrote {run.path}: {args.family}, {len(run.expected)} scans, stride {run.stride}, "
          f"{files}, in {elapsed:.1f} s")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kestrane_fixtures",
        description="Writes acquisition directories and fuzz seed inputs.",
    )
    sub = parser.add_subparsers(dest="command", required=True)
    sample = sub.add_parser("sample", help="write a generated run of the fixed layout")
    sample.add_argument("dir")
    sample.add_argument("--scans", type=int, default=200)
    sample.add_argument("--points", type=int, default=5000)
    sample.add_argument("--seed", type=int, default=0)
    sample.add_argument("--stride", type=int, default=284, choices=STRIDES)
    sample.add_argument("--ms2-every", type=int, default=4)
    sample.set_defaults(run=_sample)
    corpus = sub.add_parser("corpus", help="write fuzz seed inputs into DIR/<corpus>/")
    corpus.add_argument("dir")
    corpus.add_argument("corpora", nargs="*", metavar="CORPUS", help="only these seed sets")
    corpus.set_defaults(run=_corpus)
    acq = sub.add_parser("acq-sample", help="write a generated run in the self-describing form")
    acq.add_argument("dir")
    acq.add_argument("--family", required=True, choices=sorted(FAMILIES))
    acq.add_argument("--scans", type=int, help="default per family: " + ", ".join(
        f"{f} {s}" for f, (s, _) in DEFAULT_SIZES.items()))
    acq.add_argument("--points", type=int, help="profile points, centroids or channels per scan")
    acq.add_argument("--seed", type=int, default=0)
    acq.set_defaults(run=_acq_sample)
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except (LzfUnavailableError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0
