"""The fixed-layout reader keeps, on every real directory, the outcome expected.json records under
_fixed_layout_reader: two directories open with every spectrum empty, the others are refused.

The directories are found through $KESTRANE_REALDATA or as ../shared/realdata beside the project.
"""

import json
import os
import struct
from pathlib import Path

import pytest

import kestrane

ROOT = Path(__file__).resolve().parents[2]
REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")
pytestmark = pytest.mark.skipif(
    not (REALDATA / "expected.json").is_file(),
    reason=f"no real data at {REALDATA} (set KESTRANE_REALDATA)",
)

# Directories that open, with their record counts; every other one is refused.
OPENS = {"quad-product-ion.d": 49, "tof-rle-older-schema.D": 3}
DIRECTORIES = [
    "gc-full-and-sim.D",
    "icp-no-schema.d",
    "icp-single-quad.D",
    "quad-product-ion.d",
    "tof-centroid-v2.D",
    "tof-lzf.D",
    "tof-rle-older-schema.D",
    "tof-rle-window.D",
]


def payload_length(directory):
    data = (REALDATA / directory / "AcqData" / "MSScan.bin").read_bytes()
    (data_offset,) = struct.unpack_from("<I", data, 88)
    return len(data) - data_offset


def test_the_list_covers_expected_json():
    expected = json.loads((REALDATA / "expected.json").read_text())
    assert sorted(k for k in expected if not k.startswith("_")) == DIRECTORIES
    assert "_fixed_layout_reader" in expected


@pytest.mark.parametrize("directory", DIRECTORIES)
def test_outcome_is_unchanged(directory):
    path = str(REALDATA / directory)
    if directory in OPENS:
        reader = kestrane.RawReader(path)
        assert reader.scan_count == OPENS[directory]
        assert [len(reader.read_spectrum(i)) for i in range(reader.scan_count)] == [0] * OPENS[directory]
    else:
        with pytest.raises(RuntimeError) as info:
            kestrane.RawReader(path)
        assert type(info.value) is RuntimeError
        assert str(info.value) == (
            f"parse error: Cannot determine record stride for payload len {payload_length(directory)}"
        )
