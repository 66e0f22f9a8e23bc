"""Plots of a run (matplotlib, the optional extra ``plot``)."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib.figure import Figure

from . import Acquisition

if TYPE_CHECKING:
    from ._core import _Prefer

SCAN_TYPE_NAMES = {1: "full", 2: "SIM"}


def run_name(path: str | bytes) -> str:
    """The run's name for titles: the directory's name without .d (its parent's, given
    AcqData); bytes the file system's encoding cannot decode shown as \\xNN escapes."""
    text = os.fsdecode(path).rstrip("/")
    base = os.path.basename(text)
    if base == "AcqData":
        base = os.path.basename(os.path.dirname(text))
    name = base[:-2] if len(base) > 2 and base[-2:] in (".d", ".D") else base or text
    encoding = sys.getfilesystemencoding()
    return name.encode(encoding, "surrogateescape").decode(encoding, "backslashreplace")


def image_path(output: str | os.PathLike[str]) -> str:
    """The file plot_run writes for `output`: as given, or with .png added where it has no
    suffix. ValueError for a suffix matplotlib cannot write."""
    from matplotlib.backend_bases import FigureCanvasBase

    text = os.fspath(output)
    suffix = os.path.splitext(text)[1][1:].lower()
    if not suffix:
        return text + ("png" if text.endswith(".") else ".png")
    supported = FigureCanvasBase.get_supported_filetypes()
    if suffix not in supported:
        raise ValueError(f"cannot write a .{suffix} image (supported: "
                         f"{', '.join('.' + k for k in sorted(supported))})")
    return text


def scan_type_name(code: int) -> str:
    return SCAN_TYPE_NAMES.get(code, f"scan type {code}")


def plot_run(acq: Acquisition, output: str | os.PathLike[str], *,
             prefer: _Prefer = "profile",
             threads: int | None = None, progress: Callable[..., Any] | None = None,
             ) -> int | None:
    """Draws the run (as ``draw_run``) into an image (of the kind its suffix names, PNG without
    one); returns the index of the scan drawn."""
    path = image_path(output)
    fig, apex = draw_run(acq, prefer=prefer, threads=threads, progress=progress)
    fig.savefig(path, dpi=110)
    return apex


def draw_run(acq: Acquisition, *, prefer: _Prefer = "profile", threads: int | None = None,
             progress: Callable[..., Any] | None = None) -> tuple[Figure, int | None]:
    """The run's chromatograms and one spectrum, as a figure.

    Spectra runs: the TIC and the base-peak chromatogram, one trace per scan type where full
    and SIM scans alternate, then the spectrum at the TIC apex. ICP runs (channels): one trace
    per monitored channel. A scan that could not be decoded is a gap in every trace, not a
    zero. ``progress``: how whole-run passes are made (the command line's chunked pass with its
    bar); by default ``acq.summary()``. Returns the figure and the index of the scan drawn, or
    None when no spectrum holds a point (or the run is of channels).
    """
    if progress is not None:
        summary: dict[str, np.ndarray] = progress(acq, "summary", prefer=prefer, threads=threads,
                                                  desc="summary")
    else:
        summary = acq.summary(prefer=prefer, threads=threads)
    name = run_name(acq.path)
    table = acq.scan_table()
    minutes = summary["retention_time_sec"] / 60.0
    failed = np.array([s not in ("ok", "empty") for s in summary["status"]], dtype=bool)
    words = [r for r in summary["representation"] if r is not None]
    if words and all(r == "channels" for r in words):
        return _draw_channels(acq, name, minutes, failed, prefer, threads), None
    tic = np.where(failed, np.nan, summary["tic"])
    bpc = np.where(failed, np.nan, summary["base_peak_intensity"])
    fig = Figure(figsize=(10, 9), layout="constrained")
    ax_tic, ax_bpc, ax_spec = fig.subplots(3, 1)
    types = table["scan_type"]
    kinds = [int(t) for t in dict.fromkeys(types.tolist())]
    for ax, values, title in ((ax_tic, tic, "Total ion chromatogram"),
                              (ax_bpc, bpc, "Base-peak chromatogram")):
        for t in kinds:
            rows = types == t
            label = scan_type_name(t) if len(kinds) > 1 else None
            ax.plot(minutes[rows], values[rows], lw=0.8, label=label)
        if len(kinds) > 1:
            ax.legend(title="scans")
        ax.set_title(f"{name}: {title}", parse_math=False)
        ax.set(xlabel="retention time (min)", ylabel="intensity")
    finite = np.where(np.isfinite(tic), tic, -np.inf)
    apex = int(np.argmax(finite)) if len(tic) and finite.max() > 0 else None
    if apex is None:
        ax_spec.set_title(f"{name}: no spectrum holds any point", parse_math=False)
    else:
        _draw_spectrum(ax_spec, acq.spectrum(apex, prefer=prefer), name)
    return fig, apex


def _draw_channels(acq: Acquisition, name: str, minutes: np.ndarray, failed: np.ndarray,
                   prefer: _Prefer, threads: int | None) -> Figure:
    traces: dict[tuple[float, float | None], list[tuple[float, float]]] = {}
    for k, s in enumerate(acq.spectra(prefer=prefer, threads=threads)):
        if failed[k]:
            for series in traces.values():
                series.append((minutes[k], np.nan))
            continue
        q1 = s.precursor_channel_mz
        for j, (mz, value) in enumerate(zip(s.mz.tolist(), s.intensity.tolist())):
            first = float(q1[j]) if q1 is not None and float(q1[j]) != mz else None
            traces.setdefault((mz, first), []).append((minutes[k], value))
    fig = Figure(figsize=(10, 5), layout="constrained")
    ax = fig.subplots(1, 1)
    for (mz, first), points in sorted(traces.items(), key=lambda kv: (kv[0][0], kv[0][1] or 0.0)):
        t, v = zip(*points)
        label = f"m/z {mz:g}" if first is None else f"m/z {first:g} -> {mz:g}"
        ax.plot(t, v, lw=0.8, label=label)
    if traces:
        ax.legend(title="channel", fontsize="small")
    ax.set_title(f"{name}: channels", parse_math=False)  # the run's name as it is, never mathtext
    ax.set(xlabel="retention time (min)", ylabel="intensity")
    return fig


def _draw_spectrum(ax: Any, s: Any, name: str) -> None:
    if s.representation == "profile":
        ax.plot(s.mz, s.intensity, lw=0.6, color="tab:green")
    else:
        ax.vlines(s.mz, 0.0, s.intensity, lw=0.8, color="tab:green")
    level = f"MS{s.ms_level}"
    if s.precursor_mz is not None:
        level += f" of m/z {s.precursor_mz:.4f}"
    ax.set_title(f"{name}: scan {s.scan_id} at the TIC apex, {level}, "
                 f"{s.retention_time_sec / 60:.4f} min, {s.representation}, {len(s)} points",
                 parse_math=False)
    ax.set(xlabel="m/z", ylabel="intensity")
