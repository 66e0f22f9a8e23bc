"""Generated runs of the fixed layout, deterministic per seed: scan i depends only on the seed
and i, so a run of any size is generated one scan at a time and its expected values are
regenerated on access instead of kept in memory.

Profile peaks belong to compounds that elute over a few seconds (a Gaussian over retention
time, a few scans wide, each with isotope peaks), so the total ion current rises and falls
with them instead of jumping from scan to scan.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from functools import lru_cache

import numpy as np

from .blocks import FORMAT_PEAK_ARRAYS, FORMAT_PEAK_INTERLEAVED
from .directories import Acquisition, Scan, expected_spectrum, write_acquisition
from .index import U32_MAX

__all__ = [
    "MS1_MZ_RANGE", "CYCLE_MIN", "realistic_intensities", "realistic_scan", "realistic_scans",
    "realistic_run",
]


MS1_MZ_RANGE = (100.0, 1700.0)
CYCLE_MIN = 0.005  # retention time per scan, minutes (0.3 s)
ZERO_RUN_MEAN = 5.0  # points; with SIGNAL_RUN_MEAN gives about 55 % zeros
SIGNAL_RUN_MEAN = 3.6
NOISE_MEAN = 60  # counts above 1 on signal points
PEAKS_PER_POINT = 1 / 250
PEAK_AMPLITUDE_LOG10 = (2.0, 7.0)
PEAK_SIGMA = (0.7, 2.5)  # points
PEAK_HALF_WIDTH = 10  # points evaluated on each side of a peak centre
ELUTION_BLOCK = 64  # scans whose compounds are drawn together
ELUTION_SIGMA_SCANS = (2.0, 6.0)  # 0.6 to 1.8 s: peaks 1.4 to 4.2 s wide at half height
ELUTION_REACH = 4.0  # widths from its apex at which a compound still shows
ELUTION_MAX_POINTS = 200_000  # compounds are drawn for this many points, kept in proportion
ISOTOPES = np.array([1.0, 0.45, 0.12])  # relative heights, 1 m/z unit apart
ISOTOPE_SPACING = 1.0 / (MS1_MZ_RANGE[1] - MS1_MZ_RANGE[0])  # of the axis


@lru_cache(maxsize=64)
def _compound_block(seed: int, block: int) -> tuple[np.ndarray, ...]:
    """Compounds whose apex falls in scans block*64 .. block*64+63: (apex scan, width in scans,
    apex height, position on the axis as a fraction, share u: kept for n points when
    u < n / ELUTION_MAX_POINTS)."""
    rng = np.random.default_rng([seed, 0xE1, block])
    # Peaks per point as the scattered peaks had: PEAKS_PER_POINT over the isotopes and the
    # time a compound shows (about 2 x reach x mean width scans).
    mean_sigma = sum(ELUTION_SIGMA_SCANS) / 2
    per_scan = ELUTION_MAX_POINTS * PEAKS_PER_POINT / len(ISOTOPES) / (1.2 * ELUTION_REACH * mean_sigma)
    count = rng.poisson(per_scan * ELUTION_BLOCK)
    return (block * ELUTION_BLOCK + rng.uniform(0, ELUTION_BLOCK, count), rng.uniform(*ELUTION_SIGMA_SCANS, count),
            10.0 ** rng.uniform(*PEAK_AMPLITUDE_LOG10, count), rng.uniform(0, 1, count), rng.random(count))


def eluting_peaks(seed: int, index: int, n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(centres in points, widths in points, heights) of the isotope peaks that scan ``index`` of
    an ``n``-point axis shows."""
    reach = ELUTION_REACH * ELUTION_SIGMA_SCANS[1]
    first, last = int((index - reach) // ELUTION_BLOCK), int((index + reach) // ELUTION_BLOCK)
    blocks = [_compound_block(seed, b) for b in range(max(first, 0), last + 1)]
    apex, width, height, where, share = (np.concatenate(parts) for parts in zip(*blocks))
    z = (index - apex) / width
    on = (np.abs(z) < ELUTION_REACH) & (share < n / ELUTION_MAX_POINTS)
    h = (height[on] * np.exp(-0.5 * z[on] ** 2))[:, None] * ISOTOPES
    centre = (where[on, None] + ISOTOPE_SPACING * np.arange(len(ISOTOPES))) * n
    sigma = np.broadcast_to(PEAK_SIGMA[0] + (PEAK_SIGMA[1] - PEAK_SIGMA[0]) * where[on, None], h.shape)
    return centre.ravel(), sigma.ravel(), h.ravel()


def realistic_intensities(rng: np.random.Generator, n: int, peaks=None) -> np.ndarray:
    """u32 profile intensities: short zero runs, a small noise floor, Gaussian peaks: ``peaks``
    (centres, widths in points, heights), or sparse peaks drawn here."""
    if n == 0:
        return np.empty(0, dtype=np.uint32)
    pairs = max(16, int(n / (ZERO_RUN_MEAN + SIGNAL_RUN_MEAN) * 1.3) + 16)
    while True:
        runs = np.empty(2 * pairs, dtype=np.int64)
        runs[0::2] = rng.geometric(1 / ZERO_RUN_MEAN, pairs)
        runs[1::2] = rng.geometric(1 / SIGNAL_RUN_MEAN, pairs)
        if runs.sum() >= n:
            break
        pairs *= 2
    signal = np.repeat(np.tile(np.array([False, True]), pairs), runs)[:n]
    values = np.where(signal, 1.0 + np.floor(rng.exponential(NOISE_MEAN, n)), 0.0)
    if peaks is None:
        n_peaks = rng.poisson(n * PEAKS_PER_POINT)
        centres = rng.uniform(0, n, n_peaks)
        sigma = rng.uniform(*PEAK_SIGMA, n_peaks)
        amp = 10.0 ** rng.uniform(*PEAK_AMPLITUDE_LOG10, n_peaks)
    else:
        centres, sigma, amp = peaks
    if len(centres):
        idx = np.floor(centres).astype(np.int64)[:, None] + np.arange(-PEAK_HALF_WIDTH, PEAK_HALF_WIDTH + 1)
        shape = amp[:, None] * np.exp(-0.5 * ((idx - centres[:, None]) / sigma[:, None]) ** 2)
        keep = (idx >= 0) & (idx < n) & (shape >= 1.0)
        np.add.at(values, idx[keep], shape[keep])
    return np.minimum(np.rint(values), U32_MAX).astype(np.uint32)


def realistic_scan(
    index: int,
    *,
    points: int | tuple[int, int] = 5000,
    seed: int = 0,
    ms2_every: int = 4,
    ms2_peaks: bool = True,
    first_scan_id: int = 1,
) -> Scan:
    """Scan ``index`` of a realistic run; depends only on its arguments.

    Scan i is MS2 when ``(i + 1) % ms2_every == 0`` (never when ``ms2_every`` is 0). MS2
    scans cycle profile, peak format 3, peak format 2 (profile only when ``ms2_peaks`` is
    False); each has a precursor and an MRM channel. ``points`` is a count or an inclusive
    (low, high) range drawn per scan.
    """
    rng = np.random.default_rng([seed, index])
    n = points if isinstance(points, int) else int(rng.integers(points[0], points[1] + 1))
    rt = (index + 0.5 * rng.random()) * CYCLE_MIN
    is_ms2 = ms2_every > 0 and (index + 1) % ms2_every == 0
    scan = Scan(scan_id=first_scan_id + index, retention_time_min=rt, ms_level=2 if is_ms2 else 1)
    if not is_ms2:
        scan.mz_range = MS1_MZ_RANGE
        scan.profile = realistic_intensities(rng, n, eluting_peaks(seed, index, n))
        return scan
    ordinal = index // ms2_every
    scan.precursor_mz = round(float(rng.uniform(350.0, 1400.0)), 4)
    scan.mrm_channel = ordinal % 8 + 1
    scan.mz_range = (50.0, scan.precursor_mz + 20.0)
    kind = ordinal % 3 if ms2_peaks else 0
    if kind == 0:
        scan.profile = realistic_intensities(rng, n)
        return scan
    count = int(rng.integers(40, 400))
    mz = np.sort(rng.uniform(scan.mz_range[0], scan.mz_range[1], count))
    intensity = (10.0 ** rng.uniform(2.0, 6.0, count)).astype(np.float32)
    scan.peaks = (mz, intensity)
    scan.peak_format = FORMAT_PEAK_INTERLEAVED if kind == 1 else FORMAT_PEAK_ARRAYS
    return scan


def realistic_scans(n_scans: int, **kwargs) -> Iterator[Scan]:
    """``realistic_scan(i, **kwargs)`` for i in range(n_scans), generated one at a time."""
    for i in range(n_scans):
        yield realistic_scan(i, **kwargs)


class _RegeneratedExpected(Sequence):
    """Expected values of a realistic run, regenerated per scan instead of kept in memory."""

    def __init__(self, n: int, stride: int, omit: frozenset[str], kwargs: dict) -> None:
        self._n, self._stride, self._omit, self._kwargs = n, stride, omit, kwargs

    def __len__(self) -> int:
        return self._n

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[k] for k in range(*i.indices(self._n))]
        if i < 0:
            i += self._n
        if not 0 <= i < self._n:
            raise IndexError(i)
        return expected_spectrum(realistic_scan(i, **self._kwargs), self._stride, self._omit)


def realistic_run(
    path: str | os.PathLike,
    n_scans: int = 200,
    points: int | tuple[int, int] = 5000,
    seed: int = 0,
    ms2_every: int = 4,
    *,
    stride: int = 284,
    ms2_peaks: bool = True,
    omit: Iterable[str] = (),
) -> Acquisition:
    """Writes a realistic run; ``expected`` regenerates each scan on access."""
    kwargs = dict(points=points, seed=seed, ms2_every=ms2_every, ms2_peaks=ms2_peaks)
    acq = write_acquisition(path, realistic_scans(n_scans, **kwargs), stride, omit=omit, keep_expected=False)
    acq.expected = _RegeneratedExpected(n_scans, stride, acq.omitted, kwargs)
    return acq
