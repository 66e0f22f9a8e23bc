"""Block encodings of the self-describing form, vectorised with numpy.

Profile blocks (MSProfile.bin): run-length (``rle_block``), whole-block LZF (``lzf_block``), raw
float32 (``f32_profile_block``), ICP channels (``icp_block``). Centroid blocks (MSPeak.bin):
``tof_centroid_block`` (f64 flight times, then f32), ``gc_centroid_block`` (f64 m/z, then f64).

Run-length: f64 x_start, f64 x_step, u32 ``0x90 << 24 | n``, i32 ``-L`` (L leading zero points),
then tokens from byte 24 at width w (4 at the start): a signed little-endian w-byte value v;
v >= 0 is the next point, v < 0 skips q = (-v) div 4 points and sets w from r = (-v) mod 4
(1, 2, 3 -> 1, 2, 4 bytes).
"""

from __future__ import annotations

import struct

import numpy as np

from ..lzf import lzf_compress

__all__ = [
    "RLE_MAGIC", "RLE_HEADER_SIZE", "RLE_MIN_RUN", "rle_encode", "rle_block",
    "lzf_payload", "lzf_block", "f32_profile_block", "icp_block", "tof_centroid_block",
    "gc_centroid_block",
]

RLE_MAGIC = 0x90
RLE_HEADER_SIZE = 24
RLE_MAX_POINTS = (1 << 24) - 1
RLE_MIN_RUN = 4  # an instrument drops to a narrower width only for at least this many points
RLE_MAX_COUNT = 2**31 - 1
_WIDTH_CODE = np.array([0, 1, 2, 0, 3], dtype=np.int32)  # width -> r


def _segments(breaks: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """(starts, lengths) of the segments of 0..n that begin at 0 and at each break."""
    starts = np.concatenate(([0], breaks)).astype(np.int64)
    return starts, np.diff(np.concatenate((starts, [n])))


def _fill_short(widths: np.ndarray, lengths: np.ndarray, level: int, min_run: int) -> None:
    """Raises to ``level`` every maximal stretch of segments narrower than ``level`` that holds
    fewer than ``min_run`` points: the encoder stays wide for it."""
    low = widths < level
    edges = np.flatnonzero(np.diff(low.view(np.int8))) + 1
    group_starts = np.concatenate(([0], edges))
    totals = np.add.reduceat(lengths, group_starts)
    short = low[group_starts] & (totals < min_run)
    widths[np.repeat(short, np.diff(np.concatenate((group_starts, [len(widths)]))))] = level


def rle_encode(
    counts,
    *,
    switch_widths: bool = True,
    zero_runs: bool = False,
    leading_zeros: bool = True,
    min_run: int = RLE_MIN_RUN,
) -> tuple[int, bytes]:
    """(L, token bytes) for ``counts`` (integers in 0..2^31-1).

    ``leading_zeros``: the zero points before the first non-zero one become L. ``switch_widths``:
    each literal takes the narrowest width holding it, except that a stretch of fewer than
    ``min_run`` points that fit a narrower width stays at the wider one (the stream starts at
    width 4, so a short first stretch does too); otherwise every token is 4 bytes wide.
    ``zero_runs``: runs of zero points become skips (q > 0), as a publisher's re-encoding
    writes them, and trailing zeros are left out (points the stream never reaches stay zero);
    otherwise zeros are literals and every control token only switches the width (q = 0), as
    instruments write them.
    """
    v = np.asarray(counts).reshape(-1)
    n = len(v)
    if n > RLE_MAX_POINTS:
        raise ValueError(f"a run-length block holds fewer than 2^24 points, not {n}")
    if n and (v.min() < 0 or v.max() > RLE_MAX_COUNT):
        raise ValueError("run-length counts must lie in 0..2^31-1")
    v = v.astype(np.int32, copy=False)
    nonzero = v != 0
    lead = int(np.argmax(nonzero)) if nonzero.any() else n
    if not leading_zeros:
        lead = 0
    if zero_runs:
        positions = np.flatnonzero(nonzero[lead:]) + lead
        literals = v[positions]
        skips = np.diff(np.concatenate(([lead - 1], positions))) - 1
    else:
        literals = v[lead:]
        skips = None
    m = len(literals)
    if m == 0:
        return lead, b""
    if switch_widths:
        need = (1 + (literals > 127) + 2 * (literals > 32767)).astype(np.int8)
        breaks = np.flatnonzero(need[1:] != need[:-1]) + 1
    else:
        need = None
        breaks = np.empty(0, dtype=np.int64)
    if skips is not None:
        breaks = np.union1d(breaks, np.flatnonzero(skips[1:]) + 1)
    starts, lengths = _segments(breaks, m)
    widths = need[starts] if need is not None else np.full(len(starts), 4, dtype=np.int8)
    if need is not None and min_run > 1:
        _fill_short(widths, lengths, 4, min_run)
        _fill_short(widths, lengths, 2, min_run)
        merge = widths[1:] != widths[:-1]
        if skips is not None:
            merge |= skips[starts[1:]] > 0
        keep = np.concatenate(([True], merge))
        starts, widths = starts[keep], widths[keep]
        lengths = np.diff(np.concatenate((starts, [m])))
    # A control token before every segment, but not before a first segment of width 4 without
    # a skip: the stream starts at width 4.
    seg_skips = skips[starts] if skips is not None else np.zeros(len(starts), dtype=np.int64)
    before = np.concatenate(([4], widths[:-1]))
    has_ctl = (widths != before) | (seg_skips > 0)
    ctl_values = -(4 * seg_skips[has_ctl] + _WIDTH_CODE[widths[has_ctl]])
    ctl_widths = before[has_ctl].astype(np.int64)
    # Pieces in output order (control, then the segment's literals), copied out of one source
    # buffer holding the literals at each width and the controls at 4 bytes.
    sources = [literals.astype("<u1"), literals.astype("<i2").view(np.uint8),
               literals.astype("<i4").view(np.uint8), ctl_values.astype("<i4").view(np.uint8)]
    base = {1: 0, 2: m, 4: 3 * m}
    w = widths.astype(np.int64)
    lit_start = np.select([w == 1, w == 2], [base[1] + starts, base[2] + 2 * starts], base[4] + 4 * starts)
    n_pieces = len(starts) + len(ctl_values)
    piece_start = np.empty(n_pieces, dtype=np.int64)
    piece_len = np.empty(n_pieces, dtype=np.int64)
    lit_slot = np.arange(len(starts)) + np.cumsum(has_ctl)
    ctl_slot = lit_slot[has_ctl] - 1
    piece_start[lit_slot] = lit_start
    piece_len[lit_slot] = lengths * w
    piece_start[ctl_slot] = 7 * m + 4 * np.arange(len(ctl_values))
    piece_len[ctl_slot] = ctl_widths
    out_start = np.cumsum(piece_len) - piece_len
    total = int(piece_len.sum())
    index = np.repeat(piece_start - out_start, piece_len) + np.arange(total)
    return lead, np.concatenate(sources)[index].tobytes()


def rle_block(x_start: float, x_step: float, counts, **options) -> bytes:
    """A run-length block; ``options`` as for ``rle_encode``."""
    lead, tokens = rle_encode(counts, **options)
    return struct.pack("<ddIi", x_start, x_step, RLE_MAGIC << 24 | len(counts), -lead) + tokens


def lzf_payload(x_start: float, x_step: float, counts) -> bytes:
    """The 16 + 4n bytes a whole-block LZF stream expands to: (x_start, x_step), u32 counts."""
    return struct.pack("<dd", x_start, x_step) + np.asarray(counts).astype("<u4").tobytes()


def lzf_block(x_start: float, x_step: float, counts) -> tuple[bytes, int]:
    """(block, uncompressed byte count): the payload compressed as one LZF stream."""
    payload = lzf_payload(x_start, x_step, counts)
    return lzf_compress(payload), len(payload)


def f32_profile_block(x_start: float, x_step: float, y) -> bytes:
    """f64 x_start, f64 x_step, f32 y[n]: 16 + 4n bytes."""
    return struct.pack("<dd", x_start, x_step) + np.asarray(y, dtype="<f4").tobytes()


def icp_block(x, counts, pulse, third) -> bytes:
    """f32 X[n], f64 counts[n], f64 pulse[n], f64 third[n]: 28n bytes."""
    return (np.asarray(x, dtype="<f4").tobytes() + np.asarray(counts, dtype="<f8").tobytes()
            + np.asarray(pulse, dtype="<f8").tobytes() + np.asarray(third, dtype="<f8").tobytes())


def tof_centroid_block(flight_times, intensity) -> bytes:
    """f64 X[n] (flight times), then f32 Y[n]: 12n bytes."""
    return np.asarray(flight_times, dtype="<f8").tobytes() + np.asarray(intensity, dtype="<f4").tobytes()


def gc_centroid_block(mz, intensity) -> bytes:
    """f64 m/z[n], then f64 intensity[n]: 16n bytes."""
    return np.asarray(mz, dtype="<f8").tobytes() + np.asarray(intensity, dtype="<f8").tobytes()
