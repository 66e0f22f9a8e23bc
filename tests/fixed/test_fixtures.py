"""Checks the fixture writer against decoders written here from the file formats.

Offsets below are typed from the format tables, not imported from the writer.
"""

import math
import os
import struct
import subprocess
import sys
from pathlib import Path

import kestrane_fixtures as kf
import numpy as np
import pytest
from kestrane_testkit import LzfError, lzf_decode


def decode_profile(block: bytes, n: int, uncompressed, first: float, last: float):
    if len(block) < 16:
        raise LzfError("MSProfile block too short for preamble")
    if uncompressed is None:
        raise LzfError("Missing UncompressedByteCount for profile block")
    if n == 0:
        return np.empty(0), np.empty(0, np.float32)
    payload = lzf_decode(block[16:], uncompressed)
    if len(payload) < 16 + 4 * n:
        raise LzfError("Decompressed profile block too short for point count")
    ints = struct.unpack_from(f"<{n}I", payload, 16)
    intensity = np.array([struct.unpack("<f", struct.pack("<f", v))[0] for v in ints], np.float32)
    step = 0.0 if n == 1 else (last - first) / (n - 1)
    mz = np.array([k * step + first for k in range(n)])
    return mz, intensity


def decode_peak(block: bytes, fmt: int, n: int):
    if fmt == 3:
        pts = [struct.unpack_from("<df", block, 12 * k) for k in range(n)]
        return np.array([p[0] for p in pts]), np.array([p[1] for p in pts], np.float32)
    mz = np.array([v / 100.0 for v in struct.unpack_from(f"<{n}d", block, 0)])
    return mz, np.array(struct.unpack_from(f"<{n}f", block, 8 * n), np.float32)


WIDE = {"fmt": "<I", "offset": 4, "count": 12, "points": 16, "uncompressed": 20}
PACKED = {"fmt": "<H", "offset": 2, "count": 10, "points": 14, "uncompressed": 18}
SLOTS = {284: (156, 220), 220: (156,), 216: (152,), 196: (144,), 186: (136,)}


def parse_index(image: bytes):
    """(stride, records) as a reader of the scan index sees them."""
    assert struct.unpack_from("<I", image, 0)[0] == 257
    start = struct.unpack_from("<I", image, 88)[0]
    payload = len(image) - start
    first = struct.unpack_from("<I", image, start)[0]
    stride = None
    for s in (284, 220, 216, 196, 186):
        if payload and payload % s == 0:
            if payload == s:
                stride = s
                break
            sid = struct.unpack_from("<I", image, start + s)[0]
            level = struct.unpack_from("<H", image, start + s + 20)[0]
            if first < sid < first + 100000 and level in (1, 2):
                stride = s
                break
    assert stride is not None
    records = []
    for r in range(start, len(image), stride):
        rec = {
            "scan_id": struct.unpack_from("<I", image, r)[0],
            "rt": struct.unpack_from("<d", image, r + 12)[0],
            "ms_level": struct.unpack_from("<H", image, r + 20)[0],
            "mrm": struct.unpack_from("<I", image, r + 4)[0] if stride in (196, 186) else None,
            "range": struct.unpack_from("<2d", image, r + 244) if stride == 284 else (0.0, 0.0),
            "blocks": {},
        }
        if rec["ms_level"] >= 2 and stride not in (196, 186):
            rec["precursor"] = struct.unpack_from("<d", image, r + 84)[0]
        lay = PACKED if stride == 186 else WIDE
        for pos in SLOTS[stride]:
            fmt = struct.unpack_from(lay["fmt"], image, r + pos)[0]
            d = tuple(struct.unpack_from(f, image, r + pos + lay[k])[0]
                      for k, f in (("offset", "<Q"), ("count", "<I"), ("points", "<I")))
            if fmt == 1:
                unc = struct.unpack_from("<I", image, r + pos + lay["uncompressed"])[0]
                rec["blocks"]["profile"] = d + (unc,)
            elif fmt in (2, 3):
                rec["blocks"]["peak"] = (fmt,) + d
        records.append(rec)
    return stride, records


def decode_acquisition(scan: bytes, peak: bytes | None, profile: bytes | None):
    """Per scan (mz, intensity, precursor) as the reader would produce them."""
    stride, records = parse_index(scan)
    out = []
    for rec in records:
        mz, inten = np.empty(0), np.empty(0, np.float32)
        if "profile" in rec["blocks"] and profile is not None:
            off, count, n, unc = rec["blocks"]["profile"]
            mz, inten = decode_profile(profile[off : off + count], n, unc, *rec["range"])
        if not len(mz) and "peak" in rec["blocks"] and peak is not None:
            fmt, off, count, n = rec["blocks"]["peak"]
            mz, inten = decode_peak(peak[off : off + count], fmt, n)
        out.append((rec, mz, inten))
    return stride, out


def small_scans():
    return [
        kf.Scan(1, 0.5, 1, mz_range=(200.0, 201.0), profile=[0, 7, 16777217, 2**32 - 1]),
        kf.Scan(2, 0.75, 2, precursor_mz=445.12, mrm_channel=3, mz_range=(50.0, 460.0),
                peaks=([101.07, 250.333, 445.12], [1.5, 2.5e6, 0.1]), peak_format=2),
        kf.Scan(3, 1.0, 2, precursor_mz=612.5, peaks=([0.1, 1e9], [np.inf, -0.0]), peak_format=3),
        kf.Scan(4, 1.25, 1, mz_range=(100.0, 100.0), profile=[]),
        kf.Scan(5, 1.5, 1, mz_range=(300.0, 200.0), profile=[3]),
        # A fused multiply-add or k * (last - first) / (n - 1) changes some of these values.
        kf.Scan(6, 1.75, 1, mz_range=(99.7, 1999.9), profile=list(range(11))),
    ]


def run_module(*args: str) -> str:
    """``python -m kestrane_fixtures ARGS`` as the scripts run it; returns its output."""
    env = dict(os.environ, PYTHONPATH=str(Path(kf.__file__).parents[1]))
    proc = subprocess.run([sys.executable, "-m", "kestrane_fixtures", *args], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


class TestLzf:
    @pytest.mark.parametrize("payload", [
        b"A", b"AB" * 16 + b"C", bytes(1000), b"scanId=1 " * 90,
        np.random.default_rng(1).integers(0, 256, 777, dtype=np.uint8).tobytes(),
        kf.profile_payload(kf.realistic_intensities(np.random.default_rng(2), 700)),
    ], ids=["one", "33", "zeros", "text", "random", "profile"])
    def test_round_trip(self, payload):
        for stream in (kf.lzf_compress(payload), kf.lzf_literal(payload)):
            assert lzf_decode(stream, len(payload)) == payload
        assert len(kf.lzf_literal(payload)) == len(payload) + math.ceil(len(payload) / 32)

    @pytest.mark.parametrize("size", [1, 2, 3, 8, 9, 264, 265, 266, 267, 5000])
    def test_expanding_stream_reaches_its_length(self, size):
        assert lzf_decode(kf.lzf_expanding(size), size) == bytes(size)

    def test_incompressible_input_falls_back_to_literals(self):
        data = np.random.default_rng(3).integers(0, 256, 4096, dtype=np.uint8).tobytes()
        assert kf.lzf_compress(data) == kf.lzf_literal(data)

    @pytest.mark.parametrize("size", [16, 28, 32, 33, 100])
    @pytest.mark.parametrize("fault", kf.LZF_FAULTS)
    def test_broken_stream_reports_its_message(self, fault, size):
        payload = bytes(range(size))
        stream, message = kf.broken_lzf_stream(payload, fault)
        with pytest.raises(LzfError) as info:
            lzf_decode(stream, size)
        assert str(info.value) == message

    @pytest.mark.parametrize("fault", kf.PROFILE_FAULTS)
    def test_broken_profile_block_reports_its_message(self, fault):
        block = kf.broken_profile_block([5, 0, 9, 70000, 1], fault)
        with pytest.raises(LzfError) as info:
            decode_profile(block.data, block.point_count, block.uncompressed_byte_count, 1.0, 2.0)
        assert str(info.value) == block.message


class TestLayout:
    @pytest.mark.parametrize("stride", [284, 220, 216, 196, 186])
    def test_expected_values_match_an_independent_decode(self, stride):
        scans = small_scans()
        if stride != 284:  # one descriptor slot
            scans = [s for s in scans if s.profile is None or s.peaks is None]
        acq = kf.acquisition_images(scans, stride)
        found, decoded = decode_acquisition(acq.scan_image, acq.peak_image, acq.profile_image)
        assert found == stride and len(decoded) == len(scans)
        for scan, exp, (rec, mz, inten) in zip(scans, acq.expected, decoded):
            stored = (rec["scan_id"], rec["rt"], rec["ms_level"])
            assert stored == (scan.scan_id, scan.retention_time_min, scan.ms_level)
            assert exp.retention_time_sec == scan.retention_time_min * 60.0
            assert same_bits(exp.mz, mz) and same_bits(exp.intensity, inten)
            if scan.ms_level >= 2:
                if stride in (196, 186):
                    assert exp.precursor == kf.Precursor(None, f"mrm_channel={rec['mrm']}")
                else:
                    assert exp.precursor == kf.Precursor(rec["precursor"], f"scanId={scan.scan_id}")
            else:
                assert exp.precursor is None

    def test_profile_axis_and_intensity_rounding(self):
        exp = kf.acquisition_images(small_scans()).expected
        assert exp[0].mz.tolist() == [200.0, 200.33333333333334, 200.66666666666666, 201.0]
        assert exp[0].intensity.tolist() == [0.0, 7.0, 16777216.0, 4294967296.0]
        assert exp[1].mz.tolist() == [v * 100.0 / 100.0 for v in [101.07, 250.333, 445.12]]
        assert exp[4].mz.tolist() == [300.0]

    def test_both_blocks_under_284_land_in_their_slots(self):
        scan = kf.Scan(7, 1.0, 1, mz_range=(1.0, 2.0), profile=[1, 2], peaks=([5.0], [6.0]))
        acq = kf.acquisition_images([kf.Scan(6, 0.5, 1), scan])
        rec = acq.scan_image[92 + 284 :]
        assert struct.unpack_from("<IQIII", rec, 156) == (1, 0, len(acq.profile_image), 2, 24)
        assert struct.unpack_from("<IQII", rec, 220) == (3, 0, 12, 1)
        assert struct.unpack_from("<2d", rec, 244) == (1.0, 2.0)

    def test_descriptor_override_is_written_and_drops_expected(self):
        lie = {0: lambda ds: [kf.BlockDescriptor(7, 99, 5, 4, 3), ds[0]]}
        acq = kf.acquisition_images([kf.Scan(1, profile=[1, 2, 3]), kf.Scan(2)], descriptor_overrides=lie)
        assert struct.unpack_from("<IQIII", acq.scan_image, 92 + 156) == (7, 99, 5, 4, 3)
        assert struct.unpack_from("<I", acq.scan_image, 92 + 220)[0] == 1
        assert acq.expected[0] is None and acq.expected[1] is not None


class TestRealisticRun:
    def test_deterministic_per_seed(self, tmp_path):
        files = {}
        for name, seed in (("a", 4), ("b", 4), ("c", 5)):
            acq = kf.realistic_run(tmp_path / name, n_scans=30, points=(500, 900), seed=seed)
            files[name] = [p.read_bytes() for p in (acq.scan_path, acq.peak_path, acq.profile_path)]
        assert files["a"] == files["b"]
        assert files["a"][2] != files["c"][2]

    def test_looks_like_real_data(self, tmp_path):
        acq = kf.realistic_run(tmp_path / "run", n_scans=60, points=5000, seed=1, ms2_every=3)
        stride, decoded = decode_acquisition(acq.scan_path.read_bytes(), acq.peak_path.read_bytes(),
                                             acq.profile_path.read_bytes())
        assert stride == 284 and len(decoded) == 60
        assert 2.6 < acq.compression_ratio < 3.4
        rts = [rec["rt"] for rec, _, _ in decoded]
        assert all(a < b for a, b in zip(rts, rts[1:]))
        profiles = np.concatenate([e.intensity for e in acq.expected if e.source == "profile"])
        assert 0.5 < np.mean(profiles == 0) < 0.6
        assert 1e6 < profiles.max() < 5e7
        ms2 = [rec for rec, _, _ in decoded if rec["ms_level"] == 2]
        assert len(ms2) == 20 and all(300 < rec["precursor"] < 1500 for rec in ms2)
        assert {rec["blocks"].get("peak", (0,))[0] for rec in ms2} == {0, 2, 3}

    @pytest.mark.parametrize("stride", [220, 186])
    def test_lazy_expected_matches_the_files(self, tmp_path, stride):
        acq = kf.realistic_run(tmp_path / "run", n_scans=9, points=300, seed=2, stride=stride, ms2_every=2)
        _, decoded = decode_acquisition(acq.scan_path.read_bytes(), acq.peak_path.read_bytes(),
                                        acq.profile_path.read_bytes())
        for exp, (_, mz, inten) in zip(acq.expected, decoded):
            assert same_bits(exp.mz, mz) and same_bits(exp.intensity, inten)

    def test_sample_command(self, tmp_path):
        args = ["sample", str(tmp_path / "s"), "--scans", "7", "--points", "64", "--stride", "216"]
        out = run_module(*args)
        stride, records = parse_index((tmp_path / "s" / "AcqData" / "MSScan.bin").read_bytes())
        assert (stride, len(records)) == (216, 7)
        assert "7 scans" in out


class TestCorpusFramings:
    def test_profile_and_directory_seeds_follow_the_documented_framing(self, tmp_path):
        written = kf.write_corpus(tmp_path)
        targets = (Path(__file__).resolve().parents[2] / "fuzz" / "targets.txt").read_text()
        corpora = {line.split()[1] for line in targets.splitlines() if line.strip() and line[0] != "#"}
        assert {"lzf", "mspeak", "msprofile", "msscan", "directory"} <= set(written) <= corpora
        worked = (tmp_path / "msprofile" / "worked_example.bin").read_bytes()
        fmt, n, unc, first, last = struct.unpack_from("<BIIdd", worked)
        mz, inten = decode_profile(worked[25:], n, unc if fmt == 1 else None, first, last)
        assert mz.tolist() == [100.0, 100.5, 101.0] and inten.tolist() == [0.0, 7.0, 16777216.0]
        for path in written["directory"]:
            data = path.read_bytes()
            lengths, pos, images = struct.unpack_from("<3I", data), 12, []
            for length in lengths:
                images.append(None if length == 0xFFFFFFFF else data[pos : pos + length])
                pos += 0 if length == 0xFFFFFFFF else length
            assert pos == len(data)
            if "lying" not in path.name:
                decode_acquisition(*images)
