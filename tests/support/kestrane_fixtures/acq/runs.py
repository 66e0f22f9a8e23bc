"""Generated runs of each family that look like real ones, fast enough for benchmarks.

Compounds elute over retention time (Gaussian chromatographic peaks of a few seconds, so the
TIC shows peaks), each with an isotope pattern; the rest is a noise floor. Scan i depends only on
the seed and i, so large runs are written one scan at a time and their expected values are
regenerated on access. The per-point work is vectorised: a noise floor is a slice of a bank
drawn once per run, and only the few eluting compounds are added per scan.

TOF run-length profiles copy the token mix of instrument blocks: no zero points after the L
leading ones, a noise floor around the 1-/2-byte border (about a third of the points fit one
byte), width switches only after at least four points of a narrower width, rare 4-byte stretches
at the tops of peaks.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, replace

import numpy as np

from .blocks import (
    f32_profile_block, gc_centroid_block, icp_block, lzf_block, rle_block, tof_centroid_block,
)
from .calibration import MassCal, calibrate
from .directory import Block, Content, Family, Run, Scan, Variant, write_run
from .index import (
    COMPRESSION_LZF, COMPRESSION_RAW, COMPRESSION_RLE, KIND_PEAK, KIND_PROFILE, QUANTITY_ABUNDANCE,
    QUANTITY_FLIGHT_TIME, QUANTITY_ICP_COUNTS, QUANTITY_ICP_PULSE, QUANTITY_ICP_THIRD,
    QUANTITY_MZ, SPACING_EXPLICIT, SPACING_START_STEP, STORAGE_F32, STORAGE_F64, STORAGE_INT32,
    Axis, FormatEntry,
)
from .metadata import Channel

__all__ = ["FAMILIES", "DEFAULT_SIZES", "Compounds", "acq_run"]

ISOTOPE_SPACING = 1.003355
_TOF_PROFILE_AXES = (Axis(QUANTITY_FLIGHT_TIME, STORAGE_F64, SPACING_START_STEP),
                     Axis(QUANTITY_ABUNDANCE, STORAGE_INT32, SPACING_EXPLICIT))
_TOF_PEAK = FormatEntry(2, KIND_PEAK, COMPRESSION_RAW, 8,
                        (Axis(QUANTITY_FLIGHT_TIME, STORAGE_F64, SPACING_EXPLICIT),
                         Axis(QUANTITY_ABUNDANCE, STORAGE_F32, SPACING_EXPLICIT)))
_MZ_PEAK_F32 = (Axis(QUANTITY_MZ, STORAGE_F64, SPACING_EXPLICIT), Axis(QUANTITY_ABUNDANCE, STORAGE_F32, SPACING_EXPLICIT))
_ICP_AXES = (Axis(QUANTITY_MZ, STORAGE_F32, SPACING_EXPLICIT), Axis(QUANTITY_ICP_COUNTS, STORAGE_F64, SPACING_EXPLICIT),
             Axis(QUANTITY_ICP_PULSE, STORAGE_F64, SPACING_EXPLICIT), Axis(QUANTITY_ICP_THIRD, STORAGE_F64, SPACING_EXPLICIT))

FAMILIES: dict[str, Family] = {
    "tof-rle": Family("tof-rle", "tof-v1", 1, (
        FormatEntry(1, KIND_PROFILE, COMPRESSION_RLE, 1, _TOF_PROFILE_AXES), _TOF_PEAK), 4, "mstns:"),
    "tof-rle-older": Family("tof-rle-older", "tof-v1-older", 1, (
        FormatEntry(1, KIND_PROFILE, COMPRESSION_RLE, 1, _TOF_PROFILE_AXES), _TOF_PEAK), 6),
    "tof-lzf": Family("tof-lzf", "tof-v1", 2, (
        FormatEntry(1, KIND_PROFILE, COMPRESSION_LZF, 1, _TOF_PROFILE_AXES), _TOF_PEAK), 4),
    "tof-centroid": Family("tof-centroid", "tof-v2", 2, (
        FormatEntry(1, KIND_PROFILE, COMPRESSION_RLE, 1, _TOF_PROFILE_AXES), _TOF_PEAK), 6, "mstns:"),
    "gc": Family("gc", "gc", 1, (
        FormatEntry(1, KIND_PEAK, COMPRESSION_RAW, 8, (Axis(QUANTITY_MZ, STORAGE_F64, SPACING_EXPLICIT),
                                                       Axis(QUANTITY_ABUNDANCE, STORAGE_F64, SPACING_EXPLICIT))),), 2),
    "quad": Family("quad", "quad-v2", 1, (
        FormatEntry(1, KIND_PEAK, COMPRESSION_RAW, 8, _MZ_PEAK_F32),
        FormatEntry(2, KIND_PROFILE, COMPRESSION_RAW, 1, (Axis(QUANTITY_MZ, STORAGE_F64, SPACING_START_STEP),
                                                          Axis(QUANTITY_ABUNDANCE, STORAGE_F32, SPACING_EXPLICIT))),
        FormatEntry(3, KIND_PEAK, COMPRESSION_RAW, 4, _MZ_PEAK_F32)), 5),
    "icp": Family("icp", "icp", 1, (FormatEntry(1, KIND_PROFILE, COMPRESSION_RAW, 2, _ICP_AXES),), 2),
}
FAMILIES["icp-no-schema"] = FAMILIES["icp"]

# (scans, points) when the command line gives none.
DEFAULT_SIZES = {"tof-rle": (200, 100_000), "tof-rle-older": (200, 100_000), "tof-lzf": (200, 75_000),
                 "tof-centroid": (100, 6000), "gc": (400, 195), "quad": (49, 5121), "icp": (200, 2),
                 "icp-no-schema": (200, 3)}


# --- Elution -----------------------------------------------------------------------------------
@dataclass
class Compounds:
    """Compounds eluting over the run: monoisotopic m/z, apex and width in minutes, height."""

    mz: np.ndarray
    apex_min: np.ndarray
    sigma_min: np.ndarray
    height: np.ndarray
    isotopes: np.ndarray  # (compounds, 4) relative heights, monoisotopic = 1

    @classmethod
    def make(cls, rng: np.random.Generator, rt_end_min: float, *, per_minute: float = 40.0,
             mz_range=(120.0, 1400.0), height_log10=(2.5, 5.5), sigma_sec=(1.0, 2.5)) -> Compounds:
        n = max(4, int(per_minute * rt_end_min))
        mz = rng.uniform(*mz_range, n)
        carbons = mz / 14.0
        lam = 0.0107 * carbons  # 13C atoms per molecule: a Poisson number
        k = np.arange(4)
        iso = lam[:, None] ** k / np.array([math.factorial(j) for j in k])
        return cls(mz, rng.uniform(-0.05, 1.05, n) * rt_end_min, rng.uniform(*sigma_sec, n) / 60.0,
                   10.0 ** rng.uniform(*height_log10, n), iso)

    def eluting(self, rt_min: float) -> tuple[np.ndarray, np.ndarray]:
        """(indices, height at rt) of the compounds within four widths of their apex."""
        z = (rt_min - self.apex_min) / self.sigma_min
        idx = np.flatnonzero(np.abs(z) < 4.0)
        return idx, self.height[idx] * np.exp(-0.5 * z[idx] ** 2)

    def peaks(self, rt_min: float, mz_limit: float = np.inf) -> tuple[np.ndarray, np.ndarray]:
        """(m/z, height) of every isotope peak of the eluting compounds."""
        idx, h = self.eluting(rt_min)
        mz = (self.mz[idx, None] + ISOTOPE_SPACING * np.arange(4)).ravel()
        height = (h[:, None] * self.isotopes[idx]).ravel()
        keep = (height >= 1.0) & (mz < mz_limit)
        return mz[keep], height[keep]


def _rng(seed: int, *key: int) -> np.random.Generator:
    return np.random.default_rng([seed, *key])


# --- TOF ---------------------------------------------------------------------------------------
TOF_A = 5.7282e-4  # sqrt(m/z) per ns
TOF_T0 = 1017.4
TOF_FLAGS = 0b110000010111  # polynomial orders 0, 1, 2, 4, 10, 11
TOF_COEFFICIENTS = (0.0194, -1.598e-6, 3.2126e-11, -3.524e-21, 2.077e-50, -1.991e-55)
TOF_RESOLUTION = 2000.0  # profile peaks of summed transients: tens of samples wide
NOISE_BANK = 1 << 20
# Tuned so that run-length blocks of 127,616 points at 0.5 ns match instrument blocks: about
# 36 % one-byte and 64 % two-byte literals, 0.2-0.4 % four-byte, a width switch per 17-20
# points, 1.72 bytes per point, and the same value percentiles (5 %: 55, median: 150).
BACKGROUND_IONS = 500  # ions present in every scan (solvent, column bleed)
BACKGROUND_LOG10 = (2.4, 4.0)  # heights, log10 counts
ANALYTES_PER_MINUTE = 60.0
ANALYTE_LOG10 = (3.5, 5.7)
FLOOR = (0.2, 1.2, 8)  # noise floor bank: offset, gamma shape, smoothing width
FLOOR_LEVEL = 155.0  # counts at the start of the axis, falling to two thirds at its end


def flight_time(mz, a: float = TOF_A, t0: float = TOF_T0):
    """Inverse of the calibration's square term (the polynomial is a small correction)."""
    return t0 + np.sqrt(mz) / a


class _Tof:
    """Shared by the TOF families: calibrations, axis, compounds, noise banks."""

    def __init__(self, seed: int, n_scans: int, n_points: int, cycle_sec: float, *,
                 mz_low: float, mz_high: float, sparse: bool = False) -> None:
        rng = _rng(seed, 1)
        self.seed, self.n_scans, self.n, self.cycle_min = seed, n_scans, n_points, cycle_sec / 60.0
        t_low, t_high = flight_time(mz_low), flight_time(mz_high)
        # A power-of-two sampling interval, the nearest to covering the range with the points.
        self.x_step = 2.0 ** round(math.log2(max((t_high - t_low) / max(n_points, 1), 2.0**-6)))
        self.x_start = float(np.floor(t_low))
        self.t_min, self.t_max = float(flight_time(mz_low * 1.6)), float(flight_time(mz_high * 0.9))
        self.default = MassCal(TOF_A, TOF_T0, self.t_min, self.t_max, TOF_FLAGS, TOF_COEFFICIENTS)
        drift = rng.normal(0.0, 1.0, (n_scans, 2)).cumsum(axis=0) / math.sqrt(max(n_scans, 1))
        self.rows = [MassCal(TOF_A * (1.0 + 2e-6 * d[0]), TOF_T0 + 0.01 * d[1], self.t_min, self.t_max,
                             TOF_FLAGS, tuple(c * (1.0 + 1e-3 * d[0]) for c in TOF_COEFFICIENTS))
                     for d in drift]
        # A zero-suppressed (sparse) profile holds far fewer counts than a full one.
        scale = -2.0 if sparse else 0.0
        self.compounds = Compounds.make(rng, n_scans * self.cycle_min, per_minute=ANALYTES_PER_MINUTE,
                                        height_log10=tuple(h + scale for h in ANALYTE_LOG10))
        # Background ions present in every scan: steady, so the TIC's shape is the analytes'.
        nb = BACKGROUND_IONS // (4 if sparse else 1)
        self.background = Compounds(rng.uniform(mz_low, mz_high, nb), np.zeros(nb), np.full(nb, 1e9),
                                    10.0 ** rng.uniform(*(h + scale for h in BACKGROUND_LOG10), nb),
                                    np.tile([[1.0, 0.3, 0.05, 0.0]], (nb, 1)))
        self.lead = int(rng.integers(16, 33))
        self.mz_limit = float(calibrate(self.x_start + self.x_step * (n_points - 1), self.default))
        self.steady = np.zeros(n_points, dtype=np.float32)
        self._add_peaks(self.steady, *self.background.peaks(0.0, self.mz_limit), rng)
        if sparse:
            self.bank = _sparse_bank(rng, NOISE_BANK + n_points)
            self.floor = np.float32(1.0)
        else:
            self.bank = _floor_bank(rng, NOISE_BANK + n_points)
            k = np.linspace(0.0, 1.0, n_points, dtype=np.float32)
            self.floor = (FLOOR_LEVEL * (1.0 - 0.35 * k + 0.15 * np.sin(7.0 * k))).astype(np.float32)

    def rt(self, i: int) -> float:
        return (i + 1) * self.cycle_min

    def axis(self) -> np.ndarray:
        return np.arange(self.n, dtype=np.float64) * self.x_step + self.x_start

    def counts(self, i: int) -> np.ndarray:
        """Profile counts of scan i: noise floor, background ions, eluting compounds."""
        rng = _rng(self.seed, 2, i)
        start = int(rng.integers(NOISE_BANK))
        v = self.bank[start : start + self.n] * self.floor
        v += self.steady
        self._add_peaks(v, *self.compounds.peaks(self.rt(i), self.mz_limit), rng)
        v[: self.lead] = 0.0
        return np.rint(np.minimum(v, 2.0e9)).astype(np.int64)

    def _add_peaks(self, v: np.ndarray, mz: np.ndarray, height: np.ndarray, rng) -> None:
        if not len(mz):
            return
        t = flight_time(mz)
        centre = (t - self.x_start) / self.x_step
        sigma = t / (2.0 * TOF_RESOLUTION) / 2.3548 / self.x_step
        half = int(np.clip(np.ceil(4.0 * sigma.max()), 2, 60))
        idx = np.floor(centre).astype(np.int64)[:, None] + np.arange(-half, half + 1)
        shape = height[:, None] * np.exp(-0.5 * ((idx - centre[:, None]) / sigma[:, None]) ** 2)
        shape += rng.normal(0.0, 1.0, shape.shape) * np.sqrt(shape)  # counting noise
        keep = (idx >= 0) & (idx < self.n) & (shape >= 0.5)
        np.add.at(v, idx[keep], shape[keep].astype(np.float32))

    def centroids(self, i: int, count: int) -> tuple[np.ndarray, np.ndarray]:
        """Flight times (f64) and heights (f32) of the eluting peaks, plus small noise peaks up to
        ``count`` points, in flight-time order."""
        rng = _rng(self.seed, 3, i)
        rt = self.rt(i)
        mz, height = self.compounds.peaks(rt)
        bmz, bheight = self.background.peaks(rt)
        mz, height = np.concatenate((mz, bmz)), np.concatenate((height, bheight))
        keep = height >= 5.0
        t = flight_time(mz[keep]) + rng.normal(0.0, 0.02, int(keep.sum()))
        y = height[keep]
        extra = max(0, count - len(t))
        t = np.concatenate((t, rng.uniform(self.x_start, self.x_start + self.x_step * self.n, extra)))
        y = np.concatenate((y, 2.0 + rng.exponential(20.0, extra)))
        tallest = np.sort(np.argsort(y, kind="stable")[::-1][:count])
        order = tallest[np.argsort(t[tallest], kind="stable")]
        return t[order], y[order].astype(np.float32)


def _floor_bank(rng: np.random.Generator, n: int) -> np.ndarray:
    """Multipliers for an instrument's noise floor: correlated over a few points (detector
    pulses are wider than one sample), so stretches below and above the 1-byte limit last
    several points, as in real blocks."""
    offset, shape, width = FLOOR
    g = rng.standard_gamma(shape, n + width).astype(np.float32) / np.float32(shape)
    smooth = np.convolve(g, np.full(width, 1.0 / width, dtype=np.float32), mode="valid")[:n]
    return (np.float32(offset) + np.float32(1.0 - offset) * smooth * smooth).astype(np.float32)


def _sparse_bank(rng: np.random.Generator, n: int) -> np.ndarray:
    """Zero-suppressed low counts: alternating zero runs (mean 3.7 points) and runs of small
    counts (mean 2.8 points), as whole-block LZF profiles hold."""
    pairs = n // 5 + 16
    runs = np.empty(2 * pairs, dtype=np.int64)
    runs[0::2] = rng.geometric(1 / 3.7, pairs)
    runs[1::2] = rng.geometric(1 / 2.8, pairs)
    on = np.repeat(np.tile(np.array([0.0, 1.0], dtype=np.float32), pairs), runs)[:n]
    return on * (np.float32(1.0) + np.floor(rng.exponential(6.0, n)).astype(np.float32))


def _profile_fields(counts: np.ndarray, axis_mz: np.ndarray) -> tuple[dict, dict]:
    """Record and block fields of a TOF profile: TIC, base peak by the default calibration."""
    top = int(np.argmax(counts)) if len(counts) else 0
    fields = {"TIC": float(counts.sum()), "BasePeakMZ": float(axis_mz[top]) if len(counts) else 0.0,
              "BasePeakValue": float(counts[top]) if len(counts) else 0.0}
    block = {"MinX": float(axis_mz[0]), "MaxX": float(axis_mz[-1]), "MinY": 0.0,
             "MaxY": float(counts.max()) if len(counts) else 0.0, "MeasuredNoise": 0.0}
    return fields, block


def _tof_fields(tof: _Tof, i: int, polarity: int) -> dict:
    return {"ScanID": 2460 + 3 * i, "ScanMethodID": 1, "TimeSegmentID": 1, "ScanTime": tof.rt(i),
            "MSLevel": 1, "ScanType": 1, "CalibrationID": 2, "CycleNumber": i + 1, "IonMode": 64,
            "IonPolarity": polarity, "Fragmentor": 175.0, "CollisionEnergy": 0.0,
            "AbundanceLimit": 1.5e7, "SamplingPeriod": tof.x_step, "Threshold": 0.0,
            "ChromScaleFactor": 1.0}


def _tof_rle_run(path, family: Family, n_scans: int, n_points: int, seed: int, variant: Variant,
                 keep_expected) -> Run:
    tof = _Tof(seed, n_scans, n_points, 0.5, mz_low=45.0, mz_high=3200.0)
    axis_mz = calibrate(tof.axis(), tof.default)

    def make(i: int) -> Scan:
        counts = tof.counts(i)
        record, block_fields = _profile_fields(counts, axis_mz)
        block_fields["UncompressedByteCount"] = 16 + 4 * n_points  # means nothing for run-length
        content = Content("profile", tof.axis(), counts.astype(np.float64), flight_time=True)
        data = rle_block(tof.x_start, tof.x_step, counts)
        fields = _tof_fields(tof, i, 1) | record
        return Scan(fields, [Block(1, data, n_points, content, block_fields)])

    return write_run(path, family, n_scans, make, variant=variant, calibrations=tof.rows,
                     default_calibrations={1: tof.rows[0], 2: tof.default}, keep_expected=keep_expected)


def _tof_lzf_run(path, family, n_scans, n_points, seed, variant, keep_expected) -> Run:
    tof = _Tof(seed, n_scans, n_points, 0.2, mz_low=95.0, mz_high=1000.0, sparse=True)
    axis_mz = calibrate(tof.axis(), tof.default)

    def make(i: int) -> Scan:
        counts = tof.counts(i)
        record, profile_fields = _profile_fields(counts, axis_mz)
        data, payload = lzf_block(tof.x_start, tof.x_step, counts)
        profile_fields["UncompressedByteCount"] = payload
        t, y = tof.centroids(i, 40)
        peak_mz = calibrate(t, tof.default)
        # Peak blocks carry the profile block's UncompressedByteCount: never decide from it.
        peak_fields = {"UncompressedByteCount": payload, "MinX": float(peak_mz[0]) if len(t) else 0.0,
                       "MaxX": float(peak_mz[-1]) if len(t) else 0.0, "MinY": 0.0,
                       "MaxY": float(y.max()) if len(t) else 0.0}
        fields = _tof_fields(tof, i, 0) | record | {"Fragmentor": 0.0}
        return Scan(fields, [
            Block(1, data, n_points, Content("profile", tof.axis(), counts.astype(np.float64), True),
                  profile_fields),
            Block(2, tof_centroid_block(t, y), len(t),
                  Content("centroid", t, y.astype(np.float64), True), peak_fields)])

    return write_run(path, family, n_scans, make, variant=variant,
                     default_calibrations={2: tof.default}, keep_expected=keep_expected)


def _tof_centroid_run(path, family, n_scans, n_points, seed, variant, keep_expected) -> Run:
    tof = _Tof(seed, n_scans, 4096, 0.9, mz_low=95.0, mz_high=1700.0)

    def make(i: int) -> Scan:
        counts = tof.counts(i)
        profile = Block(1, rle_block(tof.x_start, tof.x_step, counts), len(counts),
                        Content("profile", tof.axis(), counts.astype(np.float64), True),
                        {"UncompressedByteCount": 16 + 4 * len(counts)})
        fields = _tof_fields(tof, i, 1) | {"ChargeState": 0, "MzIsolationWidth": 0.0}
        if i % 4 == 3:  # a product-ion scan after three full scans; every other one of known charge
            fields |= {"MSLevel": 2, "ScanType": 512, "CollisionEnergy": 25.0,
                       "MzOfInterest": 400.0 + 7.25 * i, "MzIsolationWidth": 1.25,
                       "ChargeState": 2 + (i // 8) % 2 if i % 8 == 3 else 0}
        if i == 0:  # the first scan of a run may hold no centroids: an empty block
            return Scan(fields, [profile, Block(2, b"", 0)])
        t, y = tof.centroids(i, n_points)
        mz = calibrate(t, tof.default)
        top = int(np.argmax(y))
        fields |= {"TIC": float(y.astype(np.float64).sum()), "BasePeakMZ": float(mz[top]),
                   "BasePeakValue": float(y[top])}
        peak = Block(2, tof_centroid_block(t, y), len(t), Content("centroid", t, y.astype(np.float64), True),
                     {"MinX": float(mz[0]), "MaxX": float(mz[-1]), "MinY": float(y.min()), "MaxY": float(y.max())})
        return Scan(fields, [profile, peak])

    return write_run(path, family, n_scans, make, variant=variant, calibrations=tof.rows,
                     default_calibrations={1: tof.rows[0], 2: tof.default}, keep_expected=keep_expected)


# --- GC ----------------------------------------------------------------------------------------
SIM_MZ = (130.99, 202.0)


def _gc_run(path, family, n_scans, n_points, seed, variant, keep_expected) -> Run:
    rng = _rng(seed, 4)
    cycle_min = 0.195 / 60.0
    compounds = Compounds.make(rng, n_scans * cycle_min, per_minute=6.0, mz_range=(80.0, 450.0),
                               height_log10=(3.0, 6.0), sigma_sec=(1.0, 2.0))
    # Electron-ionisation fragments per compound: nominal masses below the molecular ion.
    shape = (len(compounds.mz), 40)
    frag_mz = np.maximum(50.0, np.floor(rng.uniform(0.15, 1.0, shape) * compounds.mz[:, None]))
    frag_mz = frag_mz + rng.uniform(-0.02, 0.02, shape)
    frag_rel = rng.power(0.3, shape)

    def make(i: int) -> Scan:
        r = _rng(seed, 5, i)
        rt = (i + 1) * cycle_min
        idx, h = compounds.eluting(rt)
        sim = i % 2 == 0
        if sim:
            mz = np.array(SIM_MZ)
            y = 150.0 + r.exponential(40.0, 2) + h.sum() * np.array([0.02, 0.005])
        else:
            mz = frag_mz[idx].ravel()
            y = (h[:, None] * frag_rel[idx]).ravel()
            noise = int(r.integers(45, 60))
            mz = np.concatenate((mz, r.uniform(50.0, 550.0, noise)))
            y = np.concatenate((y, 100.0 + r.exponential(60.0, noise)))
            keep = y >= 100.0
            mz, y = mz[keep], y[keep]
            order = np.argsort(y)[::-1][:n_points]
            mz, y = mz[order], y[order]
            order = np.argsort(mz, kind="stable")
            mz, y = mz[order], y[order]
        mz = mz.astype(np.float32).astype(np.float64)  # stored m/z are float32 values
        y = np.round(y, 3)
        top = int(np.argmax(y))
        fields = {"ScanID": i + 1, "ScanMethodID": 2 if sim else 1, "TimeSegmentID": 1, "ScanTime": rt,
                  "MSLevel": 1, "ScanType": 2 if sim else 1, "TIC": float(math.floor(y.sum())),
                  "BasePeakMZ": float(mz[top]), "BasePeakValue": float(y[top]), "CycleNumber": i // 2 + 1,
                  "IonMode": 1, "IonPolarity": 0, "SamplingPeriod": 0.0,
                  "MeasuredMassRangeMin": 50.0, "MeasuredMassRangeMax": 550.0}
        # Record MinX/MaxX are m/z / 20 here: never build an axis from them.
        block_fields = {"MinY": float(y.min()), "MaxY": float(y.max()), "MinX": float(mz[0]) / 20.0,
                        "MaxX": float(mz[-1]) / 20.0}
        return Scan(fields, [Block(1, gc_centroid_block(mz, y), len(mz), Content("centroid", mz, y), block_fields)])

    return write_run(path, family, n_scans, make, variant=variant, keep_expected=keep_expected)


# --- LC quadrupole -----------------------------------------------------------------------------
QUAD_X_STEP = float(np.float32(0.1))  # a float32 step widened to double
QUAD_PRECURSOR = float(np.float32(611.3))


def _quad_run(path, family, n_scans, n_points, seed, variant, keep_expected) -> Run:
    rng = _rng(seed, 6)
    cycle_min = 0.5 / 60.0
    x = np.arange(n_points, dtype=np.float64) * QUAD_X_STEP + 100.0
    frag_mz = np.sort(rng.uniform(100.0, QUAD_PRECURSOR, 25))
    frag_rel = rng.power(0.4, 25)
    apex, sigma = n_scans * cycle_min * 0.5, 3.0 / 60.0

    def make(i: int) -> Scan:
        r = _rng(seed, 7, i)
        rt = (i + 0.014) * cycle_min
        elution = 60.0 * math.exp(-0.5 * ((rt - apex) / sigma) ** 2) + 2.0
        y = r.exponential(0.4, n_points)
        for m, rel in zip(frag_mz, frag_rel):
            centre = (m - 100.0) / QUAD_X_STEP
            lo, hi = max(0, int(centre) - 12), min(n_points, int(centre) + 13)
            k = np.arange(lo, hi)
            y[lo:hi] += elution * rel * np.exp(-0.5 * ((k - centre) / 2.5) ** 2)
        y32 = y.astype(np.float32)
        y64 = y32.astype(np.float64)
        top = int(np.argmax(y32))
        fields = {"ScanID": i + 1, "ScanMethodID": 1, "TimeSegmentID": 1, "ScanTime": rt, "MSLevel": 2,
                  "ScanType": 512, "TIC": float(y64.sum()), "BasePeakMZ": float(x[top]),
                  "BasePeakValue": float(y64[top]), "CycleNumber": i + 1, "IonMode": 2, "IonPolarity": 0,
                  "Fragmentor": 175.0, "CollisionEnergy": 20.0, "MzOfInterest": QUAD_PRECURSOR,
                  "SamplingPeriod": 0.1, "DwellTime": 0, "MeasuredMassRangeMin": 100.0,
                  "MeasuredMassRangeMax": float(x[-1])}
        block_fields = {"MinX": 100.0, "MaxX": float(x[-1]), "MinY": float(y64.min()), "MaxY": float(y64.max())}
        data = f32_profile_block(100.0, QUAD_X_STEP, y32)
        return Scan(fields, [Block(2, data, n_points, Content("profile", x, y64), block_fields)])

    return write_run(path, family, n_scans, make, variant=variant, keep_expected=keep_expected)


# --- ICP ---------------------------------------------------------------------------------------
_SINGLE_QUAD = (Channel(1, 1.0, "C", float(np.float32(0.2)), 12.0, 12.0),
                Channel(2, 2.0, "C", float(np.float32(0.2)), 13.0, 13.0))
_MS_MS = (Channel(1, 1.0, "P", float(np.float32(0.2)), 31.0, 47.0),
          Channel(2, 2.0, "S", float(np.float32(0.2)), 32.0, 48.0),
          Channel(3, 3.0, "As", float(np.float32(0.3)), 75.0, 91.0))
_NO_SCHEMA = (Channel(1, 31.0, "P", float(np.float32(0.16)), 31.0, 31.0),
              Channel(2, 153.0, "Eu", float(np.float32(0.16)), 153.0, 153.0),
              Channel(3, 182.0, "W", float(np.float32(0.17)), 182.0, 182.0))
ANALOG_ABOVE = 2.0e6  # counts read in analog mode: the pulse value is -1.0


def _icp_run(path, family, n_scans, n_points, seed, variant, keep_expected, *, no_schema: bool) -> Run:
    rng = _rng(seed, 8)
    if no_schema:
        channels = _NO_SCHEMA[: max(1, min(n_points, 3))]
    else:
        channels = _MS_MS if variant.xaddition == "MS_MS" else _SINGLE_QUAD
    n = len(channels)
    cycle_min = 0.4 / 60.0
    level = rng.uniform(20.0, 2e5, n) * np.array([10.0 ** -j for j in range(n)])
    transient = Compounds.make(rng, n_scans * cycle_min, per_minute=3.0, height_log10=(4.0, 6.8),
                               sigma_sec=(2.0, 6.0))
    # X: the channel index, or the mass itself where no MSTS_XAddition.xml maps indices.
    x = np.array([c.mass for c in channels], dtype=np.float32)

    def make(i: int) -> Scan:
        r = _rng(seed, 9, i)
        rt = (i + 0.5) * cycle_min
        _, h = transient.eluting(rt)
        counts = level * (1.0 + 0.05 * r.standard_normal(n)) + h.sum() * np.linspace(1.0, 0.01, n)
        counts = counts * (1.0 + r.uniform(0.0, 1e-5, n))  # reported counts are not integers
        analog = counts > ANALOG_ABOVE
        pulse = np.where(analog, -1.0, counts)
        third = np.where(analog, counts * 1.0e-3, 0.0)
        top = int(np.argmax(counts))
        fields = {"ScanID": i + 1, "ScanMethodID": 1, "TimeSegmentID": 1, "ScanTime": rt,
                  "MSLevel": 1 if no_schema else 2, "ScanType": 1 if no_schema else 256,
                  "TIC": float(counts.sum()), "BasePeakMZ": float(x[top]), "BasePeakValue": float(counts[top]),
                  "Status": 0, "IonMode": 1024, "IonPolarity": 0, "SamplingPeriod": 0.05}
        block_fields = {"MinX": float(x.min()), "MaxX": float(x.max()), "MinY": float(counts.min()),
                        "MaxY": float(counts.max())}
        content = Content("channels", x.astype(np.float64), counts)
        block = Block(1, icp_block(x, counts, pulse, third), n, content, block_fields)
        masses = np.array([c.precursor_mz if no_schema else c.product_mz for c in channels])
        return Scan(fields, [block], xspecific=(masses, np.where(analog, 2, 1)))

    if no_schema:
        variant = replace(variant, schema=False, xaddition=None)
    return write_run(path, family, n_scans, make, variant=variant, channels=channels,
                     keep_expected=keep_expected)


_WRITERS = {
    "tof-rle": _tof_rle_run, "tof-rle-older": _tof_rle_run, "tof-lzf": _tof_lzf_run,
    "tof-centroid": _tof_centroid_run, "gc": _gc_run, "quad": _quad_run,
    "icp": lambda *a: _icp_run(*a, no_schema=False),
    "icp-no-schema": lambda *a: _icp_run(*a, no_schema=True),
}
_DEFAULT_VARIANTS = {
    "tof-centroid": Variant(omit=frozenset({"MSProfile.bin"})),
    "tof-lzf": Variant(mass_cal="absent"),
    "icp": Variant(xaddition="SingleQuad"),
}


def acq_run(
    path: str | os.PathLike,
    family: str,
    n_scans: int | None = None,
    points: int | None = None,
    seed: int = 0,
    *,
    variant: Variant | None = None,
    keep_expected: bool | None = None,
) -> Run:
    """Writes a generated run of ``family`` (a key of ``FAMILIES``).

    ``points``: profile points (TOF, quad), centroids per scan (tof-centroid, at most per GC
    full scan), channels (icp-no-schema, up to 3). ``variant`` defaults to the family's usual
    form: tof-centroid without MSProfile.bin, tof-lzf without MSMassCal.bin, icp with a
    single-quadrupole MSTS_XAddition.xml.
    """
    if family not in _WRITERS:
        raise ValueError(f"unknown family {family!r}; one of {sorted(_WRITERS)}")
    default_scans, default_points = DEFAULT_SIZES[family]
    n_scans = default_scans if n_scans is None else n_scans
    points = default_points if points is None else points
    if variant is None:
        variant = _DEFAULT_VARIANTS.get(family, Variant())
    return _WRITERS[family](path, FAMILIES[family], n_scans, points, seed, variant, keep_expected)
