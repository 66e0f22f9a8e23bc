"""The kestrane command: info (text and JSON), plot, errors and the progress bar."""

import json
import math
import os
import signal
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from kestrane_fixtures.acq import NOT_UTF8, Variant, acq_run, edit_records

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
    by_module = subprocess.run([sys.executable, "-m", "kestrane_acq", "info", str(run.path), "--json"],
                               capture_output=True, text=True, timeout=120)
    assert (by_module.returncode, by_module.stdout) == (0, proc.stdout)


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
    (["info", "{bad}", "--threads", "99999999999999999999"], 2,
     "kestrane: --threads must be at most 2147483647"),
    (["plot", "{bad}", "-o", "{plain}/out.txt"], 2, "kestrane: -o {plain}/out.txt: cannot write a "
     ".txt image (supported: {images})"),
])
def test_errors(tmp_path, args, status, message):
    if args[0] == "plot":
        pytest.importorskip("matplotlib")
        from matplotlib.backend_bases import FigureCanvasBase
        images = ", ".join(f".{k}" for k in sorted(FigureCanvasBase.get_supported_filetypes()))
    else:
        images = ""
    names = {"missing": tmp_path / "missing.d", "bad": tmp_path / "bad.d", "plain": tmp_path}
    (names["bad"] / "AcqData").mkdir(parents=True)
    (names["bad"] / "AcqData" / "MSScan.bin").write_bytes(b"abc")
    proc = kestrane(*(a.format(**names) for a in args))
    assert (proc.returncode, proc.stderr.strip()) == (status, message.format(**names, images=images))


# The RT range of info leaves out records without a time; with none, there is no range. JSON
# never holds NaN.
@pytest.mark.parametrize("timeless, rt_sec", [([1], [0, 2]), ([0, 1, 2], None)])
def test_info_rt_range_of_records_with_a_time(tmp_path, timeless, rt_sec):
    run = acq_run(tmp_path / "r.d", "quad", 3, 20, seed=2)
    edit_records(run, lambda records: records["ScanTime"].__setitem__(timeless, math.nan))
    proc = kestrane("info", run.path, "--json")
    assert proc.returncode == 0, proc.stderr

    def no_nan(word):
        raise AssertionError(f"{word} in the JSON")
    d = json.loads(proc.stdout, parse_constant=no_nan)
    expected = rt_sec and [run.expected[i].rt_min * 60.0 for i in rt_sec]
    assert d["rt_sec"] == expected
    assert ("  RT               -\n" in kestrane("info", run.path).stdout) == (rt_sec is None)


# The file written: the name given, or with .png added where it has no suffix.
@pytest.mark.parametrize("name, written, magic", [
    ("run.png", "run.png", b"\x89PNG\r\n\x1a\n"),
    ("run", "run.png", b"\x89PNG\r\n\x1a\n"),
    ("run.PDF", "run.PDF", b"%PDF"),
])
def test_plot(run, tmp_path, name, written, magic):
    pytest.importorskip("matplotlib")
    proc = kestrane("plot", run.path, "-o", tmp_path / name)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"wrote {tmp_path / written} (spectrum of scan index ")
    assert (tmp_path / written).read_bytes()[:len(magic)] == magic
    assert [p.name for p in tmp_path.iterdir()] == [written]


# Ctrl-C while a whole-run pass decodes: a message and 128 + SIGINT, no traceback.
@pytest.mark.parametrize("command", ["info", "plot"])
def test_interrupted(run, tmp_path, monkeypatch, capsys, command):
    from kestrane_acq import cli

    if command == "plot":
        pytest.importorskip("matplotlib")
    passes = cli.run_pass

    def interrupted(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGINT)
        return passes(*args, **kwargs)

    monkeypatch.setattr(cli, "run_pass", interrupted)
    args = [command, str(run.path)] + (["-o", str(tmp_path / "x.png")] if command == "plot" else [])
    assert cli.main(args) == 130
    assert capsys.readouterr().err == "kestrane: interrupted\n"
    assert list(tmp_path.iterdir()) == []


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


# Titles show the directory's name as it is: never mathtext, undecodable bytes as escapes.
@pytest.mark.parametrize("name, shown", [
    (b"r$\\q$.d", "r$\\q$"),
    (b"a_$x^2$.d", "a_$x^2$"),
    (b"r" + NOT_UTF8 + b"un.d", "r\\xffun"),
])
def test_plot_titles(tmp_path, name, shown):
    pytest.importorskip("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    from kestrane_acq.plotting import draw_run

    run = acq_run(os.fsdecode(os.fsencode(tmp_path) + b"/" + name), "quad", 3, 60, seed=2)
    with kestrane_acq.open(run.path) as acq:
        fig, _ = draw_run(acq)
    FigureCanvasAgg(fig).draw()
    titles = [ax.title for ax in fig.axes]
    assert all(t.get_text().startswith(f"{shown}: ") for t in titles)
    assert not any(t._preprocess_math(t.get_text())[1] for t in titles)  # drawn as plain text
