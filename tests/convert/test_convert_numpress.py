"""MS-Numpress in the converted mzML: each code's arrays read back by pyteomics (through
pynumpress) and by pyopenms within the code's stated bound of the lossless file's values; every
other array, and the whole file without --numpress, stays lossless."""

from __future__ import annotations

import gzip
import io
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest
from kestrane_fixtures.acq import acq_run

import kestrane_acq

KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))
NS = "{http://psi.hupo.org/ms/mzml}"
TERMS = {"linear": "MS-Numpress linear prediction compression",
         "pic": "MS-Numpress positive integer compression",
         "slof": "MS-Numpress short logged float compression"}
AXES = ("m/z array", "time array")


def bound(code: str, x: np.ndarray) -> np.ndarray:
    """The README's bound of each code, value by value."""
    if code == "linear":
        return 1e-8 * np.maximum(x, 1.0)
    if code == "pic":
        return np.full_like(x, 0.5)
    return 2e-4 * (x + 1.0)


# numpress argument, how it is written (to_mzml, or `kestrane convert` to .mzML.gz or to
# standard output), and whether zlib is on top.
MODES = [("linear", "to_mzml", True), ("pic", ".mzML.gz", True), ("slof", "-", False),
         ("linear,slof", "to_mzml", False), ("linear,pic", ".mzML.gz", False)]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Profile TOF, centroid quadrupole (fractional intensities), ICP channels (chromatograms
    only); each with its lossless conversion."""
    base = tmp_path_factory.mktemp("numpress")
    out = {}
    for family, points in (("tof-lzf", 2000), ("quad", 300), ("icp", None)):
        path = acq_run(base / f"{family}.d", family, 6, points, seed=3).path
        plain = base / f"{family}.mzML"
        with kestrane_acq.open(path) as acq:
            acq.to_mzml(plain)
            assert acq.to_mzml(base / f"{family}-none.mzML", numpress=None)
        out[family] = (path, plain)
    return out


def read_back(data: bytes) -> dict[str, dict[str, tuple[str, np.ndarray]]]:
    """Every array of every spectrum and chromatogram by id and kind: (compression term, values
    as pyteomics decodes them)."""
    pytest.importorskip("pynumpress", reason="pyteomics decodes MS-Numpress through pynumpress")
    from pyteomics import mzml

    terms: dict[str, dict[str, str]] = {}
    for item in ET.fromstring(data).iter():
        if item.tag in (NS + "spectrum", NS + "chromatogram"):
            arrays = terms.setdefault(item.get("id"), {})
            for array in item.iter(NS + "binaryDataArray"):
                names = [p.get("name") for p in array.iter(NS + "cvParam")]
                kind = next(n for n in names if n.endswith(" array"))
                arrays[kind] = next(n for n in names if "compression" in n)
    out = {}
    with mzml.MzML(io.BytesIO(data), use_index=False) as reader:
        items = list(reader)
    with mzml.MzML(io.BytesIO(data), use_index=False) as reader:
        items += list(reader.iterfind("chromatogram"))
    for item in items:
        out[item["id"]] = {kind: (terms[item["id"]][kind], np.asarray(item[kind], dtype=np.float64))
                           for kind in terms[item["id"]]}
    return out


def openms_arrays(path: Path) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    import pyopenms

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(path), experiment)
    out = {s.getNativeID(): s.get_peaks() for s in experiment.getSpectra()}
    for c in experiment.getChromatograms():
        rt, counts = c.get_peaks()
        out[c.getNativeID()] = (np.asarray(rt) / 60.0, counts)  # OpenMS holds seconds
    return out


@pytest.mark.parametrize("family", ["tof-lzf", "quad", "icp"])
@pytest.mark.parametrize("numpress, form, zlib", MODES, ids=[m[0] + m[1] for m in MODES])
def test_each_code_within_its_bound_and_nothing_else_lossy(runs, tmp_path, family, numpress, form,
                                                           zlib):
    directory, plain = runs[family]
    codes = numpress.split(",")
    axis = "linear" if "linear" in codes else None
    intensity = next((c for c in codes if c != "linear"), None)
    out = tmp_path / ("run.mzML" if form == "to_mzml" else "run" + form if form != "-" else "run.mzML")
    if form == "to_mzml":
        with kestrane_acq.open(directory) as acq:
            acq.to_mzml(out, numpress=numpress, compression=zlib)
    else:
        args = [KESTRANE, "convert", str(directory), "-o", str(out) if form != "-" else "-",
                "--numpress", numpress] + ([] if zlib else ["--no-compression"])
        proc = subprocess.run(args, capture_output=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        if form == "-":
            out.write_bytes(proc.stdout)
    data = out.read_bytes()
    if form == ".mzML.gz":
        data = gzip.decompress(data)
        out = tmp_path / "run.mzML"
        out.write_bytes(data)
    want = read_back(plain.read_bytes())
    got = read_back(data)
    oms = openms_arrays(out)
    assert got.keys() == want.keys() == oms.keys()
    encoded = 0
    for item_id, arrays in want.items():
        assert got[item_id].keys() == arrays.keys()
        for kind, (_, values) in arrays.items():
            term, decoded = got[item_id][kind]
            code = axis if kind in AXES else intensity
            ours = oms[item_id][0 if kind in AXES else 1]
            if code is None or len(values) < 2:  # a single value: linear refuses it, see README
                assert term in ("zlib compression", "no compression") and \
                    (term == "zlib compression") == (zlib and len(values) > 0), (item_id, kind)
                assert np.array_equal(decoded.view(np.uint64), values.view(np.uint64))
                continue
            assert term == TERMS[code] + (" followed by zlib compression" if zlib else ""), \
                (item_id, kind, term)
            encoded += 1
            assert np.all(np.abs(decoded - values) <= bound(code, values)), (item_id, kind)
            # OpenMS holds intensities as 32-bit floats, and times as seconds.
            slack = np.abs(values) * (2.0 ** -23 if kind not in AXES else 1e-15)
            assert np.all(np.abs(ours - values) <= bound(code, values) + slack), (item_id, kind)
    assert encoded > 0


def test_default_is_lossless_and_unchanged_by_numpress_none(runs):
    for _, plain in runs.values():
        text = plain.read_bytes()
        assert b"MS-Numpress" not in text
        assert plain.with_name(plain.stem + "-none.mzML").read_bytes() == text


@pytest.mark.parametrize("numpress, error", [
    ("zip", "unknown numpress code 'zip' (linear, pic, slof)"),
    ("linear,", "unknown numpress code '' (linear, pic, slof)"),
    ("slof,linear,slof", "numpress code slof given twice"),
    ("pic,slof", "numpress codes pic and slof both apply to the intensities"),
    (["linear"], TypeError),
])
def test_names_that_cannot_be_used(runs, tmp_path, numpress, error):
    with kestrane_acq.open(runs["quad"][0]) as acq:
        with pytest.raises(error if isinstance(error, type) else ValueError) as excinfo:
            acq.to_mzml(tmp_path / "a.mzML", numpress=numpress)
    if not isinstance(error, type):
        assert str(excinfo.value) == error
    assert list(tmp_path.iterdir()) == []
