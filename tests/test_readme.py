"""The README's Python examples run as written, on the sample directories the demo creates."""

import re
import subprocess
import sys
import zipfile
from pathlib import Path

import kestrane_fixtures as kf
import pytest
from kestrane_fixtures.acq import acq_run

ROOT = Path(__file__).resolve().parents[1]


def run_example(tmp_path, index):
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert len(blocks) > index, "README.md lacks a Python example"
    script = tmp_path / f"example{index}.py"
    script.write_text(blocks[index])
    return subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, check=True).stdout


def test_kestrane_acq_example_runs_when_pasted(tmp_path):
    # As tools/demo.sh and the README's command write it.
    acq_run(tmp_path / "sample" / "tof.d", "tof-rle", 60, 20000, seed=7)
    lines = run_example(tmp_path, 0).splitlines()
    assert lines[0] == "Acquisition('sample/tof.d', 60 records)"
    assert lines[2].startswith("Spectrum(index=0, scan_id=2460, ms_level=1, rt=0.500 s, profile, "
                               "20000 points) per-scan ok")
    assert re.fullmatch(r"m/z \d+\.\d{4}: XIC apex at \d+\.\d s", lines[-1])


def test_columns_example_runs_when_pasted(tmp_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("duckdb")
    acq_run(tmp_path / "sample" / "tof.d", "tof-rle", 60, 20000, seed=7)
    out = run_example(tmp_path, 1)
    lines = out.splitlines()
    assert lines[0] == "1200000 ['spectrum_index', 'mz', 'intensity']"
    assert lines[1] == "60 ['scan_id', 'scan_method_id', 'time_segment_id', 'retention_time_sec']"
    assert lines[2] == "1200000"  # the stream's batches hold the table's points
    assert lines[3].startswith("tof.mzpeak: 60 spectra, 1200000 points (float32), ")
    assert zipfile.is_zipfile(tmp_path / "tof.mzpeak")
    rows = re.findall(r"│\s+(\d+) │\s+([\d.]+) │\s+([\d.]+) │", out)
    assert len(rows) == 3 and all(500 <= float(mz) <= 501 for _, mz, _ in rows)
    assert [float(y) for *_, y in rows] == sorted((float(y) for *_, y in rows), reverse=True)


def test_kestrane_example_runs_when_pasted(tmp_path):
    kf.realistic_run(tmp_path / "sample" / "demo.d", n_scans=200, points=500, seed=7)
    out = run_example(tmp_path, 2)
    assert out.startswith("RawReader('sample/demo.d', 200 scans)\nSpectrum(500 peaks, RT ")


def test_convert_command_runs_when_pasted(tmp_path):
    acq_run(tmp_path / "sample" / "tof.d", "tof-rle", 6, 2000, seed=7)
    (line,) = re.findall(r"^\.venv/bin/(kestrane convert .*?)\s+#", (ROOT / "README.md").read_text(),
                         re.M)
    command = [str(Path(sys.executable).parent / "kestrane"), *line.split()[1:]]
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, check=True)
    assert proc.stdout.startswith("mzml/tof.mzML: 6 scans written, 0 skipped"), proc.stdout
    assert (tmp_path / "mzml" / "tof.mzML").read_bytes().startswith(b"<?xml")


def test_install_line_makes_a_313_venv(tmp_path):
    # The first line of the Install block, into a scratch venv: it must not depend on a
    # `python3.13` on PATH (pyenv machines have only shims).
    block = re.search(r"## Install\n.*?```sh\n(.*?)\n", (ROOT / "README.md").read_text(), re.S)
    line = block.group(1).split(" && ")[0].replace(".venv", str(tmp_path / "venv"))
    subprocess.run(["bash", "-c", line], cwd=ROOT, check=True, capture_output=True)
    out = subprocess.run([str(tmp_path / "venv" / "bin" / "python"), "-c",
                          "import sys; print(sys.version_info >= (3, 13))"],
                         capture_output=True, text=True, check=True).stdout
    assert out == "True\n"
