"""Seed inputs of the fuzz targets of the self-describing reader, made by the writers of this
package and registered with ``kestrane_fixtures.corpus`` (``python -m kestrane_fixtures corpus``).

Framings (integers little-endian), as the top of each fuzz/acq_*_fuzz.cpp states them:

* ``acq_schema``: MSScan.xsd, whole.
* ``acq_format_table``: MSScan.bin, whole.
* ``acq_run_length``: u32 point count, then the block.
* ``acq_calibration``: a selector byte, then by selector % 3: (0) an MSMassCal.bin image, (1)
  DefaultMassCal.xml, (2) u32 flags, f64 a, t0, t_min, t_max, c1..c6, then f64 flight times.
* ``acq_directory``: records {u8 file id, u32 length, bytes}; ids 0-9 name AcqData/MSScan.bin,
  MSScan.xsd, MSProfile.bin, MSPeak.bin, MSMassCal.bin, DefaultMassCal.xml, MSTS.xml,
  MSScan_XSpecific.bin, MSTS_XSpecific.xml and MSTS_XAddition.xml beside AcqData.

Seeds stay small (the replay tests mutate them): runs of a few scans and points.
"""

from __future__ import annotations

import struct
import tempfile
from pathlib import Path

import numpy as np

from ..corpus import corpus_target
from .blocks import RLE_HEADER_SIZE, RLE_MAGIC, rle_block
from .calibration import MassCal, default_mass_cal_xml, mass_cal_bin
from .directory import (
    ACQ_DIR, DEFAULT_CAL_FILE, MSTS_FILE, SCHEMA_FILE, XADDITION_FILE, XSPECIFIC_XML_FILE, Run,
    Variant,
)
from .index import (
    KIND_PROFILE, MASS_CAL_FILE, PEAK_FILE, PROFILE_FILE, SCAN_FILE, STORAGE_INT32, TABLE_OFFSET,
    XSPECIFIC_FILE, Axis, FormatEntry, format_table, scan_file_header,
)
from .runs import FAMILIES, TOF_A, TOF_COEFFICIENTS, TOF_FLAGS, TOF_T0, acq_run
from .hostile import (fan_out_schema, long_name_schema, lzf_count_claim, run_length_zero_bomb,
                      stored_intensities)
from .schema import LAYOUTS, SPECTRUM_PARAMS, record_dtype, schema_text

__all__ = ["ACQ_DIRECTORY_FILE_IDS", "acq_directory_framing", "acq_run_length_framing"]

# acq_directory file ids, paths relative to the run's folder.
ACQ_DIRECTORY_FILE_IDS = {
    f"{ACQ_DIR}/{SCAN_FILE}": 0, f"{ACQ_DIR}/{SCHEMA_FILE}": 1, f"{ACQ_DIR}/{PROFILE_FILE}": 2,
    f"{ACQ_DIR}/{PEAK_FILE}": 3, f"{ACQ_DIR}/{MASS_CAL_FILE}": 4, f"{ACQ_DIR}/{DEFAULT_CAL_FILE}": 5,
    f"{ACQ_DIR}/{MSTS_FILE}": 6, f"{ACQ_DIR}/{XSPECIFIC_FILE}": 7, f"{ACQ_DIR}/{XSPECIFIC_XML_FILE}": 8,
    XADDITION_FILE: 9,
}


def acq_directory_framing(root: Path) -> bytes:
    """The acq_directory framing of the files of a run written at ``root``."""
    out = b""
    for name, file_id in sorted(ACQ_DIRECTORY_FILE_IDS.items(), key=lambda item: item[1]):
        path = root / name
        if path.exists():
            data = path.read_bytes()
            out += struct.pack("<BI", file_id, len(data)) + data
    return out


def acq_run_length_framing(block: bytes, points: int) -> bytes:
    return struct.pack("<I", points) + block


def _tof_calibration(t_min: float = 19573.5, t_max: float = 93949.2) -> MassCal:
    return MassCal(TOF_A, TOF_T0, t_min, t_max, TOF_FLAGS, TOF_COEFFICIENTS)


def _profile_blocks(run: Run) -> list[tuple[bytes, int]]:
    """(block, point count) of the first block of every record of a one-block-per-record run."""
    acq = run.acq_dir
    scan = (acq / SCAN_FILE).read_bytes()
    records = np.frombuffer(scan, dtype=record_dtype(LAYOUTS[run.family.layout], run.family.n_blocks),
                            offset=run.data_offset)
    data = (acq / PROFILE_FILE).read_bytes()
    out = []
    for rec in records:
        p = rec[SPECTRUM_PARAMS][0]
        start = int(p["SpectrumOffset"])
        out.append((data[start : start + int(p["ByteCount"])], int(p["PointCount"])))
    return out


@corpus_target("acq_schema")
def _corpus_acq_schema() -> dict[str, bytes]:
    prefixes = {name: family.type_prefix for name, family in FAMILIES.items()}
    seeds = {}
    for name, layout in LAYOUTS.items():
        prefix = next((prefixes[f] for f, fam in FAMILIES.items() if fam.layout == name), "")
        seeds[name.replace("-", "_")] = schema_text(layout, type_prefix=prefix).encode()
    tof = schema_text(LAYOUTS["tof-v1"])
    seeds["unknown_type"] = tof.replace('type="xs:double"', 'type="xs:decimal"', 1).encode()
    seeds["entity"] = tof.replace(
        "<xs:schema", '<!DOCTYPE xs:schema [<!ENTITY e "xs:int">]>\n<xs:schema', 1).encode()
    # Types repeated without bound: empty ones fanning out, and a long name used often (small
    # enough that the replay's mutations stay quick, large enough to pass the limits).
    seeds["fan_out_empty_types"] = fan_out_schema(15, 4).encode()
    seeds["long_name_reused"] = long_name_schema(100, 4000).encode()
    return seeds


@corpus_target("acq_format_table")
def _corpus_acq_format_table() -> dict[str, bytes]:
    seeds = {}
    for name, family in FAMILIES.items():
        if name == "icp-no-schema":
            continue
        version = int(LAYOUTS[family.layout].version[0])
        head = scan_file_header(family.entries, layout_version=version, n_blocks=family.n_blocks,
                                unknown=family.unknown)
        seeds[name.replace("-", "_")] = head + bytes(64)
    rle = FAMILIES["tof-rle"].entries
    seeds["data_offset_past_table"] = scan_file_header(
        rle, layout_version=1, n_blocks=1, unknown=4,
        data_offset=TABLE_OFFSET + len(format_table(rle)) + 4) + bytes(64)
    odd = FormatEntry(7, KIND_PROFILE, 0x300, 1, (Axis(5, STORAGE_INT32, 9, 2.0),))
    seeds["unknown_entry"] = scan_file_header(
        (*rle, odd), layout_version=1, n_blocks=2, unknown=4) + bytes(64)
    return seeds


@corpus_target("acq_run_length")
def _corpus_acq_run_length() -> dict[str, bytes]:
    with tempfile.TemporaryDirectory() as tmp:
        run = acq_run(Path(tmp) / "run", "tof-rle", 2, 400, seed=3, keep_expected=False)
        instrument = _profile_blocks(run)[1]
    switches = [0, 0, 5, 200, 40000, 7, 127, 128, 32767, 32768, 0]
    zero_runs = [k * 300 if k % 7 == 0 else 0 for k in range(60)]
    head = struct.pack("<dd", 20000.0, 0.5)

    def raw(points: int, lead: int, tokens: bytes, tag: int = RLE_MAGIC) -> bytes:
        return head + struct.pack("<Ii", tag << 24 | points, -lead) + tokens

    return {
        "instrument_like": acq_run_length_framing(*instrument),
        "width_switches": acq_run_length_framing(rle_block(35920.0, 0.5, switches, min_run=1), len(switches)),
        "zero_runs": acq_run_length_framing(rle_block(1000.0, 0.25, zero_runs, zero_runs=True), 60),
        "skip_past_end": acq_run_length_framing(raw(2, 0, struct.pack("<i", -13)), 2),
        "flag_zero": acq_run_length_framing(raw(2, 0, struct.pack("<i", -4)), 2),
        "cut_token": acq_run_length_framing(raw(2, 0, struct.pack("<ib", -2, 7)), 2),
        "literal_past_end": acq_run_length_framing(raw(1, 1, struct.pack("<i", 5)), 1),
        "head_only": acq_run_length_framing(raw(0, 0, b"")[:RLE_HEADER_SIZE], 0),
        # The head alone claiming 2^20 - 1 leading zeros (the framing's largest count).
        "zero_bomb": acq_run_length_framing(raw((1 << 20) - 1, (1 << 20) - 1, b""), (1 << 20) - 1),
    }


@corpus_target("acq_calibration")
def _corpus_acq_calibration() -> dict[str, bytes]:
    default = _tof_calibration()
    rows = [default, MassCal(TOF_A * (1 + 2e-6), TOF_T0 + 0.01, default.t_min, default.t_max,
                             TOF_FLAGS, tuple(c * 1.001 for c in TOF_COEFFICIENTS))]
    loops = struct.pack("<I10d", default.flags, *default.row_values())
    loops += np.array([15000.0, 0.5, 19000.0, 50000.0, 95000.0, -1.0], dtype="<f8").tobytes()
    return {
        "mass_cal_rows": b"\x00" + mass_cal_bin(rows, trailer=bytes(4)),
        "default_mass_cal": b"\x01" + default_mass_cal_xml({2: default, 5: MassCal(0.5, 10.0)}),
        "loops": b"\x02" + loops,
    }


@corpus_target("acq_directory")
def _corpus_acq_directory() -> dict[str, bytes]:
    runs = {
        "tof_rle": ("tof-rle", 2, 40, None),
        "tof_rle_interrupted_trimmed": ("tof-rle-older", 3, 24, Variant(mass_cal="trimmed", interrupted=1)),
        "tof_lzf": ("tof-lzf", 2, 40, None),
        "tof_centroid": ("tof-centroid", 2, 6, None),
        "gc": ("gc", 2, 8, None),
        "quad": ("quad", 2, 12, None),
        "icp_ms_ms": ("icp", 2, 3, Variant(xaddition="MS_MS")),
        "icp_no_schema": ("icp-no-schema", 2, 3, None),
    }
    seeds = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, (family, scans, points, variant) in runs.items():
            run = acq_run(Path(tmp) / name, family, scans, points, seed=5, variant=variant)
            seeds[name] = acq_directory_framing(run.path)
        # A 64-bit LZF point count of 2^62 + 1, and one 24-byte run-length head claiming 2^24 - 1
        # zeros named by every record.
        seeds["lzf_count_2_62_plus_1"] = acq_directory_framing(lzf_count_claim(Path(tmp) / "lzf_count").path)
        seeds["run_length_zero_bomb"] = acq_directory_framing(run_length_zero_bomb(Path(tmp) / "bomb", 3).path)
        # Channel counts of -1 and NaN, kept and reported.
        seeds["icp_negative_counts"] = acq_directory_framing(stored_intensities(Path(tmp) / "negative", "icp").path)
    return seeds
