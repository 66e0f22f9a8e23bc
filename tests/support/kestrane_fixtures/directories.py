"""Whole acquisition directories of the fixed layout, and what a reader must give for each scan.

``Scan`` describes one scan; ``write_acquisition`` lays scans out on disk (blocks back to back
in scan order, records in MSScan.bin) and ``acquisition_images`` does the same in memory. Both
return an ``Acquisition`` with, per scan, the ``Expected`` values a conforming reader produces,
bit for bit.
"""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .blocks import (
    FORMAT_PEAK_ARRAYS, FORMAT_PEAK_INTERLEAVED, FORMAT_PROFILE, PEAK_MZ_SCALE, Block,
    _paired, _u32, peak_block, profile_block,
)
from .index import (
    ACQ_DIR, DATA_OFFSET_OFFSET, DESCRIPTOR_POSITIONS, HEADER_MAGIC, HEADER_SIZE, MRM_STRIDES,
    MZ_RANGE_STRIDE, PEAK_FILE, PROFILE_FILE, SCAN_FILE, STRIDES, BlockDescriptor, scan_header,
    scan_record,
)

__all__ = [
    "Precursor", "Expected", "Scan", "Acquisition", "DescriptorOverride",
    "profile_mz_axis", "expected_spectrum", "write_acquisition", "acquisition_images",
]


# --- Expected reader output --------------------------------------------------------------------
@dataclass(frozen=True)
class Precursor:
    mz: float | None
    reference: str | None


@dataclass
class Expected:
    """What a conforming reader yields for one scan (arrays bit-exact)."""

    scan_id: int
    native_id: str
    ms_level: int
    retention_time_sec: float
    mz: np.ndarray  # float64
    intensity: np.ndarray  # float32
    mz_range_start: float | None
    mz_range_end: float | None
    precursor: Precursor | None
    profile_decoded: bool
    source: str  # "profile", "peak" or "none"


def profile_mz_axis(n: int, first: float, last: float) -> np.ndarray:
    """k * step + first, product and sum rounded separately; step 0.0 for one point."""
    step = 0.0 if n == 1 else (last - first) / (n - 1)
    product = np.arange(n, dtype=np.float64) * np.float64(step)
    return product + np.float64(first)


@dataclass
class Scan:
    """One scan of a generated acquisition.

    ``profile``: u32 intensities (a profile block is written when not None, also when empty).
    ``peaks``: (m/z, intensity) pairs of a peak block of ``peak_format``. Under stride 284 both
    may be given (profile in the slot at 156, peaks at 220); other strides hold one block.
    ``mz_range`` is stored only under stride 284; elsewhere a reader sees 0.0 for both ends.
    ``blocks``: raw blocks written instead, in slot order; such a scan has no expected values.
    """

    scan_id: int
    retention_time_min: float = 0.0
    ms_level: int = 1
    precursor_mz: float | None = None
    mrm_channel: int | None = None
    mz_range: tuple[float, float] | None = None
    profile: object = None
    peaks: tuple[object, object] | None = None
    peak_format: int = FORMAT_PEAK_INTERLEAVED
    blocks: Sequence[Block | None] | None = None


def _record_mz_range(scan: Scan, stride: int) -> tuple[float, float] | None:
    if stride != MZ_RANGE_STRIDE:
        return None
    return (0.0, 0.0) if scan.mz_range is None else (float(scan.mz_range[0]), float(scan.mz_range[1]))


def expected_spectrum(scan: Scan, stride: int, omit: Iterable[str] = ()) -> Expected:
    """The reader's output for a scan written by ``write_acquisition`` without overrides."""
    omit = frozenset(omit)
    mz = np.empty(0, dtype=np.float64)
    intensity = np.empty(0, dtype=np.float32)
    source = "none"
    mz_range = _record_mz_range(scan, stride)
    profile_decoded = scan.profile is not None and PROFILE_FILE not in omit
    if profile_decoded:
        ints = _u32(scan.profile)
        if len(ints):
            first, last = mz_range if mz_range is not None else (0.0, 0.0)
            mz, intensity = profile_mz_axis(len(ints), first, last), ints.astype(np.float32)
            source = "profile"
    if not len(mz) and scan.peaks is not None and PEAK_FILE not in omit:
        m, i = _paired(*scan.peaks)
        if scan.peak_format == FORMAT_PEAK_ARRAYS:
            m = (m * PEAK_MZ_SCALE) / PEAK_MZ_SCALE
        mz, intensity, source = m, i, "peak"
    if scan.ms_level < 2:
        precursor = None
    elif stride in MRM_STRIDES:
        precursor = Precursor(None, f"mrm_channel={scan.mrm_channel or 0}")
    else:
        precursor = Precursor(float(scan.precursor_mz or 0.0), f"scanId={scan.scan_id}")
    return Expected(
        scan_id=scan.scan_id,
        native_id=f"scanId={scan.scan_id}",
        ms_level=scan.ms_level,
        retention_time_sec=float(scan.retention_time_min) * 60.0,
        mz=mz,
        intensity=intensity,
        mz_range_start=None if mz_range is None else mz_range[0],
        mz_range_end=None if mz_range is None else mz_range[1],
        precursor=precursor,
        profile_decoded=profile_decoded,
        source=source,
    )


# --- Whole acquisitions ------------------------------------------------------------------------
DescriptorOverride = Sequence[BlockDescriptor | None] | Callable[
    [list[BlockDescriptor | None]], Sequence[BlockDescriptor | None]
]


@dataclass
class Acquisition:
    """What ``write_acquisition`` / ``acquisition_images`` laid out.

    ``descriptors[i]``: scan i's descriptors as written, one per slot (None: slot left zero).
    ``expected[i]``: the reader's output for scan i, or None where raw blocks or overrides
    were used. Expected values assume the header's data offset points at the first record.
    ``profile_payload_bytes`` / ``profile_stored_bytes``: expanded vs stored profile totals.
    The ``*_image`` fields are set by ``acquisition_images`` only (None for an omitted file).
    """

    path: Path | None
    stride: int
    data_offset: int
    descriptors: list[tuple[BlockDescriptor | None, ...]]
    expected: Sequence[Expected | None]
    omitted: frozenset[str]
    profile_payload_bytes: int = 0
    profile_stored_bytes: int = 0
    scan_image: bytes | None = None
    peak_image: bytes | None = None
    profile_image: bytes | None = None

    def _file(self, name: str) -> Path | None:
        return None if self.path is None else self.path / ACQ_DIR / name

    @property
    def scan_path(self) -> Path | None:
        return self._file(SCAN_FILE)

    @property
    def peak_path(self) -> Path | None:
        return self._file(PEAK_FILE)

    @property
    def profile_path(self) -> Path | None:
        return self._file(PROFILE_FILE)

    @property
    def compression_ratio(self) -> float:
        return self.profile_payload_bytes / self.profile_stored_bytes if self.profile_stored_bytes else 0.0


class _CountingSink:
    """Stands in for an omitted file: keeps offsets, drops bytes."""

    def __init__(self) -> None:
        self._pos = 0

    def write(self, data: bytes) -> int:
        self._pos += len(data)
        return len(data)

    def tell(self) -> int:
        return self._pos


_FILE_NAMES = frozenset((SCAN_FILE, PEAK_FILE, PROFILE_FILE))


def _scan_blocks(scan: Scan, stride: int) -> tuple[list[Block | None], bool]:
    """Blocks in slot order and whether the scan's expected values are known."""
    if scan.blocks is not None:
        return list(scan.blocks), False
    slots = len(DESCRIPTOR_POSITIONS[stride])
    wanted = (scan.profile is not None) + (scan.peaks is not None)
    if wanted > slots:
        raise ValueError(f"scan {scan.scan_id}: stride {stride} holds {slots} block, got {wanted}")
    blocks: list[Block | None] = []
    if scan.profile is not None:
        blocks.append(profile_block(scan.profile))
    if scan.peaks is not None:
        blocks.append(peak_block(*scan.peaks, format_id=scan.peak_format))
    return blocks, True


def _lay_out(
    scans: Iterable[Scan],
    stride: int,
    sinks: Mapping[str, object],
    omit: frozenset[str],
    *,
    header: bytes | None,
    magic: int | None,
    header_length: int,
    data_offset: int | None,
    header_filler: bytes,
    record_filler: bytes,
    scan_trailer: bytes,
    descriptor_overrides: Mapping[int, DescriptorOverride] | None,
    keep_expected: bool,
) -> Acquisition:
    if stride not in DESCRIPTOR_POSITIONS:
        raise ValueError(f"stride must be one of {STRIDES}, got {stride}")
    if header is None:
        header = scan_header(magic=magic, data_offset=data_offset, length=header_length, filler=header_filler)
    stored_offset = 0
    if len(header) >= HEADER_SIZE:
        stored_offset = struct.unpack_from("<I", header, DATA_OFFSET_OFFSET)[0]
    overrides = descriptor_overrides or {}
    scan_sink = sinks[SCAN_FILE]
    scan_sink.write(header)
    descriptors: list[tuple[BlockDescriptor | None, ...]] = []
    expected: list[Expected | None] = []
    payload_bytes = stored_bytes = 0
    for index, scan in enumerate(scans):
        blocks, known = _scan_blocks(scan, stride)
        descs: list[BlockDescriptor | None] = []
        for block in blocks:
            if block is None:
                descs.append(None)
                continue
            sink = sinks[block.file]
            descs.append(block.descriptor(sink.tell()))
            sink.write(block.data)
            if block.format_id == FORMAT_PROFILE:
                payload_bytes += block.uncompressed_byte_count or 0
                stored_bytes += len(block.data)
        if index in overrides:
            change = overrides[index]
            descs = list(change(descs) if callable(change) else change)
            known = False
        mz_range = _record_mz_range(scan, stride)
        reads_precursor = scan.ms_level >= 2 and stride not in MRM_STRIDES
        scan_sink.write(
            scan_record(
                stride,
                scan_id=scan.scan_id,
                retention_time_min=scan.retention_time_min,
                ms_level=scan.ms_level,
                mrm_channel=(scan.mrm_channel or 0) if stride in MRM_STRIDES else scan.mrm_channel,
                precursor_mz=(scan.precursor_mz or 0.0) if reads_precursor else scan.precursor_mz,
                mz_range_start=None if mz_range is None else mz_range[0],
                mz_range_end=None if mz_range is None else mz_range[1],
                descriptors=descs,
                filler=record_filler,
            )
        )
        descriptors.append(tuple(descs))
        if keep_expected:
            expected.append(expected_spectrum(scan, stride, omit) if known else None)
    scan_sink.write(scan_trailer)
    return Acquisition(
        path=None,
        stride=stride,
        data_offset=stored_offset,
        descriptors=descriptors,
        expected=expected,
        omitted=omit,
        profile_payload_bytes=payload_bytes,
        profile_stored_bytes=stored_bytes,
    )


def _check_omit(omit: Iterable[str]) -> frozenset[str]:
    omit = frozenset(omit)
    unknown = omit - _FILE_NAMES
    if unknown:
        raise ValueError(f"can omit only {sorted(_FILE_NAMES)}, not {sorted(unknown)}")
    return omit


def write_acquisition(
    path: str | os.PathLike,
    scans: Iterable[Scan],
    stride: int = 284,
    *,
    omit: Iterable[str] = (),
    header: bytes | None = None,
    magic: int | None = HEADER_MAGIC,
    header_length: int = HEADER_SIZE,
    data_offset: int | None = None,
    header_filler: bytes = b"\x00",
    record_filler: bytes = b"\x00",
    scan_trailer: bytes = b"",
    descriptor_overrides: Mapping[int, DescriptorOverride] | None = None,
    keep_expected: bool = True,
) -> Acquisition:
    """Writes ``path/AcqData/{MSScan,MSPeak,MSProfile}.bin`` and returns the layout.

    Blocks go to their files back to back from offset 0, in scan order. ``omit`` names files
    not to write (offsets are laid out as if they were). ``header`` replaces the built header
    (``magic``, ``data_offset`` default ``header_length``, ``header_filler``). Records always
    carry the fields the stride's reader reads (0 where the scan has none); ``record_filler``
    fills the rest. ``descriptor_overrides[i]`` replaces scan i's descriptor list, or maps it
    (a callable, e.g. ``lambda ds: [dataclasses.replace(ds[0], point_count=9)]``).
    ``scans`` may be a generator: blocks are streamed to disk.
    """
    omit = _check_omit(omit)
    root = Path(path)
    acq = root / ACQ_DIR
    acq.mkdir(parents=True, exist_ok=True)
    opened = {}
    try:
        for name in (SCAN_FILE, PEAK_FILE, PROFILE_FILE):
            opened[name] = _CountingSink() if name in omit else open(acq / name, "wb")
        result = _lay_out(
            scans, stride, opened, omit, header=header, magic=magic, header_length=header_length,
            data_offset=data_offset, header_filler=header_filler, record_filler=record_filler,
            scan_trailer=scan_trailer, descriptor_overrides=descriptor_overrides,
            keep_expected=keep_expected,
        )
    finally:
        for sink in opened.values():
            if not isinstance(sink, _CountingSink):
                sink.close()
    result.path = root
    return result


def acquisition_images(
    scans: Iterable[Scan],
    stride: int = 284,
    *,
    omit: Iterable[str] = (),
    header: bytes | None = None,
    magic: int | None = HEADER_MAGIC,
    header_length: int = HEADER_SIZE,
    data_offset: int | None = None,
    header_filler: bytes = b"\x00",
    record_filler: bytes = b"\x00",
    scan_trailer: bytes = b"",
    descriptor_overrides: Mapping[int, DescriptorOverride] | None = None,
) -> Acquisition:
    """As ``write_acquisition``, in memory: the three files in ``*_image`` (None if omitted)."""
    omit = _check_omit(omit)
    sinks = {name: _CountingSink() if name in omit else io.BytesIO() for name in _FILE_NAMES}
    result = _lay_out(
        scans, stride, sinks, omit, header=header, magic=magic, header_length=header_length,
        data_offset=data_offset, header_filler=header_filler, record_filler=record_filler,
        scan_trailer=scan_trailer, descriptor_overrides=descriptor_overrides, keep_expected=True,
    )

    def image(name: str) -> bytes | None:
        sink = sinks[name]
        return None if isinstance(sink, _CountingSink) else sink.getvalue()

    result.scan_image = image(SCAN_FILE)
    result.peak_image = image(PEAK_FILE)
    result.profile_image = image(PROFILE_FILE)
    return result
