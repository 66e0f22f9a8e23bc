"""Seed inputs for the fuzz targets, one set per corpus directory (``fuzz/corpus/<name>/``).

``write_corpus(DIR)`` writes ``DIR/<name>/<seed>.bin`` for every registered set. A set is a
function returning ``{seed name: bytes}``, registered under its corpus directory with
``@corpus_target("name")``; a new fuzz target (``fuzz/targets.txt``) adds its seeds the same
way, in the module that writes its form, so that ``corpus`` grows per target.

Framings (all integers little-endian; a fuzz target treats input too short for its prefix as
nothing to do):

* ``lzf``: u32 expected output length, then the LZF stream (the rest of the input).
* ``msscan``: the whole MSScan.bin image, unframed.
* ``mspeak``: u8 format id, u32 point count, then the block (the rest). The descriptor has
  no uncompressed byte count.
* ``msprofile``: u8 format id, u32 point count, u32 uncompressed byte count, f64 first m/z,
  f64 last m/z, then the block (the rest); 25 bytes of prefix. The descriptor carries the
  uncompressed byte count only when the format id byte is 1, as in the scan index.
* ``directory``: u32 length of MSScan.bin, u32 length of MSPeak.bin, u32 length of
  MSProfile.bin, then the three images back to back in that order. A length of 0xFFFFFFFF
  means that file is absent (and takes no bytes); a length larger than the bytes that remain
  takes what remains.
"""

from __future__ import annotations

import dataclasses
import os
import struct
from collections.abc import Callable, Iterable
from pathlib import Path

import numpy as np

from .blocks import (
    FORMAT_PEAK_ARRAYS, FORMAT_PROFILE, PROFILE_FAULTS, Block, broken_profile_block, peak_block,
    peak_block_format2, peak_block_format3, profile_block, profile_block_from_stream,
    profile_payload, truncated,
)
from .directories import Acquisition, Scan, acquisition_images
from .index import (
    PEAK_FILE, PROFILE_FILE, STRIDES, U32_MAX, BlockDescriptor, scan_header, scan_record,
)
from .lzf import LZF_FAULTS, broken_lzf_stream, lzf_compress, lzf_literal
from .runs import realistic_intensities, realistic_scan

__all__ = [
    "CORPUS_TARGETS", "corpus_target", "corpus_seeds", "write_corpus", "directory_framing",
    "lzf_framing", "peak_framing", "profile_framing",
]

SeedSet = Callable[[], dict[str, bytes]]
CORPUS_TARGETS: dict[str, SeedSet] = {}


def corpus_target(name: str) -> Callable[[SeedSet], SeedSet]:
    """Registers a seed set under the corpus directory ``name``."""

    def register(make: SeedSet) -> SeedSet:
        if name in CORPUS_TARGETS:
            raise ValueError(f"corpus {name!r} registered twice")
        CORPUS_TARGETS[name] = make
        return make

    return register


def directory_framing(acq: Acquisition) -> bytes:
    """The ``directory`` fuzz framing of an in-memory acquisition."""
    images = (acq.scan_image, acq.peak_image, acq.profile_image)
    lengths = [U32_MAX if im is None else len(im) for im in images]
    return struct.pack("<3I", *lengths) + b"".join(im for im in images if im is not None)


def lzf_framing(stream: bytes, expected_len: int) -> bytes:
    return struct.pack("<I", expected_len) + stream


def peak_framing(block: Block, format_id: int | None = None) -> bytes:
    fid = block.format_id if format_id is None else format_id
    return struct.pack("<BI", fid, block.point_count) + block.data


def profile_framing(block: Block, first: float, last: float) -> bytes:
    present = block.uncompressed_byte_count is not None
    fid = FORMAT_PROFILE if present else 0
    count = block.uncompressed_byte_count if present else 0
    return struct.pack("<BIIdd", fid, block.point_count, count, first, last) + block.data


@corpus_target("lzf")
def _corpus_lzf() -> dict[str, bytes]:
    rng = np.random.default_rng(7)
    small = profile_payload(realistic_intensities(rng, 400))
    random_bytes = rng.integers(0, 256, 300, dtype=np.uint8).tobytes()
    far = rng.integers(0, 256, 600, dtype=np.uint8).tobytes()
    far_repeat = far + bytes(7600) + far  # second copy 8200 bytes on: references near the limit
    text = b"scanId=1 mrm_channel=2 " * 40
    seeds = {
        "literal_one": lzf_framing(b"\x00\x41", 1),
        "short_reference_overlap": lzf_framing(b"\x00\x41\x20\x00", 4),
        "long_reference_overlap": lzf_framing(b"\x00\x41\xe0\x00\x00", 10),
        "trailing_byte_ignored": lzf_framing(b"\x00\x41\xff", 1),
        "expected_zero": lzf_framing(b"\xff\xff", 0),
        "empty_input": lzf_framing(b"", 5),
        "liblzf_profile": lzf_framing(lzf_compress(small), len(small)),
        "liblzf_text": lzf_framing(lzf_compress(text), len(text)),
        "liblzf_far_references": lzf_framing(lzf_compress(far_repeat), len(far_repeat)),
        "literal_only_random": lzf_framing(lzf_literal(random_bytes), len(random_bytes)),
    }
    for fault in LZF_FAULTS:
        stream, _ = broken_lzf_stream(small[:100], fault)
        seeds[f"broken_{fault}"] = lzf_framing(stream, 100)
    return seeds


def _small_run(stride: int, n_scans: int = 5, points: int = 48, seed: int = 11) -> list[Scan]:
    scans = [realistic_scan(i, points=points, seed=seed, ms2_every=2) for i in range(n_scans)]
    for scan in scans:
        if scan.peaks is not None:
            scan.peaks = (scan.peaks[0][:12], scan.peaks[1][:12])
    return scans


def _rec(stride: int, scan_id: int, ms_level: int = 1, **fields) -> bytes:
    return scan_record(stride, scan_id=scan_id, retention_time_min=0.5, ms_level=ms_level, **fields)


@corpus_target("msscan")
def _corpus_msscan() -> dict[str, bytes]:
    seeds = {f"stride{s}_run": acquisition_images(_small_run(s), s).scan_image for s in STRIDES}
    head = scan_header()
    peak1 = BlockDescriptor(3, 0, 12, 1)
    profile3 = BlockDescriptor(1, 0, 40, 3, 28)
    odd_formats = [BlockDescriptor(0, 0, 12, 1), BlockDescriptor(4, 0, 12, 1)]
    seeds.update({
        "header_only": head,
        "too_small_91": scan_header(length=91),
        "bad_magic_256": scan_header(magic=256) + _rec(284, 1),
        "data_offset_past_end": scan_header(data_offset=93),
        "data_offset_zero_284": scan_header(data_offset=0) + bytes(192),
        "payload_3_bytes": head + b"\x01\x02\x03",
        "single_186": head + _rec(186, 5, descriptors=[profile3]),
        "second_id_equal_568": head + _rec(284, 9) + _rec(284, 9),
        "second_ms_level_3_440": head + _rec(220, 1) + _rec(220, 2, 3),
        "ambiguous_220_196": head + b"".join(_rec(220, i + 1) for i in range(49)),
        "descriptor_formats": head
        + _rec(284, 1, descriptors=odd_formats)
        + _rec(284, 2, 2, precursor_mz=500.0, descriptors=[peak1, profile3]),
        "scan_id_window": head + _rec(216, 0xFFFFFFF0) + _rec(216, 5),
        "header_filler_ff": scan_header(filler=b"\xff", length=120) + _rec(196, 1, mrm_channel=3),
    })
    return seeds


@corpus_target("mspeak")
def _corpus_mspeak() -> dict[str, bytes]:
    rng = np.random.default_rng(3)
    mz = np.sort(rng.uniform(100, 1500, 50))
    inten = rng.uniform(0, 1e6, 50).astype(np.float32)
    specials = ([np.nan, np.inf, -1.0, 0.0], [np.inf, np.nan, -0.0, 1e-45])
    f3 = peak_block_format3(mz, inten)
    return {
        "format3_one": peak_framing(peak_block_format3([500.25], [1000.0])),
        "format2_two": peak_framing(peak_block_format2([525.0, 650.0], [1.5, 2.5])),
        "format3_fifty": peak_framing(f3),
        "format2_fifty_trailer": peak_framing(
            peak_block(mz, inten, FORMAT_PEAK_ARRAYS, trailer=bytes(100))),
        "format3_empty": peak_framing(peak_block_format3([], [])),
        "format3_truncated": peak_framing(truncated(f3)),
        "format4_short": peak_framing(truncated(f3, 30), format_id=4),
        "format5_empty": peak_framing(peak_block_format3([], []), format_id=5),
        "format3_specials": peak_framing(peak_block_format3(*specials)),
        "format2_specials": peak_framing(peak_block_format2(*specials)),
    }


@corpus_target("msprofile")
def _corpus_msprofile() -> dict[str, bytes]:
    rng = np.random.default_rng(5)
    ints = realistic_intensities(rng, 600)
    worked_payload = bytes(16) + struct.pack("<3I", 0, 7, 16777217)
    worked = profile_block_from_stream(bytes([0x1B]) + worked_payload, 3, 28)
    seeds = {
        "worked_example": profile_framing(worked, 100.0, 101.0),
        "realistic_600": profile_framing(profile_block(ints), 100.0, 1700.0),
        "literal_only_600": profile_framing(profile_block(ints, literal_only=True), 100.0, 1700.0),
        "one_point": profile_framing(profile_block([12345]), 400.0, 300.0),
        "zero_points": profile_framing(profile_block_from_stream(b"", 0, 16), 0.0, 0.0),
        "no_range": profile_framing(profile_block(ints[:50]), 0.0, 0.0),
        "payload_trailer": profile_framing(profile_block(ints[:40], trailer=bytes(9)), 200.0, 201.0),
        "big_values": profile_framing(profile_block([16777217, U32_MAX, 16777219]), 1.0, 2.0),
    }
    for fault in PROFILE_FAULTS:
        seeds[f"broken_{fault}"] = profile_framing(broken_profile_block(ints[:60], fault), 100.0, 200.0)
    return seeds


@corpus_target("directory")
def _corpus_directory() -> dict[str, bytes]:
    def framed(stride: int, **options) -> bytes:
        return directory_framing(acquisition_images(_small_run(stride, 4, 24), stride, **options))

    def one_more_point(descs):
        return [dataclasses.replace(d, point_count=d.point_count + 1) for d in descs]

    seeds = {f"stride{s}": framed(s) for s in STRIDES}
    seeds["no_profile_file"] = framed(284, omit=[PROFILE_FILE])
    seeds["no_peak_file"] = framed(220, omit=[PEAK_FILE])
    seeds["no_data_files"] = framed(196, omit=[PEAK_FILE, PROFILE_FILE])
    seeds["lying_point_count"] = framed(284, descriptor_overrides={0: one_more_point, 1: one_more_point})
    # Records on the blocks of scans 0 (profile) and 3 (peak) under descriptors of their own:
    # other point counts, an expected length one byte past the stream, a range one byte short,
    # another peak format.
    run = _small_run(284, 6, 24)
    (profile,), (peak,) = (acquisition_images(run, 284).descriptors[i] for i in (0, 3))
    replace = dataclasses.replace
    seeds["lying_shared_blocks"] = directory_framing(acquisition_images(run, 284, descriptor_overrides={
        1: [replace(profile, point_count=5), replace(peak, point_count=7)],
        2: [replace(profile, uncompressed_byte_count=profile.uncompressed_byte_count + 1)],
        4: [replace(profile, point_count=10, byte_count=profile.byte_count - 1)],
        5: [None, replace(peak, format_id=FORMAT_PEAK_ARRAYS, point_count=4)],
    }))
    return seeds


def corpus_seeds(targets: Iterable[str] | None = None) -> dict[str, dict[str, bytes]]:
    """Seed inputs per fuzz target (every registered one, or ``targets``), framed as the module
    docstring describes."""
    names = list(CORPUS_TARGETS) if targets is None else list(targets)
    unknown = [t for t in names if t not in CORPUS_TARGETS]
    if unknown:
        raise ValueError(f"no seed set for {unknown}; known: {sorted(CORPUS_TARGETS)}")
    return {target: CORPUS_TARGETS[target]() for target in names}


def write_corpus(directory: str | os.PathLike, targets: Iterable[str] | None = None) -> dict[str, list[Path]]:
    """Writes ``directory/<target>/<name>.bin`` for every seed (of ``targets`` only, when given);
    returns the paths."""
    written: dict[str, list[Path]] = {}
    for target, seeds in corpus_seeds(targets).items():
        out = Path(directory) / target
        out.mkdir(parents=True, exist_ok=True)
        written[target] = []
        for name, data in seeds.items():
            p = out / f"{name}.bin"
            p.write_bytes(data)
            written[target].append(p)
    return written
