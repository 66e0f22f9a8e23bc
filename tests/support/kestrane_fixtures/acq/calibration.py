"""Mass calibration of flight times: the formula, DefaultMassCal.xml and MSMassCal.bin.

``calibrate`` is the reference a reader is compared with bit for bit; its float operations, in
double precision, in this order (the package docstring repeats them):

    s   = a * (t - t0)
    sq  = s * s
    tc  = t_min if t < t_min else (t_max if t > t_max else t)
    p   = 1.0;  sum = 0.0
    for k = 0, 1, ..., 11:           # k_j: the set bits of F, in increasing order
        if bit k of F: sum = sum + c_j * p    # c_j: the j-th coefficient, j counting set bits
        p = p * tc
    m/z = sq - sum
"""

from __future__ import annotations

import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from .index import MASS_CAL_FILE, file_header

__all__ = [
    "MAX_ORDER", "ROW_COUNT", "ROW_SIZE", "ROWS_OFFSET", "MassCal", "calibrate",
    "default_mass_cal_xml", "mass_cal_bin", "row_offset",
]

MAX_ORDER = 11  # highest polynomial order seen (bits 0..11 of F)
ROW_COUNT = 10  # count word of a row: a, t0, t_min, t_max, c1..c6
ROW_SIZE = 4 + 8 * ROW_COUNT  # 84
ROWS_OFFSET = 72  # after the 68-byte header and u32 1
MAX_COEFFICIENTS = 6


@dataclass(frozen=True)
class MassCal:
    """Traditional step (a, t0) and polynomial step (t_min, t_max, flags F, popcount(F) coefficients)."""

    a: float
    t0: float
    t_min: float = 0.0
    t_max: float = 0.0
    flags: int = 0
    coefficients: tuple[float, ...] = ()

    def __post_init__(self) -> None:
        if self.flags >> (MAX_ORDER + 1):
            raise ValueError(f"polynomial orders above {MAX_ORDER} in flags {self.flags:#x}")
        if len(self.coefficients) != self.flags.bit_count() or len(self.coefficients) > MAX_COEFFICIENTS:
            raise ValueError(f"flags {self.flags} need {self.flags.bit_count()} coefficients (at most "
                             f"{MAX_COEFFICIENTS}), got {len(self.coefficients)}")

    def row_values(self) -> tuple[float, ...]:
        """The ten doubles of an MSMassCal.bin row: coefficients, then zeros."""
        c = self.coefficients + (0.0,) * (MAX_COEFFICIENTS - len(self.coefficients))
        return (self.a, self.t0, self.t_min, self.t_max) + c


def calibrate(t, cal: MassCal) -> np.ndarray:
    """m/z of flight times ``t`` (f64), in the operation order of the module docstring."""
    t = np.asarray(t, dtype=np.float64)
    s = np.float64(cal.a) * (t - np.float64(cal.t0))
    sq = s * s
    if not cal.flags:
        return sq - 0.0
    tc = np.where(t < cal.t_min, np.float64(cal.t_min), np.where(t > cal.t_max, np.float64(cal.t_max), t))
    p = np.ones_like(t)
    total = np.zeros_like(t)
    coefficients = iter(cal.coefficients)
    for k in range(cal.flags.bit_length()):
        if cal.flags >> k & 1:
            total = total + np.float64(next(coefficients)) * p
        p = p * tc
    return sq - total


def _number(x: float) -> str:
    """Shortest text that reads back as the same double."""
    return repr(float(x))


def default_mass_cal_xml(calibrations: Mapping[int, MassCal], *, bom: bool = True) -> bytes:
    """DefaultMassCal.xml: one DefaultCalibration per CalibrationID, a Traditional step (a, t0)
    and a Polynomial step (ValueUseFlags F; t_min, t_max, then the coefficients, padded with
    zeros to six as instruments write them)."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<DefaultMassCalibration xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">',
             "  <Version>1</Version>", "  <DefaultCalibrations>"]

    def step(number: int, formula: str, flags: int, values: Sequence[float]) -> list[str]:
        out = [f'      <Step Number="{number}">',
               "        <CalibrationTechnique>ExternalReference</CalibrationTechnique>",
               f"        <CalibrationFormula>{formula}</CalibrationFormula>",
               f"        <NumberOfCoefficients>{len(values)}</NumberOfCoefficients>",
               f"        <ValueUseFlags>{flags}</ValueUseFlags>", "        <Values>"]
        out += [f'          <Value Number="{i}">{_number(v)}</Value>' for i, v in enumerate(values, 1)]
        return out + ["        </Values>", "      </Step>"]

    for cal_id, cal in calibrations.items():
        lines.append(f'    <DefaultCalibration DefaultCalibrationID="{cal_id}">')
        lines.append("      <ApexCalibration>False</ApexCalibration>")
        lines += step(1, "Traditional", 0, (cal.a, cal.t0))
        lines += step(2, "Polynomial", cal.flags, cal.row_values()[2:])
        lines.append("    </DefaultCalibration>")
    lines += ["  </DefaultCalibrations>", "</DefaultMassCalibration>", ""]
    return (b"\xef\xbb\xbf" if bom else b"") + "\r\n".join(lines).encode()


def row_offset(i: int) -> int:
    """File offset of row i's count word: what a record's MassCalOffset holds."""
    return ROWS_OFFSET + ROW_SIZE * i


def mass_cal_bin(rows: Sequence[MassCal], *, trailer: bytes = b"") -> bytes:
    """MSMassCal.bin: header (magic 260), u32 1, then one 84-byte row per calibration (u32 count
    10, ten f64), then ``trailer`` (published files cut down to fewer rows kept 4 extra bytes)."""
    out = bytearray(file_header(MASS_CAL_FILE) + struct.pack("<I", 1))
    for cal in rows:
        out += struct.pack("<I10d", ROW_COUNT, *cal.row_values())
    return bytes(out) + trailer
