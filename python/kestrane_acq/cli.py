"""The ``kestrane`` command: one subcommand per job.

    kestrane info DIR [--json] [--prefer profile|centroid] [--threads N]
    kestrane plot DIR -o IMAGE [--prefer profile|centroid] [--threads N]
    kestrane convert DIR [DIR ...] -o OUT|-|RUN.mzpeak[/] [--prefer profile|centroid] [--centroid]
                     [--no-compression] [--numpress linear|pic|slof[,...]] [--jobs N] [--threads N] [--overwrite] [--strict]
                     [--ms-level N|N-|N-M] [--rt START:END] [--scans FIRST:LAST]
                     [--polarity positive|negative] [--metadata FILE.json]

Work over a whole run shows a progress bar on a terminal, and none when stderr is not one.
Exit status: 0 done, 1 a directory could not be read or written (the reason on stderr), 2 usage,
128 + N stopped by signal N (130 Ctrl-C; SIGTERM and SIGHUP stop a conversion as Ctrl-C does).
"""

from __future__ import annotations

import argparse
import errno
import json
import math
import os
import signal
import sys
import threading
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import Acquisition, ConversionSummary, FormatError, __version__, open as open_acquisition
from .mzpeak import MzPeakSummary, is_mzpeak_path, refuse_special_file

if TYPE_CHECKING:
    from ._core import _Prefer

PROG = "kestrane"
# The largest count or index an option takes (the reader's 32-bit signed integers).
INT_MAX = 2**31 - 1
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


# ScanType values whose meaning is known; others are shown as numbers marked unknown.
SCAN_TYPES = {1: "full", 2: "SIM"}
# The data file of each block kind, as the format table names the kinds.
_KIND_FILES = {"profile": "MSProfile.bin", "centroid": "MSPeak.bin"}


def _scan_type(code: int) -> str | None:
    if not code:
        return None
    return SCAN_TYPES.get(code, f"{code} (unknown)")


def _findings(summary: dict[str, Any]) -> list[str]:
    """What decoding shows beyond the acquisition's warnings: data files that blocks point into
    but that are absent, and scans that could not be read."""
    out = []
    for kind, name in _KIND_FILES.items():
        absent = int(np.count_nonzero(summary[f"{kind}_status"] == "file_absent"))
        if absent:
            out.append(f"{name}: absent, though {absent} records have a {kind} block in it")
    status = summary["status"]
    failed = np.flatnonzero((status != "ok") & (status != "empty") & (status != "incomplete"))
    if len(failed):
        first = int(failed[0])
        out.append(f"{len(failed)} scans could not be read and give empty spectra (first: index "
                   f"{first}, {status[first]})")
    return out


def describe(acq: Acquisition, *, prefer: _Prefer = "profile",
             threads: int | None = None, scans: bool = False) -> dict[str, Any]:
    """The facts ``kestrane info`` prints: from the index, and from decoding every scan; with
    scans, also "scans": per-scan arrays (JSON lists, NaN as None) of the scan ID, MS level,
    retention time, points, TIC and base peak."""
    info = acq.info
    table = acq.scan_table()
    summary = run_pass(acq, "summary", prefer=prefer, threads=threads, desc="decoding")
    d = _describe(acq, info, table, summary)
    if scans:
        columns = {"scan_id": table["scan_id"], "ms_level": table["ms_level"],
                   "retention_time_sec": summary["retention_time_sec"], "points": summary["points"],
                   "tic": summary["tic"], "base_peak_mz": summary["base_peak_mz"],
                   "base_peak_intensity": summary["base_peak_intensity"]}
        d["scans"] = {k: [None if isinstance(x, float) and x != x else x for x in v.tolist()]
                      for k, v in columns.items()}
    return d


def _describe(acq: Acquisition, info: dict[str, Any], table: dict[str, Any],
              summary: dict[str, Any]) -> dict[str, Any]:
    rt = table["retention_time_sec"]
    rt = rt[np.isfinite(rt)]  # JSON holds no NaN: a record without a time has no part in the range
    return {
        "path": info["path"],
        "family": info["family"],
        "records": info["records"],
        "layout": {k: info[k] for k in ("layout_version", "record_stride", "blocks_per_record",
                                        "data_offset", "schema_source", "schema_version")},
        "files": sorted(name for name, present in info["files"].items() if present),
        "ms_levels": _counts(table["ms_level"].tolist()),
        "scan_types": _counts([_scan_type(t) for t in table["scan_type"].tolist()]),
        "polarity": _counts(table["polarity"].tolist()),
        "rt_sec": [float(rt.min()), float(rt.max())] if len(rt) else None,
        "points": int(summary["points"].sum()),
        "representations": _counts(summary["representation"].tolist()),
        "calibration": _counts(summary["calibration"].tolist()),
        "status": _counts(summary["status"].tolist()),
        "profile_status": _counts(summary["profile_status"].tolist()),
        "centroid_status": _counts(summary["centroid_status"].tolist()),
        "warnings": acq.warnings + _findings(summary),
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
    print(json.dumps(d, allow_nan=False) if args.json else format_description(d))
    return 0


def _plot(args: argparse.Namespace) -> int:
    try:
        from .plotting import image_path, plot_run
    except ImportError as exc:
        print(f"{PROG} plot: needs matplotlib ({exc}); install it with: pip install 'kestrane[plot]'",
              file=sys.stderr)
        return 1
    try:
        output = image_path(args.output)
    except ValueError as exc:
        raise UsageError(f"-o {args.output}: {exc}") from None
    with open_acquisition(args.dir) as acq:
        apex = plot_run(acq, output, prefer=args.prefer, threads=args.threads, progress=run_pass)
    print(f"wrote {output}" + (f" (spectrum of scan index {apex})" if apex is not None else ""))
    return 0


class Terminated(KeyboardInterrupt):
    """A termination signal other than SIGINT (SIGTERM, SIGHUP) received by the main thread."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminated(signum: int, frame: object) -> None:
    raise Terminated(signum)


# Signals that stop a conversion as Ctrl-C does: no temporary file left, exit status 128 + N.
TERMINATION_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class UsageError(Exception):
    """A request the command cannot carry out as given (exit status 2)."""


def run_name(directory: str) -> str:
    """The stem of a directory's .mzML: its name without .d (the run's, given AcqData)."""
    path = Path(os.path.abspath(directory))
    if path.name == "AcqData":
        path = path.parent
    name = path.name
    return name[:-2] if len(name) > 2 and name[-2:] in (".d", ".D") else name or "run"


@dataclass(frozen=True)
class OutputKind:
    """One form of output: what it is called in messages, and how a run is written to it."""

    name: str
    write: Callable[[Acquisition, Path, argparse.Namespace, Callable[[int, int], None]],
                    ConversionSummary | MgfSummary | MzPeakSummary]
    mzml_options: bool = False  # --strict, --numpress and the selection options apply


def _write_mzml(acq: Acquisition, path: Path, args: argparse.Namespace,
                progress: Callable[[int, int], None]) -> ConversionSummary:
    # Acquisition.to_mzml writes gzip for a name ending with .gz and standard output for "-".
    return acq.to_mzml(path, prefer=args.prefer, compression=args.compression, threads=args.threads,
                       overwrite=args.overwrite, strict=args.strict, progress=progress,
                       centroid=args.centroid, numpress=args.numpress, **args.selected)


def _write_mzpeak(acq: Acquisition, path: Path, args: argparse.Namespace,
                  progress: Callable[[int, int], None]) -> MzPeakSummary:
    # -o as given: a trailing "/" asks for the unpacked directory.
    return acq.to_mzpeak(args.output, prefer=args.prefer, centroid=args.centroid,
                         threads=args.threads, overwrite=args.overwrite, progress=progress)


@dataclass
class MgfSummary:
    """What _write_mgf wrote; str() is its summary line. Empty scans and ICP channel records
    are left out and counted in neither."""

    path: str
    written: int
    failed: int
    seconds: float
    warnings: list[str]

    def __str__(self) -> str:
        return (f"{self.path}: {self.written} MS/MS spectra written, {self.failed} failed, "
                f"{len(self.warnings)} warnings, {self.seconds:.2f} s")


def _atomic_text_file(path: Path, overwrite: bool) -> Any:
    """A temporary file beside `path` (with the permissions of a new file) and a function that
    puts it in place (refusing an existing `path` unless overwrite) or, with keep=False, removes
    it. An error of the place names `path`, not the temporary file; a device, pipe or socket at
    `path` is never replaced (OSError)."""
    import secrets

    if not overwrite and os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, "exists", str(path))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    refuse_special_file(path)
    temp = path.parent / f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.part"
    try:
        # Mode 0o666 less the umask, as open(..., "w") gives a new file.
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        raise type(exc)(exc.errno, exc.strerror, str(path)) from None
    try:
        f = os.fdopen(fd, "w", encoding="utf-8", newline="\n")
    except BaseException:
        os.close(fd)
        os.unlink(temp)
        raise

    def finish(keep: bool) -> None:
        f.close()
        try:
            if not keep:
                return
            if overwrite:
                os.replace(temp, path)
            else:
                os.link(temp, path)  # fails on an existing path
        finally:
            if os.path.lexists(temp):
                os.unlink(temp)
    return f, finish


def _write_mgf(acq: Acquisition, path: Path, args: argparse.Namespace,
               progress: Callable[[int, int], None]) -> MgfSummary:
    """MS level >= 2 spectra as MGF: TITLE (the native ID), PEPMASS where the precursor is known,
    CHARGE where the record knows it, RTINSECONDS where it holds a time, then "m/z intensity"
    lines in the shortest text that reads back as the same float64. Empty scans are left out;
    so are ICP channel readings, whose MS level 2 comes from the hardware, not from
    fragmentation (mzML holds them as chromatograms)."""
    import time

    start = time.monotonic()
    table = acq.scan_table()
    wanted = [i for i in range(len(acq))
              if table["ms_level"][i] >= 2 and not table["incomplete"][i]]
    f, finish = _atomic_text_file(path, args.overwrite)
    written = failed = channels = 0
    try:
        done = 0
        for chunk in _chunks(len(wanted)):
            for sp in acq.spectra([wanted[k] for k in chunk], prefer=args.prefer, threads=args.threads,
                                  centroid=args.centroid):
                if sp.status == "empty":
                    continue
                if sp.status != "ok":
                    failed += 1
                    continue
                if sp.representation == "channels":
                    channels += 1
                    continue
                lines = ["BEGIN IONS", f"TITLE=scanId={sp.scan_id}"]
                if sp.precursor_mz is not None:
                    lines.append(f"PEPMASS={sp.precursor_mz!r}")
                if sp.charge_state is not None:  # stored as a magnitude; the sign is the polarity's
                    lines.append(f"CHARGE={sp.charge_state}{'-' if sp.polarity == 'negative' else '+'}")
                if math.isfinite(sp.retention_time_sec):  # a record may hold no time
                    lines.append(f"RTINSECONDS={sp.retention_time_sec!r}")
                lines += [f"{m!r} {i!r}" for m, i in zip(sp.mz.tolist(), sp.intensity.tolist())]
                lines.append("END IONS\n")
                f.write("\n".join(lines))
                written += 1
            done += len(chunk)
            progress(done, len(wanted))
    except BaseException:
        finish(False)
        raise
    finish(True)
    warnings = list(acq.warnings)
    if channels:
        warnings.append(f"{channels} ICP channel records are not MS/MS spectra and are left out "
                        "of the MGF")
    if failed:
        warnings.append(f"{failed} MS/MS spectra could not be read and are left out of the MGF")
    return MgfSummary(str(path), written, failed, time.monotonic() - start, warnings)


# The kinds of file -o may name, by suffix (compared without regard to case; the longest match
# wins). A name without suffix, ending with "/" or naming an existing directory is a directory
# receiving one <run>.mzML per DIR; "-" is mzML on standard output.
OUTPUT_KINDS: dict[str, OutputKind] = {
    ".mzml": OutputKind(".mzML", _write_mzml, True),
    ".mzml.gz": OutputKind(".mzML.gz", _write_mzml, True),
    ".mgf": OutputKind(".mgf", _write_mgf),
    ".mzpeak": OutputKind(".mzpeak", _write_mzpeak),
}
STDOUT = "-"


def output_kind(output: str) -> OutputKind | None:
    """The kind of file `output` names, or None for a directory. UsageError for a suffix no kind
    has."""
    if output == STDOUT:
        return OUTPUT_KINDS[".mzml"]
    if is_mzpeak_path(output):  # RUN.mzpeak/ is the unpacked form, not a folder of runs
        return OUTPUT_KINDS[".mzpeak"]
    if output.endswith("/") or os.path.isdir(output) or not Path(output).suffix:
        return None
    lower = output.lower()
    matches = [s for s in OUTPUT_KINDS if lower.endswith(s)]
    if not matches:
        known = ", ".join(k.name for k in OUTPUT_KINDS.values())
        raise UsageError(f"-o {output}: unknown output kind {Path(output).suffix!r} (known: {known}; "
                         "a directory, or - for standard output)")
    return OUTPUT_KINDS[max(matches, key=len)]


def output_paths(dirs: Sequence[str], output: str) -> tuple[list[Path], Path | None, OutputKind]:
    """The file each directory is written to, the directory to create for them (None when -o
    names one file, or standard output), and the kind written."""
    kind = output_kind(output)
    if kind is not None:
        if len(dirs) != 1:
            what = "standard output" if output == STDOUT else f"a {kind.name} file"
            raise UsageError(f"-o {output}: {what} takes one directory, not {len(dirs)}; "
                             "give a directory")
        return [Path(output)], None, kind
    paths = [Path(output) / f"{run_name(d)}.mzML" for d in dirs]
    first: dict[Path, str] = {}
    for d, p in zip(dirs, paths):
        if p in first:
            raise UsageError(f"{first[p]} and {d} would both be written to {p}")
        first[p] = d
    return paths, Path(output), OUTPUT_KINDS[".mzml"]


def _bound(text: str, option: str, kind: Callable[[str], Any]) -> Any:
    if not text:
        return None
    try:
        value = kind(text)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or value < 0:
        raise UsageError(f"{option}: {text!r} is not a number of 0 or more")
    if kind is int and value > INT_MAX:
        raise UsageError(f"{option}: {text!r} is more than {INT_MAX}")
    return value


def selection(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of to_mzml that --ms-level, --rt, --scans and --polarity give."""
    out: dict[str, Any] = {}
    if args.ms_level is not None:
        low, dash, high = args.ms_level.partition("-")
        if not low.isdecimal() or not (high.isdecimal() or not high) or int(low) < 1:
            raise UsageError(f"--ms-level {args.ms_level}: expected N, N- or N-M")
        if max(int(low), int(high or 0)) > INT_MAX:
            raise UsageError(f"--ms-level {args.ms_level}: MS levels go up to {INT_MAX}")
        if high and int(high) < int(low):
            raise UsageError(f"--ms-level {args.ms_level}: the end comes before the start")
        out["ms_level"] = (int(low), int(high) if high else None) if dash else int(low)
    for option, key, kind in (("--rt", "rt", float), ("--scans", "scans", int)):
        text = getattr(args, key)
        if text is None:
            continue
        start, colon, end = text.partition(":")
        if not colon:
            raise UsageError(f"{option} {text}: expected START:END")
        pair = (_bound(start, option, kind), _bound(end, option, kind))
        if pair[0] is not None and pair[1] is not None and pair[1] < pair[0]:
            raise UsageError(f"{option} {text}: the end comes before the start")
        out[key] = pair
    if args.polarity is not None:
        out["polarity"] = args.polarity
    return out


def check_numpress(text: str) -> None:
    """UsageError unless `text` names MS-Numpress codes that to_mzml takes."""
    from ._core import _check_numpress

    try:
        _check_numpress(text)
    except ValueError as exc:
        raise UsageError(f"--numpress {text}: {exc}") from None


def check_count(option: str, value: int | None) -> None:
    """UsageError unless `value` (of --jobs or --threads) is None or 1 to INT_MAX."""
    if value is not None and value < 1:
        raise UsageError(f"{option} must be at least 1")
    if value is not None and value > INT_MAX:
        raise UsageError(f"{option} must be at most {INT_MAX}")


def _same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: the same file where both exist, else the same place."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def _convert(args: argparse.Namespace) -> int:
    from concurrent.futures import ThreadPoolExecutor, as_completed

    from tqdm import tqdm

    try:
        check_count("--jobs", args.jobs)
        # An empty -o would be the working directory, an empty --metadata no file at all.
        for option, given in (("-o", args.output), ("--metadata", args.metadata)):
            if given == "":
                raise UsageError(f"{option}: the path is empty")
        if args.metadata is not None and args.metadata.endswith("/"):
            raise UsageError(f"--metadata {args.metadata}: names a directory, not FILE.json")
        outputs, out_dir, kind = output_paths(args.dirs, args.output)
        if args.metadata is not None and len(args.dirs) != 1:
            raise UsageError(f"--metadata takes one directory, not {len(args.dirs)}")
        if args.metadata is not None and args.output != STDOUT and _same_file(
                args.metadata, str(outputs[0])):
            raise UsageError(f"--metadata {args.metadata}: the output file itself ({outputs[0]})")
        args.selected = selection(args)
        if args.numpress is not None:
            check_numpress(args.numpress)
        if not kind.mzml_options:
            given = [option for option, value in (
                ("--strict", args.strict), ("--ms-level", args.ms_level), ("--rt", args.rt),
                ("--scans", args.scans), ("--polarity", args.polarity),
                ("--numpress", args.numpress)) if value]
            if given:
                raise UsageError(f"{', '.join(given)}: mzML output only, not {kind.name}")
    except UsageError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    if out_dir is not None:
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            print(f"{PROG}: {exc}", file=sys.stderr)
            return 1
    # A file size limit then fails the write (EFBIG) instead of killing the process mid-file.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    args.threads = args.threads if args.threads is not None else max(1, (os.cpu_count() or 1) // args.jobs)
    stop = threading.Event()
    lock = threading.Lock()

    with tqdm(total=0, desc="converting", unit="scan", disable=None, leave=False,
              file=sys.stderr) as bar:

        def convert_one(directory: str, output: Path
                        ) -> ConversionSummary | MgfSummary | MzPeakSummary:
            seen = 0

            def check() -> None:
                if stop.is_set():
                    raise KeyboardInterrupt

            def progress(done: int, total: int) -> None:
                nonlocal seen
                check()
                bar.update(done - seen)
                seen = done

            with open_acquisition(directory, check=check) as acq:
                with lock:
                    bar.total = (bar.total or 0) + len(acq)
                    bar.refresh()
                if args.metadata is None:
                    summary = kind.write(acq, output, args, progress)
                    bar.update(len(acq) - seen)
                    return summary
                # The metadata's temporary file first: a place it cannot go fails the run before
                # any output is written.
                f, finish = _atomic_text_file(Path(args.metadata), args.overwrite)
                try:
                    summary = kind.write(acq, output, args, progress)
                    bar.update(len(acq) - seen)
                    json.dump(describe(acq, prefer=args.prefer, threads=args.threads, scans=True),
                              f, allow_nan=False)
                except BaseException:
                    finish(False)
                    raise
                finish(True)
            return summary

        failed = 0
        for sig in TERMINATION_SIGNALS:
            signal.signal(sig, _terminated)
        # The pool's threads start converting at once: a signal may come while the rest are
        # still being submitted, so submitting is inside the handled block too.
        pool = ThreadPoolExecutor(max_workers=args.jobs)
        try:
            futures: dict[Any, tuple[str, Path]] = {}
            for d, o in zip(args.dirs, outputs):
                futures[pool.submit(convert_one, d, o)] = (d, o)
            for future in as_completed(futures):
                directory, output = futures[future]
                try:
                    summary = future.result()
                except FileExistsError as exc:
                    failed += 1
                    there = (args.metadata if args.metadata is not None
                             and exc.filename == str(Path(args.metadata)) else output)
                    tqdm.write(f"{PROG}: {directory}: {there} exists; pass --overwrite to "
                               "replace it", file=sys.stderr)
                    continue
                except (FormatError, OSError, ImportError) as exc:
                    failed += 1
                    tqdm.write(f"{PROG}: {directory}: {exc}", file=sys.stderr)
                    continue
                # Standard output may be the file itself.
                tqdm.write(str(summary), file=sys.stderr if str(output) == STDOUT else sys.stdout)
                for w in summary.warnings:
                    tqdm.write(f"{PROG}: {directory}: warning: {w}", file=sys.stderr)
        except KeyboardInterrupt as exc:
            # Running conversions stop at their next scan and remove their temporary files;
            # a second signal meanwhile changes nothing.
            for sig in (signal.SIGINT, *TERMINATION_SIGNALS):
                signal.signal(sig, signal.SIG_IGN)
            stop.set()
            pool.shutdown(wait=True, cancel_futures=True)
            signum = exc.signum if isinstance(exc, Terminated) else signal.SIGINT
            name = "" if signum == signal.SIGINT else f" ({signal.Signals(signum).name})"
            print(f"{PROG}: interrupted{name}", file=sys.stderr)
            return 128 + signum
        finally:
            pool.shutdown(wait=True)
    return 1 if failed else 0


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("dir", help="acquisition directory (the folder holding AcqData/)")
    p.add_argument("--prefer", choices=("profile", "centroid"), default="profile",
                   help="block read first where a scan has both (default: profile)")
    p.add_argument("--threads", type=int, default=None, help="decoding threads (default: all CPUs)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Reads mass-spectrometry acquisition directories.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    info = sub.add_parser("info", help="summary of a directory at a glance")
    _add_common(info)
    info.add_argument("--json", action="store_true", help="one JSON object, for machines")
    info.set_defaults(run=_info)
    plot = sub.add_parser("plot", help="TIC, base-peak chromatogram and the spectrum at the TIC apex")
    _add_common(plot)
    plot.add_argument("-o", "--output", required=True,
                      help="image file to write, of the kind its suffix names (PNG without one)")
    plot.set_defaults(run=_plot)
    convert = sub.add_parser("convert", help="write mzML (one file per directory), MGF or mzPeak")
    convert.add_argument("dirs", nargs="+", metavar="DIR",
                         help="acquisition directory (the folder holding AcqData/)")
    convert.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="where to write; its name sets the form: FILE.mzML (indexed mzML), "
                         "FILE.mzML.gz (the same, gzip-compressed), FILE.mgf (MS/MS spectra), "
                         "RUN.mzpeak (mzPeak, RUN.mzpeak/ unpacked; needs kestrane[parquet]) "
                         "or - (mzML on standard output) "
                         "for one DIR; a name without extension, ending with '/', or an existing "
                         "directory is a directory receiving <DIR's name without .d>.mzML for each "
                         "DIR; any other extension is an error")
    convert.add_argument("--prefer", choices=("profile", "centroid"), default="profile",
                         help="block written where a scan has both (default: profile)")
    convert.add_argument("--centroid", "--peak-picking", dest="centroid", action="store_true",
                         help="write profile spectra as their centroids (peak picking); scans read "
                              "from stored centroids are written as stored")
    convert.add_argument("--no-compression", dest="compression", action="store_false",
                         help="write the arrays without zlib compression")
    convert.add_argument("--numpress", metavar="linear|pic|slof[,...]", default=None,
                         help="MS-Numpress, lossy within a stated bound: linear for the m/z and "
                         "time arrays (error at most 1e-8 of max(value, 1)), pic (intensities "
                         "rounded to integers) or slof (intensities, error at most 2e-4 of "
                         "intensity + 1); one of each kind with a comma (linear,slof). Each code "
                         "applies to its own arrays only; an array a code cannot hold within its "
                         "bound (negative or non-finite values, too large) is written losslessly. "
                         "zlib on top unless --no-compression (default: every array lossless)")
    convert.add_argument("--jobs", type=int, default=1, help="directories converted at once (default: 1)")
    convert.add_argument("--threads", type=int, default=None,
                         help="threads per conversion (default: the CPUs divided by --jobs)")
    convert.add_argument("--overwrite", action="store_true", help="replace existing output files")
    convert.add_argument("--strict", action="store_true",
                         help="a scan that cannot be read fails the conversion (default: written "
                              "empty, the failure noted in the file)")
    convert.add_argument("--ms-level", metavar="N|N-|N-M", help="write only scans of these MS levels")
    convert.add_argument("--rt", metavar="START:END",
                         help="write only scans from START to END minutes (either may be left out)")
    convert.add_argument("--scans", metavar="FIRST:LAST",
                         help="write only records FIRST to LAST (indices from 0; either may be left out)")
    convert.add_argument("--polarity", choices=("positive", "negative"),
                         help="write only scans of this polarity")
    convert.add_argument("--metadata", metavar="FILE.json", default=None,
                         help="also write the run's metadata (what info --json prints) and per-scan "
                         "MS level, RT, TIC and base peak of every record as stored, as JSON "
                         "arrays (one DIR)")
    convert.set_defaults(run=_convert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Paths are printed as their bytes, as os.fsdecode made them, whatever the locale's encoding.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        check_count("--threads", args.threads)
        return run(args)
    except UsageError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    except (FormatError, OSError) as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # info and plot; convert stops its own work and reports
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
