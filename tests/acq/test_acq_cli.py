"""The kestrane command: info (text and JSON), plot, errors and the progress bar."""

import json
import os
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from kestrane_fixtures.acq import Variant, acq_run

import kestrane_acq

KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))


def kestrane(*args, **kw):
    return subprocess.run([KESTRANE, *map(str, args)], capture_output=True, text=True, timeout=120, **kw)


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    # 6 records, the last 2 cut off: a summary with two statuses and a warning.
    return acq_run(tmp_path_factory.mktemp("cli") / "lzf.d", "tof-lzf", 6, 400, seed=5,
                   variant=Variant(mass_cal="absent", interrupted=2))


def test_info_json(run):
    proc = kestrane("info", run.path, "--json")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""  # no progress bar when stderr is not a terminal
    d = json.loads(proc.stdout)
    assert (d["records"], d["family"]) == (6, "LZF profile, centroid")
    assert d["ms_levels"] == {"1": 6} and d["polarity"] == {"positive": 6}
    assert d["status"] == {"ok": 4, "incomplete": 2}
    assert d["representations"] == {"profile": 4, "none": 2}
    assert d["calibration"] == {"default": 4, "none": 2}
    assert d["profile_status"] == {"ok": 4, "past_end": 2}
    assert d["rt_sec"] == [run.expected[0].rt_min * 60.0, run.expected[-1].rt_min * 60.0]
    assert d["points"] == 4 * 400
    assert "MSPeak.bin" in d["files"] and "MSMassCal.bin" not in d["files"]
    assert d["warnings"] == ["MSScan.bin: 2 records lie past the end of their data files (incomplete)"]
    centroid = json.loads(kestrane("info", run.path, "--json", "--prefer", "centroid").stdout)
    assert centroid["representations"] == {"centroid": 4, "none": 2}


def test_info_text(run):
    proc = kestrane("info", run.path, "--threads", "1")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == str(run.path)
    fields = dict(line.split(None, 1) if not line.startswith("  ") else
                  [line[2:19].strip(), line[19:].strip()] for line in lines[1:])
    assert fields["records"].startswith("6 (stride 256 bytes, layout version 1, blocks per record 2")
    assert fields["status"] == "ok: 4, incomplete: 2"
    assert fields["warnings"] == "1"
    assert lines[-1].strip().startswith("MSScan.bin: 2 records lie past the end")


# Facts of a run shown by info: scan types by name (numbers marked unknown beyond full and SIM),
# data files that blocks point into but that are absent, scans that could not be read.
@pytest.mark.parametrize("family, names, findings", [
    ("tof-centroid", {1: "full"}, ["MSProfile.bin: absent, though 3 records have a profile block in it",
                                   "1 scans could not be read and give empty spectra (first: index 0, "
                                   "file_absent)"]),
    ("gc", {1: "full", 2: "SIM"}, []),
    ("quad", {512: "512 (unknown)"}, []),
])
def test_info_facts(tmp_path, family, names, findings):
    run = acq_run(tmp_path / "r.d", family, 3, 20, seed=2)
    d = json.loads(kestrane("info", run.path, "--json").stdout)
    assert d["scan_types"] == dict(Counter(names[e.scan_type] for e in run.expected))
    assert d["warnings"] == findings


def test_progress_bar_on_a_terminal_only(run, stderr_on_a_terminal):
    proc, seen = stderr_on_a_terminal([KESTRANE, "info", str(run.path)])
    assert proc.returncode == 0
    assert b"decoding:" in seen and b"/6 [" in seen, seen


@pytest.mark.parametrize("args, status, message", [
    (["info", "{missing}"], 1, "kestrane: [Errno 2] No such file or directory: '{missing}'"),
    (["info", "{plain}"], 1, "kestrane: not an acquisition directory: {plain} (no AcqData/MSScan.bin)"),
    (["info", "{bad}"], 1, "kestrane: {bad}/AcqData/MSScan.bin: shorter than its 92-byte header (3 bytes)"),
    (["info", "{bad}", "--threads", "0"], 2, "kestrane: --threads must be at least 1"),
])
def test_errors(tmp_path, args, status, message):
    names = {"missing": tmp_path / "missing.d", "bad": tmp_path / "bad.d", "plain": tmp_path}
    (names["bad"] / "AcqData").mkdir(parents=True)
    (names["bad"] / "AcqData" / "MSScan.bin").write_bytes(b"abc")
    proc = kestrane(*(a.format(**names) for a in args))
    assert (proc.returncode, proc.stderr.strip()) == (status, message.format(**names))


def test_plot(run, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "run.png"
    proc = kestrane("plot", run.path, "-o", out)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"wrote {out} (spectrum of scan index ")
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_usage():
    proc = kestrane()
    assert proc.returncode == 2 and "COMMAND" in proc.stderr
    helped = kestrane("--help")
    assert helped.returncode == 0 and "info" in helped.stdout and "plot" in helped.stdout
    from importlib.metadata import version
    shown = kestrane("--version")
    assert (shown.returncode, shown.stdout) == (0, f"kestrane {version('kestrane')}\n")
    assert kestrane_acq.__version__ == version("kestrane")


@pytest.mark.parametrize("family, variant, lines, gap", [
    ("gc", Variant(), 2, False),                        # full and SIM scans: a trace each
    ("tof-rle", Variant(interrupted=2), 1, True),       # the cut records are gaps, not zeros
    ("icp-no-schema", Variant(schema=False), 3, False),  # one trace per channel
])
def test_plot_traces(tmp_path, family, variant, lines, gap):
    pytest.importorskip("matplotlib")
    from kestrane_acq.plotting import draw_run

    run = acq_run(tmp_path / f"{family}.d", family, 12, 3 if family.startswith("icp") else 400,
                  seed=2, variant=variant)
    with kestrane_acq.open(run.path) as acq:
        fig, apex = draw_run(acq)
    first = fig.axes[0]
    assert len(first.lines) == lines
    assert first.get_title().startswith(f"{family}: ")
    ys = np.concatenate([line.get_ydata() for line in first.lines])
    assert bool(np.isnan(ys).any()) == gap
    if apex is not None:
        assert "MS1" in fig.axes[2].get_title()
