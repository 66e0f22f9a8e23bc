"""Hostile directories for kestrane_acq: nothing crashes, hangs, leaks descriptors or allocates
what a record claims; open errors are exceptions, block problems are statuses.

Each case runs in a child interpreter whose address space is capped (a claim of gigabytes
cannot be met) and whose run time is bounded. The child performs steps (open, read, replace a
file, ...) and reports, as JSON, what each read gave.
"""

import errno
import hashlib
import importlib.util
import json
import os
import resource
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import kestrane_acq
import numpy as np
import pytest
from kestrane_fixtures.acq import (
    FAMILIES, INVALID_UTF8_EDITS, LAYOUTS, NOT_UTF8, SPECTRUM_PARAMS, Variant, acq_run, cut_index,
    record_dtype,
)

ADDRESS_SPACE = 3 << 30
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
HAVE_PYARROW = importlib.util.find_spec("pyarrow") is not None

CHILD = r"""
import json, os, sys
import kestrane_acq

def fds():
    return set(os.listdir("/proc/self/fd"))

def error(exc):
    return {"error": type(exc).__name__, "message": str(exc), "errno": getattr(exc, "errno", None),
            "filename": os.fsdecode(exc.filename) if getattr(exc, "filename", None) else None}

acqs, results, before = [], [], fds()
for step in json.loads(sys.argv[1]):
    op = step["op"]
    if op == "open":
        path = os.fsencode(step["path"]) + step.get("suffix", "").encode("utf-8", "surrogateescape")
        try:
            acqs.append(kestrane_acq.open(os.fsdecode(path) if step.get("as_str") else path))
            results.append({"records": len(acqs[-1])})
        except Exception as exc:
            results.append(error(exc))
    elif op == "read":
        acq = acqs[step.get("acq", -1)]
        got = []
        for i in range(len(acq)):
            s = acq.spectrum(i, prefer=step.get("prefer", "profile"))
            got.append([s.status, s.profile_status, s.centroid_status, len(s), float(s.intensity.sum())])
        results.append(got)
    elif op == "truncate":
        os.truncate(step["path"], step["size"])
    elif op == "rename":
        os.rename(step["src"], step["dst"])
    elif op == "unlink":
        os.unlink(step["path"])
    elif op == "mkfifo":
        os.mkfifo(step["path"])
    elif op == "to_mzml":
        try:
            acqs[-1].to_mzml(step["path"], overwrite=True)
            text = open(step["path"], encoding="utf-8").read()
            results.append(text.split('accession="MS:1000569"', 1)[1].split('value="', 1)[1][:40])
        except Exception as exc:
            results.append(error(exc))
for acq in acqs:
    acq.close()
results.append(sorted(fds() - before))
print(json.dumps(results))
"""


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))


def run_steps(*steps):
    env = dict(os.environ)
    if UNDER_ASAN:  # ASan reserves terabytes of shadow memory: cap through its allocator
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:max_allocation_size_mb={ADDRESS_SPACE >> 20}"
    steps = [{k: os.fspath(v) if isinstance(v, os.PathLike) else v for k, v in s.items()} for s in steps]
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(steps)], capture_output=True,
                          text=True, timeout=180, env=env, preexec_fn=None if UNDER_ASAN else _limits)
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-4000:]}"
    *results, leaked = json.loads(proc.stdout.splitlines()[-1])
    assert leaked == [], f"descriptors left open: {leaked}"
    return results


@pytest.fixture(scope="module")
def lzf_run(tmp_path_factory):
    """LZF profiles and centroids, 2 blocks per record: 8 scans."""
    return acq_run(tmp_path_factory.mktemp("hostile") / "lzf.d", "tof-lzf", 8, 3000, seed=9,
                   variant=Variant(mass_cal="absent"))


def copy_run(run, dest):
    for src in run.path.rglob("*"):
        target = dest / src.relative_to(run.path)
        if src.is_dir():
            target.mkdir(parents=True, exist_ok=True)
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(src.read_bytes())
    return dest


# A file of the index replaced by something that is not a regular file, or not readable.
SPECIAL_FILES = {
    "index-fifo": ("MSScan.bin", "fifo", "OSError", "not a regular file"),
    "index-dev-zero": ("MSScan.bin", "/dev/zero", "OSError", "not a regular file"),
    "index-directory": ("MSScan.bin", "dir", "IsADirectoryError", None),
    "schema-fifo": ("MSScan.xsd", "fifo", "OSError", "not a regular file"),
    "schema-dev-zero": ("MSScan.xsd", "/dev/zero", "OSError", "not a regular file"),
    "profile-fifo": ("MSProfile.bin", "fifo", "OSError", "not a regular file"),
    "peak-dev-zero": ("MSPeak.bin", "/dev/zero", "OSError", "not a regular file"),
    "empty-index": ("MSScan.bin", "empty", "FormatError", "shorter than its 92-byte header (0 bytes)"),
    "huge-schema": ("MSScan.xsd", "sparse", "FormatError", "larger than"),
}


@pytest.mark.parametrize("case", SPECIAL_FILES)
def test_special_files_are_refused_at_open(lzf_run, tmp_path, case):
    name, kind, error, text = SPECIAL_FILES[case]
    root = copy_run(lzf_run, tmp_path / "run.d")
    target = root / "AcqData" / name
    target.unlink()
    if kind == "fifo":
        os.mkfifo(target)
    elif kind == "dir":
        target.mkdir()
    elif kind == "empty":
        target.write_bytes(b"")
    elif kind == "sparse":
        with open(target, "wb") as f:
            f.truncate(1 << 40)  # a terabyte claimed, nothing stored
    else:
        target.symlink_to(kind)
    [result] = run_steps({"op": "open", "path": root})
    assert result["error"] == error, result
    # OSError without an errno names the file in its message only.
    assert result["filename"] == (None if error == "OSError" else str(target))
    if text is not None:
        assert result["message"].startswith(f"{target}: ") and text in result["message"], result
    else:
        assert result["errno"] == errno.EISDIR


# Descriptor fields of record 2's blocks (slot 0: profile, slot 1: centroid) set to hostile
# values, and the statuses the read must give (profile preferred).
I64 = (1 << 63) - 1
CLAIMS = {
    "profile-points-2^31": ({"PointCount": (1 << 31) - 1}, None, ("ok", "malformed", "ok")),
    "profile-bytes-2^31": ({"ByteCount": (1 << 31) - 1}, None, ("ok", "past_end", "ok")),
    "profile-offset-max": ({"SpectrumOffset": I64}, None, ("ok", "past_end", "ok")),
    "profile-offset-negative": ({"SpectrumOffset": -1}, None, ("ok", "malformed", "ok")),
    "both-points-2^31": ({"PointCount": (1 << 31) - 1}, {"PointCount": (1 << 31) - 1},
                         ("malformed", "malformed", "malformed")),
    "centroid-bytes-negative": ({"ByteCount": 0, "PointCount": 0}, {"ByteCount": -5},
                                ("malformed", "empty", "malformed")),
    # A block of a format the table lacks belongs to no kind: the record has no profile block.
    "unknown-format": ({"SpectrumFormatID": 77}, None, ("ok", None, "ok")),
    "both-unknown": ({"SpectrumFormatID": 77}, {"SpectrumFormatID": 78},
                     ("unknown_format", None, None)),
}


@pytest.mark.parametrize("case", CLAIMS)
def test_hostile_block_claims_give_statuses(lzf_run, tmp_path, case):
    profile_claim, centroid_claim, (status, profile_status, centroid_status) = CLAIMS[case]
    root = copy_run(lzf_run, tmp_path / "run.d")
    index = root / "AcqData" / "MSScan.bin"
    data = bytearray(index.read_bytes())
    family = FAMILIES["tof-lzf"]
    dtype = record_dtype(LAYOUTS[family.layout], family.n_blocks)
    records = np.frombuffer(data, dtype=dtype, offset=lzf_run.data_offset)
    blocks = records[SPECTRUM_PARAMS][2]
    for slot, claim in enumerate((profile_claim, centroid_claim)):
        for field, value in (claim or {}).items():
            blocks[slot][field] = value
    index.write_bytes(data)
    opened, read = run_steps({"op": "open", "path": root}, {"op": "read"})
    assert opened == {"records": 8}
    clean = run_steps({"op": "open", "path": lzf_run.path}, {"op": "read"})[1]
    assert read[:2] + read[3:] == clean[:2] + clean[3:], "other scans changed"
    got = read[2]
    assert (got[0], got[1], got[2]) == (status, profile_status, centroid_status), got
    if status == "ok":  # the centroid block stood in for the profile
        assert got[3] == len(lzf_run.expected[2].centroid.mz)


def test_files_replaced_or_cut_between_reads(lzf_run, tmp_path):
    root = copy_run(lzf_run, tmp_path / "run.d")
    other = acq_run(tmp_path / "other.d", "tof-lzf", 8, 3000, seed=10, variant=Variant(mass_cal="absent"))
    profile = root / "AcqData" / "MSProfile.bin"
    peak = root / "AcqData" / "MSPeak.bin"
    results = run_steps(
        {"op": "open", "path": root},
        {"op": "read"},
        # Replaced by another file: the open acquisition keeps reading the file it opened.
        {"op": "rename", "src": other.path / "AcqData" / "MSProfile.bin", "dst": profile},
        {"op": "read"},
        # Cut short in place: blocks beyond the new end fail, the others still decode.
        {"op": "truncate", "path": peak, "size": 68},
        {"op": "read", "prefer": "centroid"},
        {"op": "open", "path": root},
        {"op": "read", "prefer": "centroid"},
    )
    _, first, after_rename, after_cut, _, reopened = results
    assert after_rename == first and all(r[0] == "ok" for r in first)
    assert [r[2] for r in after_cut] == ["past_end"] * 8
    assert [(r[0], r[1]) for r in after_cut] == [("ok", "ok")] * 8  # fell back to the profile
    assert [r[2] for r in reopened] == ["past_end"] * 8


# An index ending inside a record (an interrupted run): every whole record reads as before.
@pytest.mark.parametrize("tail", [1, 255])
def test_index_cut_inside_a_record(lzf_run, tmp_path, tail):
    root = cut_index(copy_run(lzf_run, tmp_path / "run.d"), tail)
    opened, read = run_steps({"op": "open", "path": root}, {"op": "read"})
    clean = run_steps({"op": "open", "path": lzf_run.path}, {"op": "read"})[1]
    assert (opened, read) == ({"records": 8}, clean)
    with kestrane_acq.open(root) as acq:
        assert acq.warnings[0] == (f"MSScan.bin: ends {tail} bytes into a record of 256 (from "
                                   "MSScan.xsd); the 8 whole records are read")


# MSScan.bin deleted, replaced by another run's or by a FIFO after open: the mzML's checksum is
# that of the bytes the index was read from, and no conversion waits on the FIFO.
@pytest.mark.parametrize("change", ["deleted", "other-file", "fifo"])
def test_index_checksum_is_of_the_bytes_read_at_open(lzf_run, tmp_path, change):
    root = copy_run(lzf_run, tmp_path / "run.d")
    index = root / "AcqData" / "MSScan.bin"
    other = acq_run(tmp_path / "other.d", "tof-lzf", 8, 3000, seed=10, variant=Variant(mass_cal="absent"))
    steps = {"deleted": [{"op": "unlink", "path": index}], "other-file": [{"op": "rename", "src": other.acq_dir / "MSScan.bin", "dst": index}],
             "fifo": [{"op": "unlink", "path": index}, {"op": "mkfifo", "path": index}]}[change]
    want = hashlib.sha1(index.read_bytes()).hexdigest()
    _, *_, checksum = run_steps({"op": "open", "path": root}, *steps,
                                {"op": "to_mzml", "path": tmp_path / "run.mzML"})
    assert checksum == want


@pytest.mark.parametrize("suffix, as_str, error", [
    ("\0", True, "ValueError"),
    ("\0/more", False, "ValueError"),
    ("/\udcff", True, "FileNotFoundError"),   # an undecodable byte, as os.fsdecode gives it
    ("/\udcff", False, "FileNotFoundError"),
])
def test_paths_with_nul_or_invalid_utf8(lzf_run, suffix, as_str, error):
    [result] = run_steps({"op": "open", "path": lzf_run.path, "suffix": suffix, "as_str": as_str})
    assert result["error"] == error, result
    if error == "ValueError":
        assert result["message"] == "embedded null byte"
    else:
        assert result["filename"] == os.fsdecode(os.fsencode(lzf_run.path) + b"/\xff")


def test_invalid_utf8_directory_opens(lzf_run, tmp_path):
    root = os.fsencode(tmp_path) + b"/r\xffun.d"
    os.rename(copy_run(lzf_run, tmp_path / "run.d"), root)
    for as_str in (False, True):
        step = {"op": "open", "path": os.fsdecode(root), "as_str": as_str}
        assert run_steps(step) == [{"records": 8}]


KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))

# A byte that is not UTF-8 in each text of a directory, and the text where it must arrive
# replaced: the open error (type-name), a warning or a record's keys; the directory's name must
# round-trip as a path. Conversions (from Python and from the command) succeed with the byte
# replaced in the summary line and in the mzML, which stays well-formed XML.
INVALID_UTF8 = {
    "type-name": "MSScan.xsd: element ScanTime has unknown type d\ufffdouble",
    "schema-version": "MSScan.xsd: version \ufffd1.0, MSScan.bin layout version 1",
    "field-name": "Frag\ufffdmentor",
    "msts-attribute": "MSTS.xml: segment \ufffd1 has no readable NumOfScans",
    "directory-name": None,
}


@pytest.mark.parametrize("case", INVALID_UTF8)
def test_invalid_utf8_reaches_python_replaced(lzf_run, tmp_path, case):
    root = INVALID_UTF8_EDITS[case](copy_run(lzf_run, tmp_path / "run.d"))
    want = INVALID_UTF8[case]
    out = os.fsencode(tmp_path) + b"/out" + NOT_UTF8 + b".mzML"
    cli = subprocess.run([KESTRANE, "convert", root, "-o", tmp_path / "cli"], capture_output=True,
                         text=True, timeout=120)
    if case == "type-name":
        with pytest.raises(kestrane_acq.FormatError) as info:
            kestrane_acq.open(root)
        assert str(info.value).endswith(want)
        assert (cli.returncode, cli.stderr.strip().endswith(want)) == (1, True), cli.stderr
        return
    assert cli.returncode == 0, cli.stderr
    assert cli.stdout.startswith(f"{tmp_path}/cli/r\ufffdun.mzML: " if case == "directory-name"
                                 else f"{tmp_path}/cli/run.mzML: "), cli.stdout
    info = subprocess.run([KESTRANE, "info", root], capture_output=True, timeout=120)
    assert info.returncode == 0, info.stderr
    assert info.stdout.startswith(os.fsencode(root) + b"\n")  # a path prints as its bytes
    with kestrane_acq.open(root) as acq:
        assert os.fsencode(acq.info["path"]) == os.fsencode(root)
        texts = [*acq.warnings, *acq.record(0)]
        summary = acq.to_mzml(out)
        with pytest.raises(FileNotFoundError):
            acq.to_mzml(b"/nodir" + NOT_UTF8 + b"/x.mzML")
    if want is not None:
        assert any(want in t for t in texts), texts
    assert os.fsencode(summary.path) == out
    assert str(summary).startswith(f"{tmp_path}/out\ufffd.mzML: 8 scans written")
    with open(out, "rb") as f:
        run = ET.parse(f).getroot().find(".//{http://psi.hupo.org/ms/mzml}run")
    assert run.get("id") == ("r_un" if case == "directory-name" else "run")


EVERY_API = r"""
import json, sys
import numpy as np
import kestrane_acq

path, out = sys.argv[1], sys.argv[2]
try:
    acq = kestrane_acq.open(path)
except kestrane_acq.FormatError as exc:
    print(json.dumps({"open": str(exc)}))
    sys.exit(0)
with acq:
    items = [acq[i] for i in range(len(acq))]
    listed = acq.spectra()
    mzml = acq.to_mzml(out)
    got = {
        "scans": [[s.status, s.profile_status, s.calibration, len(s)] for s in items],
        "finite": all(bool(np.isfinite(s.mz).all()) for s in items),
        "spectra": [[s.status, len(s)] for s in listed],
        "tic": len(acq.tic()[0]),
        "summary": [str(v) for v in acq.summary()["status"]],
        "converted": mzml.records,
        "warnings": acq.warnings,
    }
    try:
        import pyarrow  # the columnar outputs are an optional extra
    except ImportError:
        pyarrow = None
    if pyarrow is not None:
        table = acq.to_arrow()
        mz = np.concatenate([s.mz for s in items]) if items else np.empty(0)
        peak = acq.to_mzpeak(out + ".mzpeak")
        got["columns"] = {
            "arrow_is_the_spectra": table.num_rows == len(mz) and bool(np.array_equal(
                table["mz"].to_numpy().view(np.uint64), mz.view(np.uint64))),
            "scan_rows": acq.scan_table(format="arrow").num_rows,
            "mzpeak": [peak.spectra + peak.skipped, peak.points, peak.failed],
            "mzml": [mzml.records, table.num_rows, mzml.failed],
        }
    print(json.dumps(got))
"""

# Hostile directories built by the fixture package, and what reading them gives: the open error,
# or per scan [status, profile status, calibration, points] (None: any) and a warning's text (or a
# tuple of them), which info and convert print as well.
HOSTILE = {
    "schema-fan-out": ("lays out more than 4096 fields", None, None),
    "schema-long-names": ("names take more than 262144 bytes", None, None),
    "lzf-count-2^62+1": (None, {1: ["ok", "malformed", "default", None]}, None),
    "run-length-zero-bomb": (None, {i: ["malformed", "malformed", None, 0] for i in range(8)}, None),
    "calibration-row-nan": (None, {0: ["ok", "ok", "default", 200], 1: ["ok", "ok", "per-scan", 200]},
                            "MSMassCal.bin: 1 rows hold values that are not finite"),
    "calibration-default-nan": (None, {0: ["uncalibrated", "uncalibrated", "uncalibrated", 0]},
                                "its values cannot give finite masses; not used"),
    "calibration-high-orders": (None, {0: ["uncalibrated", "uncalibrated", "uncalibrated", 0]},
                                "polynomial orders above 15"),
    "calibration-huge-a": (None, {i: ["uncalibrated", "uncalibrated", "uncalibrated", 0] for i in range(4)},
                           None),
    "icp-non-finite-channels": (None, {0: ["malformed", "malformed", None, 0], 1: ["ok", "ok", "axis", 2]},
                                None),
    # Values kept as stored, reported once per record however often each is read.
    "icp-negative-counts": (None, {i: ["ok", "ok", "axis", 2] for i in range(3)}, (
        "MSProfile.bin: 2 points in 2 records have a negative intensity, kept as stored (first: record 0, -1)",
        "MSProfile.bin: 1 points in 1 records have an intensity that is not finite, kept as stored "
        "(first: record 2, nan)")),
    "raw-profile-negative-and-nan": (None, {i: ["ok", "ok", "axis", 50] for i in range(3)}, (
        "MSProfile.bin: 2 points in 2 records have a negative intensity, kept as stored (first: record 0, -1)",
        "MSProfile.bin: 1 points in 1 records have an intensity that is not finite")),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_directories_through_every_api_and_the_command(tmp_path, case):
    from kestrane_fixtures.acq import HOSTILE_DIRECTORIES

    open_error, scans, warning = HOSTILE[case]
    warnings = (warning,) if isinstance(warning, str) else warning or ()
    run = HOSTILE_DIRECTORIES[case](tmp_path / "run.d")
    env = dict(os.environ)
    if UNDER_ASAN:
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:max_allocation_size_mb={ADDRESS_SPACE >> 20}"
    limits = None if UNDER_ASAN else _limits

    def child(*args):
        return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120,
                              env=env, preexec_fn=limits)

    proc = child("-c", EVERY_API, str(run.path), str(tmp_path / "api.mzML"))
    assert proc.returncode == 0, proc.stderr[-4000:]
    got = json.loads(proc.stdout.splitlines()[-1])
    if open_error is not None:
        assert open_error in got["open"], got
    else:
        assert "open" not in got, got
        for i, expected in scans.items():
            assert [e if e is not None else g for e, g in zip(expected, got["scans"][i])] == got["scans"][i], (i, got)
        assert got["finite"], "non-finite m/z presented"
        assert got["spectra"] == [[s, n] for s, _, _, n in got["scans"]]
        assert got["summary"] == [s for s, _, _, _ in got["scans"]]
        assert got["tic"] == len(got["scans"])
        assert got["converted"] == len(got["scans"])
        for w in warnings:
            assert any(w in text for text in got["warnings"]), got["warnings"]
        if "columns" in got:  # every point in the table, and mzPeak counting as mzML does
            columns = got["columns"]
            assert columns["arrow_is_the_spectra"] and columns["scan_rows"] == len(got["scans"]), columns
            assert columns["mzpeak"] == columns["mzml"], columns
    for command in (["info", str(run.path)],
                    *(["convert", str(run.path), "-o", str(tmp_path / f"cli.{suffix}")]
                      for suffix in ("mzML", "mgf", *(["mzpeak"] if HAVE_PYARROW else [])))):
        proc = child("-m", "kestrane_acq.cli", *command)
        assert "Traceback" not in proc.stderr, proc.stderr[-4000:]
        if open_error is not None:
            assert proc.returncode == 1 and open_error in proc.stderr, (proc.returncode, proc.stderr)
        else:
            assert proc.returncode == 0, proc.stderr[-4000:]
            for w in warnings:  # info and the converter's summary carry the warnings
                assert w in proc.stdout + proc.stderr, (command, proc.stdout, proc.stderr)
