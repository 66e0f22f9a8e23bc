"""kestrane_acq on generated directories of every family: values, statuses, the API's shape.

The expected values are the fixture writer's (kestrane_fixtures.acq), computed from what it
wrote, never from the reader.
"""

import errno
import functools
import gc
import importlib.util
import operator
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from kestrane_fixtures.acq import FAMILIES, Variant, acq_run

import kestrane_acq

# (family, scans, points, variant): every family, and the departures a reader must report.
RUNS = {
    "tof-rle": ("tof-rle", 5, 3000, None),
    "tof-rle-older": ("tof-rle-older", 4, 2000, None),
    "tof-lzf": ("tof-lzf", 4, 2000, None),
    "tof-centroid": ("tof-centroid", 5, 60, None),
    "gc": ("gc", 8, 60, None),
    "quad": ("quad", 4, 500, None),
    "icp": ("icp", 6, 2, None),
    "icp-ms-ms": ("icp", 6, 3, Variant(xaddition="MS_MS")),
    "icp-no-schema": ("icp-no-schema", 5, 3, None),
    "by-index": ("tof-rle", 4, 500, Variant(mass_cal="by-index")),
    "trimmed": ("tof-rle", 4, 500, Variant(mass_cal="trimmed")),
    "default-only": ("tof-rle", 4, 500, Variant(mass_cal="absent")),
    "uncalibrated": ("tof-rle", 3, 500, Variant(mass_cal="absent", default_cal=False)),
    "interrupted": ("tof-lzf", 5, 500, Variant(mass_cal="absent", interrupted=2)),
    "no-peak-file": ("tof-lzf", 3, 500, Variant(mass_cal="absent", omit=frozenset({"MSPeak.bin"}))),
    "headerless": ("gc", 4, 40, Variant(data_headers=False, msts="mismatch")),
}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("acq")
    return {name: acq_run(root / f"{name}.d", family, scans, points, seed=3, variant=variant,
                          keep_expected=True)
            for name, (family, scans, points, variant) in RUNS.items()}


def in_order_sum(values):
    """The sum added up in array order (numpy and sum() add up otherwise)."""
    return functools.reduce(operator.add, np.asarray(values).tolist(), 0.0)


def same_bits(got, want):
    want = np.asarray(want, dtype=np.float64)
    return got.dtype == np.float64 and got.shape == want.shape and got.tobytes() == want.tobytes()


@pytest.mark.parametrize("prefer", ["profile", "centroid"])
@pytest.mark.parametrize("name", RUNS)
def test_every_spectrum_as_written(runs, name, prefer):
    run = runs[name]
    with kestrane_acq.open(run.path) as acq:
        assert len(acq) == len(run.expected)
        for exp in run.expected:
            s = acq.spectrum(exp.index, prefer=prefer)
            status, block = exp.spectrum(prefer)
            where = f"{name} scan {exp.index}"
            assert (s.index, s.scan_id, s.ms_level, s.polarity) == (
                exp.index, exp.scan_id, exp.ms_level, exp.polarity), where
            assert s.retention_time_sec == exp.rt_min * 60.0, where
            assert s.precursor_mz == exp.precursor_mz, where
            assert s.scan_type == exp.scan_type, where
            assert s.status == status, where
            assert s.profile_status == (exp.profile.status if exp.profile else None), where
            assert s.centroid_status == (exp.centroid.status if exp.centroid else None), where
            want_calibration = "uncalibrated" if status == "uncalibrated" else block.calibration
            assert (s.representation, s.calibration) == (block.representation, want_calibration), where
            assert same_bits(s.mz, block.mz) and same_bits(s.intensity, block.intensity), where
            assert len(s) == len(block.mz), where
            if block.precursor_mz is not None:
                assert same_bits(s.precursor_channel_mz, block.precursor_mz), where
            elif s.representation != "channels":
                assert s.precursor_channel_mz is None, where
            if len(s):
                top = int(np.argmax(s.intensity))
                assert s.base_peak == (s.mz[top], s.intensity[top]), where
                assert s.tic == in_order_sum(s.intensity), where
            else:
                assert (s.base_peak, s.tic) == (None, 0.0), where


@pytest.mark.parametrize("name", ["tof-rle", "gc", "icp", "interrupted"])
def test_scan_table_from_the_index(runs, name):
    run = runs[name]
    with kestrane_acq.open(run.path) as acq:
        table = acq.scan_table()
    lengths = {len(v) for v in table.values()}
    assert lengths == {len(run.expected)}
    exp = run.expected
    assert table["scan_id"].tolist() == [e.scan_id for e in exp]
    assert table["retention_time_sec"].tolist() == [e.rt_min * 60.0 for e in exp]
    assert table["ms_level"].tolist() == [e.ms_level for e in exp]
    assert table["scan_type"].tolist() == [e.scan_type for e in exp]
    assert table["polarity"].tolist() == [e.polarity for e in exp]
    precursor = [np.nan if e.precursor_mz is None else e.precursor_mz for e in exp]
    np.testing.assert_array_equal(table["precursor_mz"], precursor)
    incomplete = [e.spectrum()[0] == "incomplete" for e in exp]
    assert table["incomplete"].tolist() == incomplete


def test_scan_table_agrees_with_the_spectrum_attributes(runs):
    """MS1 runs store a collision energy of 0 and MS2 runs a real one, tof-centroid charges
    known and unknown: both read the same ways."""
    for name in ["tof-rle", "tof-centroid", "gc", "quad", "icp", "interrupted"]:
        with kestrane_acq.open(runs[name].path) as acq:
            table = acq.scan_table()
            for i in range(len(acq)):
                s = acq.spectrum(i)
                row = {k: table[k][i].item() if hasattr(table[k][i], "item") else table[k][i]
                       for k in ("scan_id", "ms_level", "scan_type", "polarity", "precursor_mz",
                                 "collision_energy", "retention_time_sec", "charge_state")}
                for k in ("precursor_mz", "collision_energy"):
                    row[k] = None if np.isnan(row[k]) else row[k]
                row["charge_state"] = row["charge_state"] or None
                got = {k: getattr(s, k) for k in row}
                assert row == got, f"{name} scan {i}"


def test_record_fields_by_name(runs):
    run = runs["quad"]
    with kestrane_acq.open(run.path) as acq:
        record = acq.record(-1)
        assert record["ScanID"] == run.expected[-1].scan_id
        assert record["CollisionEnergy"] == 20.0
        [block] = record["SpectrumParamValues"]
        assert block["PointCount"] == 500
        assert acq.spectrum(0).collision_energy == 20.0


def test_icp_channels_counts_per_second(runs):
    run = runs["icp-no-schema"]
    with kestrane_acq.open(run.path) as acq:
        assert acq.info["schema_source"] == "built-in ICP layout"
        s = acq[0]
        assert s.representation == "channels"
        assert s.accumulation_time_sec.tolist() == [np.float32(0.16), np.float32(0.16), np.float32(0.17)]
        assert same_bits(s.counts_per_second, s.intensity / s.accumulation_time_sec)
        assert s.detector_mode.dtype == np.int32 and len(s.detector_mode) == 3
    with kestrane_acq.open(runs["icp-ms-ms"].path) as acq:
        s = acq[0]
        assert s.precursor_channel_mz.tolist() == [31.0, 32.0, 75.0]
        assert s.mz.tolist() == [47.0, 48.0, 91.0]


class TestArrays:
    def test_read_only_shared_and_stable(self, runs):
        acq = kestrane_acq.open(runs["tof-rle"].path)
        s = acq[1]
        assert s.mz is s.mz and s.intensity is s.intensity
        for a in (s.mz, s.intensity):
            assert not a.flags.writeable and a.flags.c_contiguous
            with pytest.raises(ValueError):
                a[0] = 1.0
            with pytest.raises(ValueError):
                a.flags.writeable = True
        # The arrays own nothing: they view the decoded buffers, which their base keeps.
        assert s.mz.base is not None and not s.mz.flags.owndata
        mz = s.mz.copy()
        view = s.mz
        del s
        acq.close()
        del acq
        gc.collect()
        assert view.tobytes() == mz.tobytes()

    def test_empty_spectrum_arrays(self, runs):
        acq = kestrane_acq.open(runs["tof-centroid"].path)
        s = acq.spectrum(0, prefer="centroid")  # an empty centroid block, no profile file
        assert (len(s), s.mz.shape, s.intensity.dtype, s.status) == (0, (0,), np.float64, "file_absent")

    def test_types_made_only_by_the_reader(self, runs):
        it = iter(kestrane_acq.open(runs["gc"].path))
        base = next(it).mz.base
        for made_here in (kestrane_acq.Spectrum, type(it), type(base)):
            with pytest.raises(TypeError, match="cannot create"):
                made_here()
            with pytest.raises(TypeError):
                type("Sub", (made_here,), {})

    def test_type_reference_count_unchanged(self, runs):
        acq = kestrane_acq.open(runs["gc"].path)
        acq[0].mz
        gc.collect()
        before = sys.getrefcount(kestrane_acq.Spectrum)
        for _ in range(1000):
            acq[0].mz
        gc.collect()
        after = sys.getrefcount(kestrane_acq.Spectrum)  # outside the assert: its rewrite holds one
        assert after == before


class TestAccess:
    def test_indexing_and_iteration(self, runs):
        acq = kestrane_acq.open(runs["gc"].path)
        n = len(acq)
        ids = [s.scan_id for s in acq]
        assert ids == [acq[i].scan_id for i in range(n)] == [e.scan_id for e in runs["gc"].expected]
        assert acq[-1].scan_id == ids[-1] and acq[-n].scan_id == ids[0]
        for bad in (n, -n - 1, 2**62):
            with pytest.raises(IndexError):
                acq[bad]
        with pytest.raises(ValueError, match="prefer must be 'profile' or 'centroid', not 'peaks'"):
            acq.spectrum(0, prefer="peaks")

    @pytest.mark.parametrize("threads", [1, 2, 7])
    def test_parallel_reads_equal_single_reads(self, runs, threads):
        acq = kestrane_acq.open(runs["tof-lzf"].path)
        for prefer in ("profile", "centroid"):
            singles = [acq.spectrum(i, prefer=prefer) for i in range(len(acq))]
            whole = acq.spectra(prefer=prefer, threads=threads)
            assert [(s.index, s.mz.tobytes(), s.intensity.tobytes(), s.status) for s in whole] == [
                (s.index, s.mz.tobytes(), s.intensity.tobytes(), s.status) for s in singles]
            some = acq.spectra([-1, 0, 2], prefer=prefer, threads=threads)
            assert [s.index for s in some] == [len(acq) - 1, 0, 2]
            rt, tic = acq.tic(prefer=prefer, threads=threads)
            assert rt.tolist() == [s.retention_time_sec for s in singles]
            assert tic.tolist() == [s.tic for s in singles]
            _, bpc = acq.bpc(prefer=prefer, threads=threads)
            assert bpc.tolist() == [s.base_peak[1] if s.base_peak else 0.0 for s in singles]
            target = singles[0].base_peak[0]
            _, xic = acq.xic(target, ppm=5.0, prefer=prefer, threads=threads)
            half = target * 5.0 * 1e-6
            want = [in_order_sum(s.intensity[np.abs(s.mz - target) <= half])
                    for s in singles]
            assert xic.tolist() == want
        with pytest.raises(IndexError):
            acq.spectra([len(acq)])

    def test_threads_checked_before_any_work(self, tmp_path):
        # A run without records has nothing to hand to a thread: the count is refused all the same.
        acq = kestrane_acq.open(acq_run(tmp_path / "empty.d", "gc", 0, 10, seed=1).path)
        calls = [acq.spectra, acq.tic, acq.bpc, lambda threads: acq.xic(500.0, threads=threads),
                 lambda threads: acq.to_mzml(tmp_path / "x.mzML", threads=threads)]
        if importlib.util.find_spec("pyarrow"):
            calls += [acq.to_arrow, acq.arrow_batches,
                      lambda threads: acq.to_mzpeak(tmp_path / "x.mzpeak", threads=threads)]
        for call in calls:
            with pytest.raises(ValueError, match="threads must be at least 1"):
                call(threads=0)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.d"]

    def test_summary_words(self, runs):
        acq = kestrane_acq.open(runs["interrupted"].path)
        summary = acq.summary()
        assert set(map(len, summary.values())) == {len(acq)}
        assert summary["status"].tolist() == [e.spectrum()[0] for e in runs["interrupted"].expected]
        assert summary["status"].tolist()[-2:] == ["incomplete", "incomplete"]
        assert summary["representation"].tolist()[-1] is None

    def test_close_and_context_manager(self, runs):
        with kestrane_acq.open(runs["gc"].path) as acq:
            s = acq[0]
            it = iter(acq)
            next(it)
        assert acq.closed
        assert repr(acq) == f"Acquisition({str(runs['gc'].path)!r}, closed)"
        for read in (len, lambda a: a[0], lambda a: a.spectrum(0), lambda a: a.tic(), lambda a: next(it),
                     lambda a: a.scan_table(), lambda a: a.info, lambda a: a.warnings, iter):
            with pytest.raises(ValueError, match="I/O operation on a closed Acquisition"):
                read(acq)
        acq.close()  # twice is fine
        assert len(s.mz) == len(runs["gc"].expected[0].spectrum()[1].mz)

    def test_repr(self, runs):
        acq = kestrane_acq.open(runs["quad"].path)
        assert repr(acq) == f"Acquisition({str(runs['quad'].path)!r}, 4 records)"
        assert re.fullmatch(r"Spectrum\(index=0, scan_id=1, ms_level=2, rt=0\.\d{3} s, profile, 500 points\)",
                            repr(acq[0]))
        empty = kestrane_acq.open(runs["uncalibrated"].path)[0]
        assert repr(empty).endswith("0 points, status='uncalibrated')")

    def test_info_and_warnings(self, runs):
        acq = kestrane_acq.open(runs["headerless"].path)
        info = acq.info
        assert (info["records"], info["layout_version"], info["record_stride"]) == (4, 1, 184)
        assert [f["kind"] for f in info["formats"]] == [3]
        assert info["files"]["MSPeak.bin"] and not info["files"]["MSProfile.bin"]
        assert any("MSTS.xml" in w for w in acq.warnings)
        assert kestrane_acq.open(runs["gc"].path).warnings == []


class TestOpenErrors:
    def test_path_types(self, runs):
        path = runs["gc"].path
        for given in (path, str(path), os.fsencode(path), path / "AcqData"):
            assert len(kestrane_acq.open(given)) == len(runs["gc"].expected)
        with pytest.raises(TypeError):
            kestrane_acq.open(3)

    @pytest.mark.parametrize("as_bytes", [False, True])
    def test_missing_directory_is_file_not_found(self, tmp_path, as_bytes):
        path = tmp_path / "absent.d"
        with pytest.raises(FileNotFoundError) as info:
            kestrane_acq.open(os.fsencode(path) if as_bytes else path)
        want = os.fsencode(path) if as_bytes else str(path)
        assert (info.value.errno, info.value.filename) == (errno.ENOENT, want)

    def test_format_error_names_file_and_reason(self, runs, tmp_path):
        broken = tmp_path / "broken.d" / "AcqData"
        broken.mkdir(parents=True)
        index = runs["gc"].path / "AcqData" / "MSScan.bin"
        (broken / "MSScan.bin").write_bytes(b"\x05" + index.read_bytes()[1:])
        with pytest.raises(kestrane_acq.FormatError) as info:
            kestrane_acq.open(broken.parent)
        assert isinstance(info.value, ValueError)
        assert str(info.value) == f"{broken / 'MSScan.bin'}: magic 261 is not 257"
        assert info.value.filename == str(broken / "MSScan.bin")


def test_kestrane_imports_without_numpy():
    code = "import sys; sys.modules['numpy'] = None; import kestrane; print(kestrane.__all__)"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['RawReader', 'Spectrum']"


def test_type_stubs(tmp_path):
    """mypy --strict uses the installed stubs; stubtest finds them consistent with the module."""
    check = tmp_path / "check.py"
    check.write_text(
        "import kestrane_acq\n"
        "with kestrane_acq.open('x') as acq:\n"
        "    reveal_type(acq[0].mz)\n"
        "    reveal_type(acq.spectrum(0, prefer='centroid').polarity)\n"
        "    reveal_type(acq.tic())\n"
        "    acq.spectrum(0, prefer='peaks')\n"
    )
    # Under the sanitizers, leaks are not checked in the type checkers (LeakSanitizer's tracer
    # has crashed at their exit, which has nothing to do with this module).
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    common = dict(capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)
    cache = ["--cache-dir", str(tmp_path / "cache")]
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, str(check)], **common)
    out = proc.stdout.replace("builtins.", "")
    revealed = re.findall(r'Revealed type is "(.*)"', out)
    assert revealed[0].startswith("numpy.ndarray[") and "float64" in revealed[0]
    assert revealed[1] == "Literal['positive'] | Literal['negative'] | None"
    assert revealed[2].startswith("tuple[numpy.ndarray[")
    assert out.count("error:") == 1 and 'incompatible type "Literal[\'peaks\']"' in out, out
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, "-p", "kestrane_acq"], **common)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    allowlist = Path(__file__).with_name("stubtest-allowlist.txt")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kestrane_acq", "--allowlist",
                           str(allowlist)], **common)
    assert proc.returncode == 0, proc.stdout + proc.stderr
