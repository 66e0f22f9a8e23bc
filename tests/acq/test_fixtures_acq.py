"""Checks the self-describing fixture writer against readers written here.

Sizes, offsets and the calibration formula are typed from the file format, not imported from
the writer: what a reader relies on is checked from the bytes and the schema text alone.
"""

import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import kestrane_fixtures as kf
import numpy as np
import pytest
from kestrane_fixtures.acq import Variant, acq_run, rle_block
from kestrane_testkit import lzf_decode

ROOT = Path(__file__).resolve().parents[2]
XS = "{http://www.w3.org/2001/XMLSchema}"
SIZES = {"byte": 1, "short": 2, "int": 4, "long": 8, "float": 4, "double": 8}
MAGICS = {"MSScan.bin": 257, "MSProfile.bin": 258, "MSPeak.bin": 259, "MSMassCal.bin": 260,
          "MSScan_XSpecific.bin": 275}
ICP_STRIDE = 136  # the built-in layout used without MSScan.xsd


# --- readers ---------------------------------------------------------------------------------
def schema_layout(text):
    """(scalar size, block size, offset of the blocks, record fields, block fields) from
    MSScan.xsd, fields as {name: (offset, type)}. The parser drops comments; type prefixes are
    stripped and nested types laid out inline. Fields after the blocks are left out."""
    types = {t.get("name"): [(e.get("name"), e.get("type").split(":")[-1])
                             for e in t.iter(f"{XS}element")]
             for t in ET.fromstring(text).findall(f"{XS}complexType")}

    def size(type_):
        return SIZES.get(type_) or sum(size(t) for _, t in types[type_])

    fields, pos, blocks_at = {}, 0, None
    for name, type_ in types["ScanRecordType"]:
        if name == "SpectrumParamValues":
            blocks_at = pos
        else:
            if blocks_at is None:
                fields[name] = (pos, type_)
            pos += size(type_)
    block, block_fields = 0, {}
    for name, type_ in types["SpectrumParamsType"]:
        block_fields[name] = (block, type_)
        block += SIZES[type_]
    return pos, block, blocks_at, fields, block_fields


def format_table(image):
    entries, pos = {}, 92
    for _ in range(struct.unpack_from("<I", image, 80)[0]):
        fid, kind, compression, _w3, n_axes = struct.unpack_from("<5I", image, pos)
        axes = [struct.unpack_from("<IIdII", image, pos + 20 + 24 * a) for a in range(n_axes)]
        entries[fid] = (kind, compression, axes)
        pos += 20 + 24 * n_axes
    return entries, pos


def rle_decode(block):
    """Pure-Python run-length decoder: (x_start, x_step, counts, number of controls with q > 0)."""
    x0, dx, word, neg = struct.unpack_from("<ddIi", block)
    assert word >> 24 == 0x90 and neg <= 0
    n = word & 0xFFFFFF
    out, k, pos, w, skips = [0] * n, -neg, 24, 4, 0
    while pos < len(block):
        assert pos + w <= len(block), "fewer than w bytes left"
        v = int.from_bytes(block[pos : pos + w], "little", signed=True)
        pos += w
        if v >= 0:
            out[k] = v
            k += 1
        else:
            q, r = divmod(-v, 4)
            assert r != 0 and k + q <= n
            k, skips, w = k + q, skips + (q > 0), (0, 1, 2, 4)[r]
    return x0, dx, np.array(out, dtype=np.float64), skips


def decode_block(block, kind, compression, axes, n):
    """(x, y) of a block as its format-table entry says, before calibration."""
    storages = [a[3] for a in axes]
    if kind == 2 and compression == 0x1000:
        x0, dx, y, _ = rle_decode(block)
    elif kind == 2 and compression == 0x200:
        payload = lzf_decode(block, 16 + 4 * n)
        x0, dx = struct.unpack_from("<dd", payload)
        y = np.frombuffer(payload, "<u4", n, 16).astype(np.float64)
    elif kind == 2 and len(axes) == 4:  # ICP: f32 X, f64 counts, pulse, third
        return (np.frombuffer(block, "<f4", n).astype(np.float64), np.frombuffer(block, "<f8", n, 4 * n))
    elif kind == 2:
        x0, dx = struct.unpack_from("<dd", block)
        y = np.frombuffer(block, "<f4", n, 16).astype(np.float64)
    else:
        y_type = "<f4" if storages[1] == 5 else "<f8"
        return np.frombuffer(block, "<f8", n), np.frombuffer(block, y_type, n, 8 * n).astype(np.float64)
    return np.arange(n) * dx + x0, y


CODES = {"byte": "<b", "short": "<h", "int": "<i", "long": "<q", "float": "<f", "double": "<d"}


def field(buffer, fields, name, base=0):
    offset, type_ = fields[name]
    return struct.unpack_from(CODES[type_], buffer, base + offset)[0]


def calibration_for(acq, record, fields, index, n_records):
    """(a, t0, t_min, t_max, flags, coefficients) chosen by the four calibration rules, and its source."""
    defaults = {}
    if (acq / "DefaultMassCal.xml").exists():
        for cal in ET.fromstring((acq / "DefaultMassCal.xml").read_bytes()).iter("DefaultCalibration"):
            steps = {s.findtext("CalibrationFormula"): s for s in cal.iter("Step")}
            values = lambda s: [float(v.text) for v in s.iter("Value")]  # noqa: E731
            flags = int(steps["Polynomial"].findtext("ValueUseFlags"))
            poly = values(steps["Polynomial"])
            defaults[int(cal.get("DefaultCalibrationID"))] = (
                *values(steps["Traditional"]), poly[0], poly[1], flags, poly[2 : 2 + flags.bit_count()])
    default = defaults.get(field(record, fields, "CalibrationID"))
    path = acq / "MSMassCal.bin"
    if default is not None and path.exists():
        data = path.read_bytes()
        rows = (len(data) - 72) // 84

        def row(off):
            a, t0, lo, hi, *c = struct.unpack_from("<10d", data, off + 4)
            return a, t0, lo, hi, default[4], c[: default[4].bit_count()]

        def valid(off):
            return off >= 72 and off + 84 <= len(data) and struct.unpack_from("<I", data, off)[0] == 10

        offset = field(record, fields, "MassCalOffset")
        if valid(offset):
            return row(offset), "per-scan"
        if rows == n_records:  # the writer makes every offset valid, or none
            return row(72 + 84 * index), "per-scan-by-index"
    return (default, "default") if default is not None else (None, "uncalibrated")


def mz_of(t, cal):
    """The calibration formula, one float operation at a time in the documented order."""
    a, t0, t_min, t_max, flags, coefficients = cal
    s = a * (t - t0)
    tc = t_min if t < t_min else t_max if t > t_max else t
    p, total, c = 1.0, 0.0, iter(coefficients)
    for k in range(flags.bit_length()):
        if flags >> k & 1:
            total = total + next(c) * p
        p = p * tc
    return s * s - total


def same(a, b):
    return np.asarray(a, np.float64).tobytes() == np.asarray(b, np.float64).tobytes()


# --- the families ----------------------------------------------------------------------------
# family, points, variant, (stride, blocks per record, profile file, peak file)
FAMILIES = [
    ("tof-rle", 3000, None, (192, 1, True, False)),
    ("tof-rle-older", 3000, Variant(mass_cal="trimmed", msts="mismatch"), (220, 1, True, False)),
    ("tof-lzf", 2500, None, (256, 2, True, True)),
    ("tof-centroid", 300, None, (274, 2, False, True)),
    ("gc", 60, Variant(bom=False), (184, 1, False, True)),
    ("quad", 5121, Variant(data_headers=False), (186, 1, True, False)),
    ("icp", 2, Variant(xaddition="MS_MS", interrupted=1), (136, 1, True, False)),
    ("icp-no-schema", 3, None, (136, 1, True, False)),
]


@pytest.fixture(scope="module", params=FAMILIES, ids=[f[0] for f in FAMILIES])
def family_run(request, tmp_path_factory):
    family, points, variant, shape = request.param
    run = acq_run(tmp_path_factory.mktemp(family) / "run.d", family, 7, points, seed=5, variant=variant)
    return run, shape


def test_layout_invariants(family_run):
    run, (want_stride, want_blocks, profile_file, peak_file) = family_run
    acq = run.acq_dir
    image = (acq / "MSScan.bin").read_bytes()
    assert struct.unpack_from("<I", image, 0)[0] == 257 and image[4:68] == bytes(64)
    version, _, n_blocks, _, zero, data_offset = struct.unpack_from("<6I", image, 68)
    entries, table_end = format_table(image)
    assert (n_blocks, zero, table_end) == (want_blocks, 0, data_offset)
    if (acq / "MSScan.xsd").exists():
        text = (acq / "MSScan.xsd").read_text()
        scalar, block, *_ = schema_layout(text)
        stride = scalar + n_blocks * block
        assert version == (2 if 'version="2.0"' in text else 1)
    else:
        stride = ICP_STRIDE
    assert stride == want_stride and (len(image) - data_offset) % stride == 0
    records = (len(image) - data_offset) // stride
    assert records == len(run.expected) == 7
    if (acq / "MSTS.xml").exists():
        raw = (acq / "MSTS.xml").read_bytes()
        assert raw.startswith(b"\xef\xbb\xbf") == run.variant.bom
        total = sum(int(s.findtext("NumOfScans")) for s in ET.fromstring(raw).iter("TimeSegment"))
        assert total == records + (run.variant.msts == "mismatch")
    for name, present in (("MSProfile.bin", profile_file), ("MSPeak.bin", peak_file)):
        assert (acq / name).exists() == present
        if present and run.variant.data_headers:
            assert struct.unpack_from("<I", (acq / name).read_bytes())[0] == MAGICS[name]


def test_blocks_decode_to_the_expected_values(family_run):
    run, _ = family_run
    acq = run.acq_dir
    image = (acq / "MSScan.bin").read_bytes()
    entries, data_offset = format_table(image)
    n_blocks = struct.unpack_from("<I", image, 76)[0]
    if (acq / "MSScan.xsd").exists():
        scalar, block_size, blocks_at, fields, block_fields = schema_layout((acq / "MSScan.xsd").read_text())
    else:  # the built-in ICP layout
        scalar, block_size, blocks_at, fields = 84, 52, 72, {}
        block_fields = {"SpectrumFormatID": (0, "int"), "SpectrumOffset": (4, "long"),
                        "ByteCount": (12, "int"), "PointCount": (16, "int")}
    stride = scalar + n_blocks * block_size
    n_records = (len(image) - data_offset) // stride
    for i, exp in enumerate(run.expected):
        record = image[data_offset + i * stride : data_offset + (i + 1) * stride]
        for slot in range(n_blocks):
            at = blocks_at + slot * block_size
            fid, offset, count, n = (field(record, block_fields, k, at) for k in
                                     ("SpectrumFormatID", "SpectrumOffset", "ByteCount", "PointCount"))
            kind, compression, axes = entries[fid]
            want = exp.profile if kind == 2 else exp.centroid
            name = "MSProfile.bin" if kind == 2 else "MSPeak.bin"
            path = acq / name
            if not path.exists():
                assert want.status == "file_absent"
                continue
            data = path.read_bytes()
            if n == 0:
                assert (offset, count, want.status) == (0, 0, "empty")
                continue
            if offset + count > len(data):
                assert want.status == "past_end" and i >= n_records - run.variant.interrupted
                continue
            x, y = decode_block(data[offset : offset + count], kind, compression, axes, n)
            assert want.status == "ok" and same(want.intensity, y), (i, slot)
            if axes[0][1] == 7:  # flight times: calibrate
                cal, source = calibration_for(acq, record, fields, i, n_records)
                assert want.calibration == source
                for k in {0, n // 2, n - 1, int(np.argmax(y))}:
                    assert same(want.mz[k], mz_of(float(x[k]), cal)), (i, slot, k)
            elif len(axes) == 4 and (run.path / "MSTS_XAddition.xml").exists():
                table = {int(m.findtext("Index")): float(m.findtext("ProductIonMZ"))
                         for m in ET.parse(run.path / "MSTS_XAddition.xml").iter("MSTS_XAddition_IndexedMasses")}
                assert same(want.mz, [table[int(v)] for v in x])
            else:
                assert same(want.mz, x) and want.calibration == "axis"
        status, spectrum = exp.spectrum()
        assert (status == "ok") == (len(spectrum.mz) > 0)


@pytest.mark.parametrize("family", ["tof-rle", "gc", "icp"])
def test_same_seed_same_bytes(tmp_path, family):
    def files(name, seed):
        run = acq_run(tmp_path / name, family, 5, None if family != "tof-rle" else 2000, seed=seed)
        return {p.name: p.read_bytes() for p in sorted(run.path.rglob("*")) if p.is_file()}

    first, second, other = files("a", 3), files("b", 3), files("c", 4)
    assert first == second and first != other


@pytest.mark.parametrize("mass_cal, default_cal, offsets, trailer, source", [
    ("per-scan", True, "rows", 0, "per-scan"),
    ("by-index", True, "zero", 0, "per-scan-by-index"),
    ("trimmed", True, "past", 4, "per-scan-by-index"),
    ("absent", True, None, None, "default"),
    ("per-scan", False, "rows", 0, "uncalibrated"),
])
def test_mass_calibration_variants(tmp_path, mass_cal, default_cal, offsets, trailer, source):
    run = acq_run(tmp_path / "r", "tof-rle", 3, 1500, seed=2,
                  variant=Variant(mass_cal=mass_cal, default_cal=default_cal))
    acq = run.acq_dir
    image = (acq / "MSScan.bin").read_bytes()
    stored = [struct.unpack_from("<q", image, run.data_offset + i * 192 + 108)[0] for i in range(3)]
    assert stored == {"rows": [72, 156, 240], "zero": [0, 0, 0], "past": [324, 408, 492],
                      None: [72, 156, 240]}[offsets]
    if trailer is None:
        assert not (acq / "MSMassCal.bin").exists()
    else:
        assert (acq / "MSMassCal.bin").stat().st_size == 72 + 3 * 84 + trailer
    assert (acq / "DefaultMassCal.xml").exists() == default_cal
    assert [e.profile.calibration for e in run.expected] == [source] * 3
    assert all(len(e.profile.mz) == (0 if source == "uncalibrated" else 1500) for e in run.expected)


@pytest.mark.parametrize("options", [{}, {"zero_runs": True}, {"switch_widths": False},
                                     {"leading_zeros": False}], ids=["instrument", "zero-runs", "wide", "no-L"])
def test_run_length_round_trip(options):
    rng = np.random.default_rng(9)
    for limit in (100, 40000, 2**31 - 1):
        counts = np.where(rng.random(700) < 0.3, 0, rng.integers(0, limit, 700))
        counts[:5] = 0
        _, _, decoded, skips = rle_decode(rle_block(0.0, 1.0, counts, **options))
        assert decoded.tolist() == counts.tolist()
        assert (skips > 0) == options.get("zero_runs", False)


def test_generated_run_length_blocks_look_like_instrument_blocks(tmp_path):
    # Instrument blocks (127,616 points): 36 % one-byte literals, a width switch per 20 points,
    # no zero runs, no zero points after the leading ones, 1.72 bytes per point.
    run = acq_run(tmp_path / "r", "tof-rle", 2, 127_616, seed=1)
    offset, count = struct.unpack_from("<qi", (run.acq_dir / "MSScan.bin").read_bytes(), run.data_offset + 132)
    block = (run.acq_dir / "MSProfile.bin").read_bytes()[offset : offset + count]
    widths, pos, w, switches = [], 24, 4, 0
    while pos < len(block):
        v = int.from_bytes(block[pos : pos + w], "little", signed=True)
        pos += w
        if v < 0:
            assert -v // 4 == 0
            switches, w = switches + 1, (0, 1, 2, 4)[-v % 4]
        else:
            assert v > 0
            widths.append(w)
    widths = np.array(widths)
    assert 0.28 < np.mean(widths == 1) < 0.45 and 0.0005 < np.mean(widths == 4) < 0.01
    assert 14 < len(widths) / switches < 26 and 1.6 < len(block) / 127_616 < 1.85
    tic = [e.profile.intensity.sum() for e in run.expected]
    assert tic[0] != tic[1]


def test_acq_sample_command(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(Path(kf.__file__).parents[1]))
    proc = subprocess.run([sys.executable, "-m", "kestrane_fixtures", "acq-sample", str(tmp_path / "s"),
                           "--family", "quad", "--scans", "4", "--points", "100"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "quad, 4 scans, stride 186" in proc.stdout
    assert (tmp_path / "s" / "AcqData" / "MSScan.bin").stat().st_size == 296 + 4 * 186


def test_acq_fuzz_seeds_follow_their_framings():
    seeds = kf.corpus_seeds(["acq_run_length", "acq_calibration", "acq_directory"])
    for name, data in seeds["acq_run_length"].items():
        (claim,) = struct.unpack_from("<I", data)
        assert struct.unpack_from("<I", data, 20)[0] & 0xFFFFFF == claim, name
    _, _, counts, skips = rle_decode(seeds["acq_run_length"]["instrument_like"][4:])
    assert skips == 0 and len(counts) == 400
    assert {data[0] % 3 for data in seeds["acq_calibration"].values()} == {0, 1, 2}
    for name, data in seeds["acq_directory"].items():
        files, pos = {}, 0
        while pos < len(data):
            file_id, length = struct.unpack_from("<BI", data, pos)
            files[file_id], pos = data[pos + 5 : pos + 5 + length], pos + 5 + length
        assert pos == len(data) and struct.unpack_from("<I", files[0])[0] == 257, name
        assert (1 in files) == (name != "icp_no_schema"), name


def realdata():
    path = Path(os.environ.get("KESTRANE_REALDATA", ROOT.parent / "shared" / "realdata"))
    if not (path / "expected.json").exists():
        pytest.skip(f"real acquisition directories not found at {path} (set KESTRANE_REALDATA)")
    return path


def test_calibration_formula_gives_the_worked_example():
    # Row 0 of the older-schema directory with the flags of its default calibration gives, at
    # apex point 24819 (t = 35920 + 24819 * 0.5), the mass the instrument software displayed.
    acq = realdata() / "tof-rle-older-schema.D" / "AcqData"
    data = (acq / "MSMassCal.bin").read_bytes()
    a, t0, t_min, t_max, *c = struct.unpack_from("<10d", data, 76)
    root = ET.fromstring((acq / "DefaultMassCal.xml").read_bytes())
    flags = int(next(s.findtext("ValueUseFlags") for s in root.iter("Step")
                     if s.findtext("CalibrationFormula") == "Polynomial" and s.findtext("ValueUseFlags") != "0"))
    cal = kf.acq.MassCal(a, t0, t_min, t_max, flags, tuple(c[: flags.bit_count()]))
    t = 35920 + 24819 * 0.5
    assert round(float(kf.acq.calibrate([t], cal)[0]), 5) == 734.48362
    assert same(kf.acq.calibrate([t], cal), [mz_of(t, (a, t0, t_min, t_max, flags, c))])
