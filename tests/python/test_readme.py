"""The README's Python example runs as written, on the sample directory the demo creates."""

import re
import subprocess
import sys
from pathlib import Path

import kestrane_fixtures as kf

ROOT = Path(__file__).resolve().parents[2]


def test_usage_example_runs_when_pasted(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks, "README.md has no Python example"
    kf.realistic_run(tmp_path / "sample" / "demo.d", n_scans=200, points=500, seed=7)
    script = tmp_path / "example.py"
    script.write_text(blocks[0])
    out = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, check=True).stdout
    assert out.startswith("RawReader('sample/demo.d', 200 scans)\nSpectrum(500 peaks, RT ")
