"""Plots of a run (matplotlib, the optional extra ``plot``)."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib.figure import Figure

from . import Acquisition

if TYPE_CHECKING:
    from ._core import _Prefer


def plot_run(acq: Acquisition, output: str | os.PathLike[str], *,
             prefer: _Prefer = "profile",
             threads: int | None = None, progress: Callable[..., Any] | None = None,
             ) -> int | None:
    """Draws the TIC, the base-peak chromatogram and the spectrum at the TIC apex into a PNG.

    ``progress``: how whole-run passes are made (the command line's chunked pass with its bar);
    by default ``acq.tic()`` and ``acq.bpc()``. Returns the index of the scan drawn, or None
    when every spectrum is empty.
    """
    def run(method: str) -> tuple[np.ndarray, ...]:
        if progress is not None:
            result: tuple[np.ndarray, ...] = progress(acq, method, prefer=prefer, threads=threads,
                                                      desc=method)
        else:
            result = getattr(acq, method)(prefer=prefer, threads=threads)
        return result

    rt, tic = run("tic")
    _, bpc = run("bpc")
    fig = Figure(figsize=(10, 9), layout="constrained")
    ax_tic, ax_bpc, ax_spec = fig.subplots(3, 1)
    minutes = rt / 60.0
    ax_tic.plot(minutes, tic, lw=0.8)
    ax_tic.set(title="Total ion chromatogram", xlabel="retention time (min)", ylabel="intensity")
    ax_bpc.plot(minutes, bpc, lw=0.8, color="tab:orange")
    ax_bpc.set(title="Base-peak chromatogram", xlabel="retention time (min)", ylabel="intensity")
    apex = int(np.argmax(tic)) if len(tic) and tic.max() > 0 else None
    if apex is None:
        ax_spec.set_title("No spectrum holds any point")
    else:
        s = acq.spectrum(apex, prefer=prefer)
        _draw_spectrum(ax_spec, s)
    fig.savefig(os.fspath(output), dpi=110)
    return apex


def _draw_spectrum(ax: Any, s: Any) -> None:
    if s.representation == "profile":
        ax.plot(s.mz, s.intensity, lw=0.6, color="tab:green")
    else:
        ax.vlines(s.mz, 0.0, s.intensity, lw=0.8, color="tab:green")
    ax.set(title=f"Spectrum at the TIC apex: scan {s.scan_id}, {s.retention_time_sec / 60:.4f} min, "
                 f"{s.representation}, {len(s)} points",
           xlabel="m/z", ylabel="intensity")
