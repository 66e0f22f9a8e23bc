"""kestrane convert and Acquisition.to_mzml: outputs, summaries, replacing, and failures that
leave nothing behind (an existing file, an unwritable place, a full disk, an interrupt)."""

from __future__ import annotations

import collections
import importlib.util
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest
from kestrane_fixtures.acq import SPECTRUM_PARAMS, Variant, acq_run, edit_records

import kestrane_acq

KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))
SUMMARY = re.compile(r"(?P<path>.+): (?:(?P<written>\d+) scans written|(?P<chromatograms>\d+) "
                     r"chromatograms from (?P<records>\d+) records)"
                     r"(?: \((?P<selected>\d+) of \d+ records selected\))?, "
                     r"(?P<skipped>\d+) skipped, (?P<empty>\d+) empty, "
                     r"(?P<failed>\d+) failed, (?P<warnings>\d+) warnings, \d+\.\d\d s, "
                     r"\d+\.\d MB/s")


def kestrane(*args, **kw):
    return subprocess.run([KESTRANE, *map(str, args)], capture_output=True, text=True, timeout=300,
                          **kw)


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("runs")
    # 6 records, the last 2 cut off: skipped and counted.
    lzf = acq_run(base / "lzf.d", "tof-lzf", 6, 400, seed=5,
                  variant=Variant(mass_cal="absent", interrupted=2))
    icp = acq_run(base / "icp.D", "icp", 12, seed=5, variant=Variant(xaddition="MS_MS"))
    return lzf.path, icp.path


@pytest.fixture(scope="module")
def big_run(tmp_path_factory):
    """A run whose conversion takes long enough to be stopped while it writes."""
    return acq_run(tmp_path_factory.mktemp("big") / "big.d", "tof-rle", 400, 100_000, seed=1).path


@pytest.fixture(scope="module")
def quad(tmp_path_factory):
    return acq_run(tmp_path_factory.mktemp("quad") / "quad.d", "quad", 5, 60, seed=3).path


def summary_of(line: str) -> dict[str, str]:
    m = SUMMARY.fullmatch(line)
    assert m, line
    return m.groupdict()


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir())


class TestCommand:
    def test_one_file_per_directory_and_one_summary_line_per_run(self, runs, tmp_path):
        lzf, icp = runs
        proc = kestrane("convert", lzf, icp, "-o", tmp_path / "out", "--jobs", "2")
        assert proc.returncode == 0, proc.stderr
        lines = {summary_of(line)["path"]: summary_of(line) for line in proc.stdout.splitlines()}
        out = tmp_path / "out"
        assert leftovers(out) == ["icp.mzML", "lzf.mzML"]
        assert lines[str(out / "lzf.mzML")] | {"path": ""} == {
            "path": "", "written": "4", "chromatograms": None, "records": None, "selected": None,
            "skipped": "2", "empty": "0", "failed": "0", "warnings": "1"}
        assert lines[str(out / "icp.mzML")]["chromatograms"] == "3"
        assert lines[str(out / "icp.mzML")]["records"] == "12"
        # The warnings themselves go to stderr, under their directory.
        assert f"kestrane: {lzf}: warning: MSScan.bin: 2 records lie past the end" in proc.stderr
        assert proc.stderr.count("warning:") == 1  # no progress bar: stderr is no terminal

    def test_options_reach_the_file(self, runs, tmp_path):
        lzf, _ = runs
        out = tmp_path / "x.mzML"
        proc = kestrane("convert", lzf, "-o", out, "--prefer", "centroid", "--no-compression")
        assert proc.returncode == 0, proc.stderr
        text = out.read_text()
        assert 'accession="MS:1000576"' in text and 'accession="MS:1000574"' not in text
        assert 'accession="MS:1000127"' in text and 'accession="MS:1000128"' not in text

    def test_an_existing_file_is_replaced_only_when_asked(self, runs, tmp_path):
        lzf, _ = runs
        out = tmp_path / "lzf.mzML"
        out.write_text("keep me")
        proc = kestrane("convert", lzf, "-o", tmp_path)
        assert proc.returncode == 1
        assert proc.stderr == f"kestrane: {lzf}: {out} exists; pass --overwrite to replace it\n"
        assert out.read_text() == "keep me"
        proc = kestrane("convert", lzf, "-o", tmp_path, "--overwrite")
        assert proc.returncode == 0, proc.stderr
        assert out.read_text().startswith("<?xml")
        assert leftovers(tmp_path) == ["lzf.mzML"]

    @pytest.mark.parametrize("args, message", [
        (["{lzf}", "{icp}", "-o", "{tmp}/one.mzML"],
         "kestrane: -o {tmp}/one.mzML: a .mzML file takes one directory, not 2; give a directory"),
        (["{lzf}", "{tmp}/copy/lzf.d", "-o", "{tmp}"],
         "kestrane: {lzf} and {tmp}/copy/lzf.d would both be written to {tmp}/lzf.mzML"),
        (["{lzf}", "-o", "{tmp}", "--jobs", "0"], "kestrane: --jobs must be at least 1"),
        (["{lzf}", "-o", "{tmp}", "--threads", "0"], "kestrane: --threads must be at least 1"),
        (["{lzf}", "-o", "{tmp}", "--rt", "5:2"], "kestrane: --rt 5:2: the end comes before the start"),
        (["{lzf}", "-o", "{tmp}", "--rt", "5"], "kestrane: --rt 5: expected START:END"),
        (["{lzf}", "-o", "{tmp}", "--rt", "nan:"], "kestrane: --rt: 'nan' is not a number of 0 or more"),
        (["{lzf}", "-o", "{tmp}", "--scans=-1:4"],
         "kestrane: --scans: '-1' is not a number of 0 or more"),
        (["{lzf}", "-o", "{tmp}", "--ms-level", "x"], "kestrane: --ms-level x: expected N, N- or N-M"),
        (["{lzf}", "-o", "{tmp}", "--ms-level", "0"], "kestrane: --ms-level 0: expected N, N- or N-M"),
        (["{lzf}", "-o", "{tmp}", "--ms-level", "3-2"],
         "kestrane: --ms-level 3-2: the end comes before the start"),
        (["{lzf}", "-o", "{tmp}", "--numpress", "zip"],
         "kestrane: --numpress zip: unknown numpress code 'zip' (linear, pic, slof)"),
        (["{lzf}", "-o", "{tmp}", "--numpress", "linear,pic,slof"],
         "kestrane: --numpress linear,pic,slof: numpress codes pic and slof both apply to the "
         "intensities"),
        (["{lzf}", "-o", "{tmp}/x.mgf", "--numpress", "slof"],
         "kestrane: --numpress: mzML output only, not .mgf"),
        (["{lzf}", "-o", "{tmp}", "--scans", "99999999999999999999999:"],
         "kestrane: --scans: '99999999999999999999999' is more than 2147483647"),
        (["{lzf}", "-o", "{tmp}", "--ms-level", "1-99999999999999999999999"],
         "kestrane: --ms-level 1-99999999999999999999999: MS levels go up to 2147483647"),
        (["{lzf}", "-o", "{tmp}", "--ms-level", "\u00b2"], "kestrane: --ms-level \u00b2: expected N, N- or N-M"),
        (["{lzf}", "-o", "{tmp}", "--threads", "99999999999999999999"],
         "kestrane: --threads must be at most 2147483647"),
        (["{lzf}", "-o", "{tmp}", "--jobs", "2147483648"], "kestrane: --jobs must be at most 2147483647"),
        (["{lzf}", "-o", "{tmp}/same.mzML", "--metadata", "{tmp}/./same.mzML"],
         "kestrane: --metadata {tmp}/./same.mzML: the output file itself ({tmp}/same.mzML)"),
        (["{lzf}", "-o", "{tmp}", "--metadata", "{tmp}/lzf.mzML"],
         "kestrane: --metadata {tmp}/lzf.mzML: the output file itself ({tmp}/lzf.mzML)"),
        (["{lzf}", "-o", ""], "kestrane: -o: the path is empty"),
        (["{lzf}", "-o", "{tmp}", "--metadata", ""], "kestrane: --metadata: the path is empty"),
        (["{lzf}", "-o", "{tmp}", "--metadata", "{tmp}/m/"],
         "kestrane: --metadata {tmp}/m/: names a directory, not FILE.json"),
    ])
    def test_usage_errors(self, runs, tmp_path, args, message):
        lzf, icp = runs
        fill = lambda s: s.format(lzf=lzf, icp=icp, tmp=tmp_path)  # noqa: E731
        proc = kestrane("convert", *map(fill, args))
        assert (proc.returncode, proc.stderr.strip()) == (2, fill(message))
        assert leftovers(tmp_path) == []

    def test_unwritable_output(self, runs, tmp_path):
        lzf, _ = runs
        (tmp_path / "file").write_text("")
        proc = kestrane("convert", lzf, "-o", tmp_path / "file" / "x.mzML")
        assert proc.returncode == 1
        assert proc.stderr.startswith(f"kestrane: {lzf}: [Errno 20] "), proc.stderr
        assert "Not a directory" in proc.stderr

    @pytest.mark.parametrize("out, reason", [
        ("out", "cannot write "), ("out/x.mzpeak", "File too large"),
        ("out/x.mzpeak/", "File too large")])
    def test_a_full_disk_fails_cleanly(self, runs, tmp_path, out, reason):
        # A file size limit stands for a full disk: the write fails with EFBIG.
        lzf, _ = runs
        (tmp_path / "out").mkdir()

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))

        proc = subprocess.run([KESTRANE, "convert", str(lzf), "-o", f"{tmp_path}/{out}"],
                              capture_output=True, text=True, timeout=300, preexec_fn=limit)
        assert proc.returncode == 1
        assert proc.stderr.startswith(f"kestrane: {lzf}: [Errno 27] {reason}"), proc.stderr
        assert "File too large" in proc.stderr
        assert leftovers(tmp_path / "out") == []

    # Every signal a user or a scheduler sends to stop the command.
    @pytest.mark.parametrize("signum, message", [
        (signal.SIGINT, "kestrane: interrupted"),
        (signal.SIGTERM, "kestrane: interrupted (SIGTERM)"),
        (signal.SIGHUP, "kestrane: interrupted (SIGHUP)"),
    ])
    def test_a_signal_removes_the_temporary_file(self, big_run, tmp_path, signum, message):
        out = tmp_path / "out"
        proc = subprocess.Popen([KESTRANE, "convert", str(big_run), "-o", str(out), "--threads", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while not (out.is_dir() and any(out.iterdir())) and time.monotonic() < deadline:
            time.sleep(0.02)
        proc.send_signal(signum)
        stdout, stderr = proc.communicate(timeout=120)
        assert proc.returncode == 128 + signum, stderr
        assert stderr.strip().endswith(message), stderr
        assert stdout == ""
        assert leftovers(out) == []

    def test_progress_bar_on_a_terminal_only(self, runs, tmp_path, stderr_on_a_terminal):
        lzf, _ = runs
        proc, seen = stderr_on_a_terminal([KESTRANE, "convert", str(lzf), "-o", str(tmp_path)])
        assert proc.returncode == 0
        assert b"converting:" in seen and b"/6 [" in seen, seen


# A run whose every scan fails (its data files absent): written empty and counted, or, strict,
# an error that leaves no file, from Python and from the command.
FAILED_SCAN = "MSScan.bin: record 0 (scanId=1) could not be read: file_absent (profile block: file_absent)"


@pytest.mark.parametrize("strict", [False, True])
def test_strict_conversion_fails_on_a_failed_scan(tmp_path, strict):
    run = acq_run(tmp_path / "gone.d", "quad", 3, 50, seed=2, variant=Variant(omit=frozenset({"MSProfile.bin"})))
    out = tmp_path / "out"
    out.mkdir()
    with kestrane_acq.open(run.path) as acq:
        if strict:
            with pytest.raises(kestrane_acq.FormatError) as info:
                acq.to_mzml(out / "a.mzML", strict=True, threads=1)
            assert str(info.value) == FAILED_SCAN
        else:
            assert acq.to_mzml(out / "a.mzML").failed == 3
    proc = kestrane("convert", run.path, "-o", out / "b.mzML", *["--strict"] * strict)
    if strict:
        assert (proc.returncode, proc.stderr.strip()) == (1, f"kestrane: {run.path}: {FAILED_SCAN}")
        assert leftovers(out) == []
    else:
        assert proc.returncode == 0 and summary_of(proc.stdout.strip())["failed"] == "3"
        assert leftovers(out) == ["a.mzML", "b.mzML"]


def test_a_failed_scan_takes_the_kind_its_run_can_hold(tmp_path):
    # MSProfile.bin absent, the first centroid block empty: that scan fails, and its empty
    # spectrum is labelled centroid like the others, not profile.
    run = acq_run(tmp_path / "c.d", "tof-centroid", 3, 20, seed=2)
    failed = sum(e.spectrum()[0] not in ("ok", "empty") for e in run.expected)
    with kestrane_acq.open(run.path) as acq:
        assert acq.to_mzml(tmp_path / "c.mzML").failed == failed > 0
    text = (tmp_path / "c.mzML").read_text()
    assert text.count('accession="MS:1000127"') == 3 and 'accession="MS:1000128"' not in text


class TestToMzml:
    def test_summary(self, runs, tmp_path):
        lzf, _ = runs
        with kestrane_acq.open(lzf) as acq:
            s = acq.to_mzml(tmp_path / "a.mzML", threads=2)
        assert (s.records, s.selected, s.written, s.skipped, s.empty, s.failed, s.chromatograms) == \
            (6, 6, 4, 2, 0, 0, 2)
        assert s.path == str(tmp_path / "a.mzML")
        assert s.bytes == (tmp_path / "a.mzML").stat().st_size
        assert s.warnings == ["MSScan.bin: 2 records lie past the end of their data files (incomplete)"]
        assert summary_of(str(s))["written"] == "4"

    @pytest.mark.parametrize("kwargs, error", [
        ({"ms_level": 0}, "ms level 0 is below 1"),
        ({"ms_level": (3, 2)}, "ms levels 3-2 end before they start"),
        ({"rt": (5.0, 2.0)}, "retention times 5:2 end before they start"),
        ({"scans": (-1, None)}, "scans bounds must not be negative"),
        ({"polarity": "both"}, "polarity must be 'positive' or 'negative'"),
        ({"rt": 5.0}, TypeError),
        ({"scans": (0.5, None)}, TypeError),
        # Past 64 bits: a level beyond any, a bound below 0, a time no float holds.
        ({"ms_level": (2**70, 2)}, "ms levels 2147483647-2 end before they start"),
        ({"scans": (-2**70, None)}, "scans bounds must not be negative"),
        ({"rt": (2**1100, None)}, OverflowError),
    ])
    def test_selections_that_cannot_be_used(self, runs, tmp_path, kwargs, error):
        lzf, _ = runs
        with kestrane_acq.open(lzf) as acq:
            with pytest.raises(error if isinstance(error, type) else ValueError) as excinfo:
                acq.to_mzml(tmp_path / "a.mzML", **kwargs)
        if not isinstance(error, type):
            assert str(excinfo.value) == error
        assert leftovers(tmp_path) == []

    def test_existing_file(self, runs, tmp_path):
        lzf, _ = runs
        out = tmp_path / "a.mzML"
        out.write_text("keep me")
        with kestrane_acq.open(lzf) as acq:
            with pytest.raises(FileExistsError) as excinfo:
                acq.to_mzml(out)
            assert excinfo.value.filename == str(out)
            assert out.read_text() == "keep me"
            acq.to_mzml(out, overwrite=True)
            for overwrite in (False, True):  # a directory is never replaced, nor offered to be
                with pytest.raises(IsADirectoryError) as excinfo:
                    acq.to_mzml(tmp_path, overwrite=overwrite)
                assert excinfo.value.filename == str(tmp_path)
        assert out.read_text().startswith("<?xml")

    @pytest.mark.parametrize("raise_, expected", [
        (lambda: os.kill(os.getpid(), signal.SIGINT), KeyboardInterrupt),  # Ctrl-C
        (lambda: 1 / 0, ZeroDivisionError),
    ])
    def test_cancelled_by_a_signal_or_the_progress_callable(self, runs, tmp_path, raise_, expected):
        lzf, _ = runs
        calls = []

        def progress(done, total):
            calls.append((done, total))
            if done == 2:
                raise_()

        with kestrane_acq.open(lzf) as acq:
            with pytest.raises(expected):
                acq.to_mzml(tmp_path / "a.mzML", threads=1, progress=progress)
        assert calls[:2] == [(1, 4), (2, 4)] and len(calls) <= 3
        assert leftovers(tmp_path) == []

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"prefer": "both"}, ValueError, "prefer must be 'profile' or 'centroid', not 'both'"),
        ({"threads": 0}, ValueError, "threads must be at least 1"),
        ({"progress": 3}, TypeError, "progress must be callable or None"),
    ])
    def test_arguments(self, runs, tmp_path, kwargs, error, message):
        lzf, _ = runs
        with kestrane_acq.open(lzf) as acq:
            with pytest.raises(error, match=re.escape(message)):
                acq.to_mzml(tmp_path / "a.mzML", **kwargs)
        assert leftovers(tmp_path) == []

    def test_empty_path(self, runs, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with kestrane_acq.open(runs[0]) as acq:
            writers = [acq.to_mzml, acq.to_mzpeak] if importlib.util.find_spec("pyarrow") else [acq.to_mzml]
            for write in writers:
                with pytest.raises(FileNotFoundError, match="cannot write an empty path"):
                    write("")
        assert leftovers(tmp_path) == []

    def test_closed(self, runs, tmp_path):
        acq = kestrane_acq.open(runs[0])
        acq.close()
        with pytest.raises(ValueError, match="closed"):
            acq.to_mzml(tmp_path / "a.mzML")


class TestOutputForms:
    """The form follows the name of -o: each form read back by the field's readers, holding the
    same spectra as the plain mzML."""

    def test_gzip_and_standard_output_hold_the_plain_file(self, runs, tmp_path):
        import gzip

        lzf, _ = runs
        plain, packed = tmp_path / "a.mzML", tmp_path / "a.mzML.GZ"
        for out in (plain, packed):
            assert kestrane("convert", lzf, "-o", out).returncode == 0
        proc = subprocess.run([KESTRANE, "convert", lzf, "-o", "-"], capture_output=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert summary_of(proc.stderr.decode().splitlines()[0])["path"] == "-"
        assert subprocess.run(["gzip", "-t", packed]).returncode == 0
        assert gzip.decompress(packed.read_bytes()) == plain.read_bytes() == proc.stdout
        assert leftovers(tmp_path) == ["a.mzML", "a.mzML.GZ"]
        pyopenms = pytest.importorskip("pyopenms")
        exp = pyopenms.MSExperiment()
        pyopenms.MzMLFile().load(str(packed), exp)  # reads .gz itself, the index included
        with kestrane_acq.open(lzf) as acq:
            assert [s.get_peaks()[0].tolist() for s in exp] == [acq[i].mz.tolist() for i in range(4)]

    def test_a_closed_pipe_fails_with_its_reason(self, tmp_path):
        big = acq_run(tmp_path / "big.d", "tof-lzf", 300, 4000, seed=1).path
        proc = subprocess.Popen([KESTRANE, "convert", big, "-o", "-", "--no-compression"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdout.read(100)
        proc.stdout.close()
        assert proc.wait(timeout=300) == 1
        assert "cannot write standard output: Broken pipe" in proc.stderr.read().decode()

    # The MGF holds the MS/MS spectra as read (centroided with --centroid): neither empty scans
    # nor ICP channel readings (MS level 2 from the hardware), a record without a time has no
    # RTINSECONDS, and the metadata JSON holds no NaN.
    @pytest.mark.parametrize("family, n, points, edit, options", [
        ("quad", 5, 60, None, []),
        ("tof-centroid", 12, 60, None, []),
        ("quad", 5, 1000, (1, 2), ["--centroid"]),  # record 1 without a time, record 2 empty
        ("icp", 12, 60, None, []),
    ])
    def test_mgf_and_metadata(self, family, n, points, edit, options, tmp_path):
        import json
        import math

        from pyteomics import mgf

        run = acq_run(tmp_path / "r.d", family, n, points, seed=3)
        if edit:
            def change(records):
                timeless, empty = edit
                records["ScanTime"][timeless] = math.nan
                records[SPECTRUM_PARAMS][empty][["PointCount", "ByteCount"]] = (0, 0)
            edit_records(run, change)
        out, meta = tmp_path / "r.mgf", tmp_path / "r.json"
        proc = kestrane("convert", run.path, "-o", out, "--metadata", meta, *options)
        assert proc.returncode == 0, proc.stderr
        with kestrane_acq.open(run.path) as acq:
            read = list(mgf.read(str(out), convert_arrays=1, use_index=False))
            spectra = acq.spectra(centroid="--centroid" in options)
            wanted = [s for s in spectra
                      if s.ms_level >= 2 and s.status != "empty" and s.representation != "channels"]
            channels = sum(s.representation == "channels" for s in spectra)
            if edit:
                assert math.isnan(spectra[edit[0]].retention_time_sec)
                assert spectra[edit[1]].status == "empty"
            assert proc.stdout.startswith(f"{out}: {len(wanted)} MS/MS spectra written, 0 failed, ")
            warning = (f"warning: {channels} ICP channel records are not MS/MS spectra and are left "
                       "out of the MGF")
            assert (warning in proc.stderr) == (channels > 0), proc.stderr
            assert [r["params"]["title"] for r in read] == [f"scanId={s.scan_id}" for s in wanted]
            for r, s in zip(read, wanted):
                rt = s.retention_time_sec if math.isfinite(s.retention_time_sec) else None
                assert (r["params"]["pepmass"][0], r["params"].get("rtinseconds")) == (s.precursor_mz, rt)
                sign = -1 if s.polarity == "negative" else 1
                assert r["params"].get("charge") == (
                    None if s.charge_state is None else [sign * s.charge_state])
                assert r["m/z array"].tobytes() == s.mz.tobytes()  # bit for bit
                assert r["intensity array"].tobytes() == s.intensity.tobytes()

            def no_nan(word):
                raise AssertionError(f"{word} in the metadata JSON")
            d = json.loads(meta.read_text(), parse_constant=no_nan)
            summary = acq.summary()
            levels = collections.Counter(str(s.ms_level) for s in acq)
            times = [t for t in acq.scan_table()["retention_time_sec"].tolist() if math.isfinite(t)]
        assert any(s.charge_state for s in wanted) or family in ("quad", "icp")
        assert d["records"] == n and d["ms_levels"] == levels
        assert d["rt_sec"] == [min(times), max(times)]
        for key in ("tic", "base_peak_mz"):  # JSON has no NaN: an unread scan is null
            assert d["scans"][key] == [None if v != v else v for v in summary[key].tolist()]

    # A place the MGF or --metadata cannot go fails the run before converting, naming the path
    # given; what is replaced or written takes the permissions of a new file (the umask's).
    @pytest.mark.parametrize("out, meta, options, message", [
        ("r.mgf", "r.json", [], "{run}: {tmp}/r.json exists; pass --overwrite to replace it"),
        ("r.mgf", "gone/r.json", [], "{run}: [Errno 2] No such file or directory: '{tmp}/gone/r.json'"),
        ("gone/r.mgf", None, [], "{run}: [Errno 2] No such file or directory: '{tmp}/gone/r.mgf'"),
        ("r.mgf", "r.json", ["--overwrite"], None),
        # --overwrite never puts a regular file in place of a pipe (or a device: /dev/null).
        *[(out, meta, ["--overwrite"], f"{{run}}: not replaced: {{tmp}}/{pipe} is not a regular "
           "file (a device, pipe or socket)")
          for out, meta, pipe in (("pipe.mgf", None, "pipe.mgf"), ("pipe.mzML", None, "pipe.mzML"),
                                  ("r.mgf", "pipe.json", "pipe.json"))],
    ])
    def test_where_mgf_and_metadata_go(self, quad, tmp_path, out, meta, options, message):
        old = tmp_path / "r.json"
        old.write_text("keep me")
        old.chmod(0o600)
        pipes = [name for name in (out, meta) if name and name.startswith("pipe")]
        for name in pipes:
            os.mkfifo(tmp_path / name)
        args = [KESTRANE, "convert", str(quad), "-o", str(tmp_path / out), *options]
        args += ["--metadata", str(tmp_path / meta)] if meta else []
        proc = subprocess.run(args, capture_output=True, text=True, timeout=300,
                              preexec_fn=lambda: os.umask(0o027))
        if message is not None:
            assert (proc.returncode, proc.stderr.strip()) == (
                1, "kestrane: " + message.format(run=quad, tmp=tmp_path))
            assert leftovers(tmp_path) == sorted(["r.json", *pipes]) and old.read_text() == "keep me"
            assert all(stat.S_ISFIFO((tmp_path / name).lstat().st_mode) for name in pipes)
        else:
            assert proc.returncode == 0, proc.stderr
            assert {p.name: p.stat().st_mode & 0o777 for p in tmp_path.iterdir()} == {
                "r.json": 0o640, "r.mgf": 0o640}

    @pytest.mark.parametrize("out, message", [
        ("x.foo", "kestrane: -o {tmp}/x.foo: unknown output kind '.foo' (known: .mzML, .mzML.gz, "
                  ".mgf, .mzpeak; a directory, or - for standard output)"),
        ("-", "kestrane: -o -: standard output takes one directory, not 2; give a directory"),
        ("x.mgf", "kestrane: -o {tmp}/x.mgf: a .mgf file takes one directory, not 2; give a directory"),
    ])
    def test_forms_refused(self, runs, tmp_path, out, message):
        lzf, icp = runs
        target = out if out == "-" else tmp_path / out
        dirs = [lzf] if out == "x.foo" else [lzf, icp]
        proc = kestrane("convert", *dirs, "-o", target)
        assert (proc.returncode, proc.stderr.strip()) == (2, message.format(tmp=tmp_path))
        assert leftovers(tmp_path) == []  # no directory made
