"""Converted files as the field's tools read them.

OpenMS's FileInfo validates each file (schema and semantics, index, data), xmllint checks it
against the indexed mzML schema OpenMS ships, a reader of the index written here checks every
offset and the checksum, and pyteomics (sequentially) and pyopenms (by index) read every spectrum
and chromatogram back as kestrane_acq reads the directory: the same arrays bit for bit, native
IDs, MS levels, times, precursors and polarity. The TIC and base peak chromatograms read back as
kestrane_acq's tic() and bpc() give them over the scans written, by pymzml's run["TIC"] too.

One table of directories: small generated runs of every family, and the real directories
($KESTRANE_REALDATA or ../shared/realdata beside the project; skipped where absent).
"""

from __future__ import annotations

import hashlib
import html
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pytest
from kestrane_fixtures.acq import Variant, acq_run

import kestrane_acq

ROOT = Path(__file__).resolve().parents[2]
REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")
REAL = ["gc-full-and-sim.D", "icp-no-schema.d", "icp-single-quad.D", "quad-product-ion.d",
        "tof-centroid-v2.D", "tof-lzf.D", "tof-rle-older-schema.D", "tof-rle-window.D"]
KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))
FILE_INFO = shutil.which("FileInfo")
XMLLINT = shutil.which("xmllint")
SCHEMA = Path("/usr/share/openms/SCHEMAS/mzML_idx_1_10.xsd")

# name: (family, scans, points, variant, prefer[, selection: to_mzml's keyword arguments, also
# given to `kestrane convert` as options])
GENERATED: dict[str, tuple] = {
    "tof-rle": ("tof-rle", 8, 20000, None, "profile"),
    "tof-rle-older": ("tof-rle-older", 6, 20000, None, "profile"),
    "tof-lzf": ("tof-lzf", 6, 15000, None, "profile"),
    "tof-lzf-centroid": ("tof-lzf", 6, 15000, None, "centroid"),
    "tof-centroid": ("tof-centroid", 8, 500, None, "profile"),  # scan 0 fails: no MSProfile.bin
    "gc": ("gc", 40, None, None, "profile"),
    "quad": ("quad", 10, 1000, None, "profile"),
    "icp-ms-ms": ("icp", 30, None, Variant(xaddition="MS_MS"), "profile"),
    "icp-no-schema": ("icp-no-schema", 10, None, None, "profile"),
    "interrupted": ("tof-rle", 8, 5000, Variant(interrupted=2), "profile"),
    "gc-selected": ("gc", 40, None, None, "profile",
                    {"ms_level": (1, None), "scans": (5, 30), "polarity": "positive"}),
    "quad-rt": ("quad", 10, 1000, None, "profile", {"rt": (None, 0.05)}),
    "tof-nothing": ("tof-rle", 8, 5000, None, "profile", {"rt": (1e6, None)}),
}
CASES = [pytest.param(name, id=name) for name in GENERATED] + [
    pytest.param(name, id=name, marks=pytest.mark.skipif(
        not (REALDATA / name).is_dir(), reason=f"no real data at {REALDATA} (set KESTRANE_REALDATA)"))
    for name in REAL
]

SIM, MSN, MS1 = "MS:1000582", "MS:1000580", "MS:1000579"


def options_of(selection: dict) -> list[str]:
    """`kestrane convert`'s options for to_mzml's selection arguments."""
    out = []
    for key, value in selection.items():
        if key == "ms_level":
            low, high = value if isinstance(value, tuple) else (value, value)
            out += ["--ms-level", f"{low}-{'' if high is None else high}"]
        elif key in ("rt", "scans"):
            out += [f"--{key}", ":".join("" if v is None else str(v) for v in value)]
        else:
            out += [f"--{key}", value]
    return out


def selects(table: dict, i: int, selection: dict) -> bool:
    def within(v, bounds) -> bool:
        low, high = bounds if isinstance(bounds, tuple) else (bounds, bounds)
        return (low is None or v >= low) and (high is None or v <= high)

    return (within(int(table["ms_level"][i]), selection.get("ms_level", (None, None)))
            and within(table["retention_time_sec"][i] / 60.0, selection.get("rt", (None, None)))
            and within(i, selection.get("scans", (None, None)))
            and selection.get("polarity", table["polarity"][i]) == table["polarity"][i])


def bits_equal(ours, theirs) -> bool:
    a = np.asarray(ours, dtype=np.float64)
    b = np.asarray(theirs).astype(np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@dataclass
class Expected:
    """What the file must hold, from kestrane_acq."""

    spectra: list[dict] = field(default_factory=list)
    chromatograms: list[dict] = field(default_factory=list)
    shared_times: int = 0  # spectra whose scan time another spectrum has


def expected_of(directory: Path, prefer: str, selection: dict) -> Expected:
    out = Expected()
    with kestrane_acq.open(directory) as acq:
        table = acq.scan_table()
        keep = [i for i in range(len(acq))
                if not table["incomplete"][i] and selects(table, i, selection)]
        if acq.info["family"] == "ICP channels":
            channels: dict[tuple[float, float], dict] = {}
            for i in keep:
                s = acq.spectrum(i, prefer)
                first = s.precursor_channel_mz if s.precursor_channel_mz is not None else s.mz
                for q1, q3, counts in zip(first, s.mz, s.intensity):
                    c = channels.setdefault((q1, q3), {
                        "kind": "selected ion monitoring chromatogram", "id": None,
                        "precursor": None if q1 == q3 else q1, "product": q3, "time": [],
                        "counts": []})
                    c["time"].append(acq.record(i)["ScanTime"])
                    c["counts"].append(counts)
            out.chromatograms = list(channels.values())
            return out
        for i in keep:
            s = acq.spectrum(i, prefer)
            level, scan_type = int(table["ms_level"][i]), int(table["scan_type"][i])
            precursor = None
            if level >= 2 and not np.isnan(table["precursor_mz"][i]):
                energy = table["collision_energy"][i]
                record = acq.record(i)
                width, charge = record.get("MzIsolationWidth", 0.0), record.get("ChargeState", 0)
                precursor = (float(table["precursor_mz"][i]), None if np.isnan(energy) else float(energy),
                             width / 2.0 if width > 0 else None, charge if charge > 0 else None)
            failed = s.status not in ("ok", "empty")
            out.spectra.append({
                "id": f"scanId={s.scan_id}",
                "ms_level": level,
                "type": SIM if scan_type == 2 else MSN if level >= 2 else MS1,
                "rt_min": acq.record(i)["ScanTime"],
                "rt_sec": s.retention_time_sec,
                "polarity": s.polarity,
                "precursor": precursor,
                "representation": s.representation,
                "failed": failed,
                "mz": s.mz,
                "intensity": s.intensity,
            })
        time = [s["rt_min"] for s in out.spectra]
        for kind, chromatogram_id, (rt_sec, values) in (
                ("total ion current chromatogram", "TIC", acq.tic(prefer, indices=keep)),
                ("basepeak chromatogram", "BPC", acq.bpc(prefer, indices=keep))):
            assert bits_equal(np.asarray(time, dtype=np.float64) * 60.0, rt_sec)
            out.chromatograms.append({"kind": kind, "id": chromatogram_id, "precursor": None,
                                      "product": None, "time": time, "counts": values})
        times = sorted(time)
        out.shared_times = sum(a == b for a, b in zip(times, times[1:]))
    return out


@dataclass
class Converted:
    directory: Path
    mzml: Path
    expected: Expected


@pytest.fixture(scope="module")
def converted(tmp_path_factory) -> dict[str, Converted]:
    """Every case converted: the profile-preferring ones by one `kestrane convert` call on two
    jobs, the others through Acquisition.to_mzml."""
    base = tmp_path_factory.mktemp("convert")
    dirs: dict[str, tuple[Path, str, dict]] = {}
    for name, (family, scans, points, variant, prefer, *selection) in GENERATED.items():
        path = base / "in" / f"generated-{name}.d"
        acq_run(path, family, scans, points, seed=3, variant=variant)
        dirs[name] = (path, prefer, selection[0] if selection else {})
    for name in REAL:
        if (REALDATA / name).is_dir():
            dirs[name] = (REALDATA / name, "profile", {})
    out = base / "out"
    cli = [str(p) for p, prefer, selection in dirs.values() if prefer == "profile" and not selection]
    proc = subprocess.run([KESTRANE, "convert", *cli, "-o", str(out), "--jobs", "2"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.splitlines()) == len(cli)  # one summary line per run
    result = {}
    for name, (path, prefer, selection) in dirs.items():
        mzml = out / (re.sub(r"\.[dD]$", "", path.name) + ".mzML")
        expected = expected_of(path, prefer, selection)
        if prefer != "profile":
            mzml = out / f"{name}.mzML"
            with kestrane_acq.open(path) as acq:
                acq.to_mzml(mzml, prefer=prefer)
        elif selection:
            proc = subprocess.run([KESTRANE, "convert", str(path), "-o", str(mzml),
                                   *options_of(selection)], capture_output=True, text=True,
                                  timeout=600)
            assert proc.returncode == 0, proc.stderr
            written = len(expected.spectra)
            assert re.search(rf": {written} scans written \(\d+ of \d+ records selected\)",
                             proc.stdout), proc.stdout
            assert ("the selection matches none" in proc.stderr) == (written == 0), proc.stderr
        result[name] = Converted(path, mzml, expected)
    return result


def run_tool(*args: str | Path) -> str:
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300)
    return proc.stdout + proc.stderr


needs_openms = pytest.mark.skipif(FILE_INFO is None or XMLLINT is None or not SCHEMA.is_file(),
                                  reason="OpenMS's FileInfo or xmllint absent (topp, libxml2-utils)")


@needs_openms
@pytest.mark.parametrize("name", CASES)
def test_openms_and_xmllint_validate(converted, name):
    c = converted[name]
    e = c.expected
    valid = run_tool(FILE_INFO, "-in", c.mzml, "-v")
    # FileInfo exits with 0 after some failures: its text is what counts.
    assert "Success - the file is valid!" in valid, valid
    assert "Success - the file is semantically valid!" in valid, valid
    index = run_tool(FILE_INFO, "-in", c.mzml, "-i")
    assert (f"Found a valid indexed mzML XML File with {len(e.spectra)} spectra and "
            f"{len(e.chromatograms)} chromatograms.") in index, index
    data = run_tool(FILE_INFO, "-in", c.mzml, "-c")
    assert "-- Checking for corrupt data --" in data, data
    # Equal scan times are written as stored; FileInfo reports each as a duplicate.
    errors = [line for line in data.splitlines() if line.startswith("Error")]
    assert len(errors) == e.shared_times, data
    assert all(line.startswith("Error: Duplicate spectrum retention time:") for line in errors), data
    no_peaks = sum(line.startswith("Warning: No peaks in spectrum") for line in data.splitlines())
    assert no_peaks == sum(len(s["mz"]) == 0 or s["failed"] for s in e.spectra), data
    lint = subprocess.run([XMLLINT, "--noout", "--schema", str(SCHEMA), str(c.mzml)],
                          capture_output=True, text=True, timeout=300)
    assert lint.returncode == 0 and lint.stderr.strip().endswith("validates"), lint.stderr


@pytest.mark.parametrize("name", CASES)
def test_instrument_components_only_where_the_data_name_them(converted, name):
    from pyteomics import mzml

    c = converted[name]
    with mzml.MzML(str(c.mzml), use_index=False) as reader:
        configuration = next(reader.iterfind("instrumentConfigurationList/instrumentConfiguration"))
    components = configuration.get("componentList")
    # Flight-time axes (the time-of-flight runs) are the one analyzer type the files state.
    if (GENERATED[name][0] if name in GENERATED else name).startswith("tof"):
        assert {k: len(v) for k, v in components.items() if k != "count"} == \
            {"source": 1, "analyzer": 1, "detector": 1}
        assert "time-of-flight" in components["analyzer"][0]
        assert "ionization type" in components["source"][0]
        assert "detector type" in components["detector"][0]
    else:
        assert components is None


@needs_openms
def test_openms_reads_gzip_with_numpress(converted, tmp_path):
    """FileInfo loads a .mzML.gz (its schema and index checks read the file's raw bytes, so they
    run on the same file uncompressed), with MS-Numpress arrays and zlib on top."""
    import gzip

    c = converted["quad"]
    out = tmp_path / "quad.mzML.gz"
    proc = subprocess.run([KESTRANE, "convert", str(c.directory), "-o", str(out),
                           "--numpress", "linear,slof"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    data = run_tool(FILE_INFO, "-in", out, "-c")
    assert f"Number of spectra: {len(c.expected.spectra)}\n" in data, data
    assert f"Number of chromatograms: {len(c.expected.chromatograms)}\n" in data, data
    assert "-- Checking for corrupt data --" in data, data
    assert not [line for line in data.splitlines() if line.startswith("Error")], data
    plain = tmp_path / "quad.mzML"
    plain.write_bytes(gzip.decompress(out.read_bytes()))
    assert b"MS-Numpress short logged float compression followed by zlib" in plain.read_bytes()
    valid = run_tool(FILE_INFO, "-in", plain, "-v")
    assert "Success - the file is valid!" in valid, valid
    assert "Success - the file is semantically valid!" in valid, valid


def check_index(path: Path) -> dict[str, list[str]]:
    """Checks the index as a reader that seeks would use it; returns the ids of each index."""
    data = path.read_bytes()
    offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data[-4096:]).group(1))
    assert data[offset:].startswith(b"<indexList "), data[offset:offset + 40]
    ids: dict[str, list[str]] = {}
    for name, body in re.findall(rb'<index name="(\w+)">(.*?)</index>', data[offset:], re.S):
        tag = {b"spectrum": b"<spectrum ", b"chromatogram": b"<chromatogram "}[name]
        ids[name.decode()] = []
        for ref, at in re.findall(rb'<offset idRef="([^"]*)">(\d+)</offset>', body):
            at = int(at)
            assert data[at:].startswith(tag), (ref, data[at:at + 40])
            start = data[at:data.index(b">", at)]
            assert re.search(rb'\bid="([^"]*)"', start).group(1) == ref
            ids[name.decode()].append(html.unescape(ref.decode()))
    marker = b"<fileChecksum>"
    end = data.rindex(marker) + len(marker)
    checksum = data[end:data.index(b"</fileChecksum>", end)].decode()
    assert checksum == hashlib.sha1(data[:end]).hexdigest()
    return ids


@pytest.mark.parametrize("name", CASES)
def test_index_offsets_and_checksum(converted, name):
    c = converted[name]
    ids = check_index(c.mzml)
    assert ids.get("spectrum", []) == [s["id"] for s in c.expected.spectra]
    assert len(ids.get("chromatogram", [])) == len(c.expected.chromatograms)


@pytest.mark.parametrize("name", CASES)
def test_pyteomics_reads_back_what_kestrane_acq_reads(converted, name):
    from pyteomics import mzml

    c = converted[name]
    # Sequentially, without pyteomics's own offset index (its build slows every later read: a
    # run of 2,600 spectra took minutes).
    with mzml.MzML(str(c.mzml), use_index=False) as reader:
        spectra = list(reader)
    assert len(spectra) == len(c.expected.spectra)
    for got, want in zip(spectra, c.expected.spectra):
        assert got["id"] == want["id"]
        assert got["ms level"] == want["ms_level"]
        assert want["type"] in {MS1: "MS1 spectrum", MSN: "MSn spectrum", SIM: "SIM spectrum"} and \
            {MS1: "MS1 spectrum", MSN: "MSn spectrum", SIM: "SIM spectrum"}[want["type"]] in got
        assert got["scanList"]["scan"][0]["scan start time"] == want["rt_min"]
        polarity = [p for p in ("positive", "negative") if f"{p} scan" in got]
        assert polarity == ([want["polarity"]] if want["polarity"] else [])
        assert ("profile spectrum" in got) != ("centroid spectrum" in got)
        if want["representation"] in ("profile", "centroid"):
            assert f"{want['representation']} spectrum" in got
        assert ("conversion failure" in got) == want["failed"]
        if want["precursor"] is None:
            assert "precursorList" not in got
        else:
            p = got["precursorList"]["precursor"][0]
            assert p["isolationWindow"]["isolation window target m/z"] == want["precursor"][0]
            assert p["selectedIonList"]["selectedIon"][0]["selected ion m/z"] == want["precursor"][0]
            assert p["selectedIonList"]["selectedIon"][0].get("charge state") == want["precursor"][3]
            for side in ("lower", "upper"):
                assert p["isolationWindow"].get(f"isolation window {side} offset") == \
                    want["precursor"][2]
            assert "collision-induced dissociation" in p["activation"]
            assert p["activation"].get("collision energy") == want["precursor"][1]
        assert bits_equal(want["mz"], got["m/z array"])
        assert bits_equal(want["intensity"], got["intensity array"])
    with mzml.MzML(str(c.mzml), use_index=False) as reader:
        chromatograms = list(reader.iterfind("chromatogram"))
    assert len(chromatograms) == len(c.expected.chromatograms)
    for got, want in zip(chromatograms, c.expected.chromatograms):
        assert want["kind"] in got
        if want["id"] is not None:
            assert got["id"] == want["id"]
        if want["product"] is None:
            assert "product" not in got
        else:
            assert got["product"][0]["isolationWindow"]["isolation window target m/z"] == \
                want["product"]
        if want["precursor"] is None:
            assert "precursor" not in got
        else:
            precursor = got["precursor"][0]  # pyteomics lists the one <precursor>
            assert precursor["isolationWindow"]["isolation window target m/z"] == want["precursor"]
        assert bits_equal(want["time"], got["time array"])
        assert bits_equal(want["counts"], got["intensity array"])


@pytest.mark.parametrize("name", CASES)
def test_pyopenms_reads_back_what_kestrane_acq_reads(converted, name):
    import pyopenms as oms

    c = converted[name]
    on_disc = oms.OnDiscMSExperiment()
    assert on_disc.openFile(str(c.mzml))
    indexed = oms.IndexedMzMLHandler()
    indexed.openFile(str(c.mzml))
    assert indexed.getParsingSuccess()
    assert on_disc.getNrSpectra() == len(c.expected.spectra)
    assert on_disc.getNrChromatograms() == len(c.expected.chromatograms)
    polarity = {oms.IonSource.Polarity.POSITIVE: "positive",
                oms.IonSource.Polarity.NEGATIVE: "negative", oms.IonSource.Polarity.POLNULL: None}
    # Random access, last to first.
    for i in reversed(range(len(c.expected.spectra))):
        want = c.expected.spectra[i]
        s = on_disc.getSpectrum(i)
        assert s.getNativeID() == want["id"]
        assert s.getMSLevel() == want["ms_level"]
        assert s.getRT() == want["rt_min"] * 60.0  # OpenMS keeps seconds
        assert polarity[s.getInstrumentSettings().getPolarity()] == want["polarity"]
        precursors = s.getPrecursors()
        if want["precursor"] is None:
            assert not precursors
        else:
            assert precursors[0].getMZ() == want["precursor"][0]
            energy = want["precursor"][1]
            if energy is not None:
                assert precursors[0].getMetaValue("collision energy") == energy
        # OpenMS holds intensities as 32-bit floats; its index-based reader gives the decoded
        # values as written.
        arrays = indexed.getSpectrumById(i)
        assert bits_equal(want["mz"], arrays.getMZArray())
        assert bits_equal(want["intensity"], arrays.getIntensityArray())
    for i, want in enumerate(c.expected.chromatograms):
        ch = on_disc.getChromatogram(i)
        assert ch.getProduct().getMZ() == (want["product"] or 0.0)
        assert ch.getPrecursor().getMZ() == (want["precursor"] or 0.0)
        arrays = indexed.getChromatogramById(i)
        # OpenMS turns the minutes written into seconds as it reads.
        assert bits_equal(np.asarray(want["time"]) * 60.0, arrays.getTimeArray())
        assert bits_equal(want["counts"], arrays.getIntensityArray())


@needs_openms
def test_a_corrupted_index_offset_fails_the_index_check(converted, tmp_path):
    data = bytearray(converted["quad"].mzml.read_bytes())
    m = re.search(rb'<offset idRef="scanId=3">(\d+)<', data)
    data[m.end(1) - 1] = ord("0") + (data[m.end(1) - 1] - ord("0") + 1) % 10
    bad = tmp_path / "bad.mzML"
    bad.write_bytes(data)
    out = run_tool(FILE_INFO, "-in", bad, "-i")
    assert "Found a valid indexed mzML" not in out, out


@pytest.mark.parametrize("name", CASES)
def test_pymzml_finds_the_tic(converted, name):
    import pymzml

    c = converted[name]
    want = [w for w in c.expected.chromatograms if w["id"] == "TIC"]
    with pymzml.run.Reader(str(c.mzml)) as run:
        if not want:  # ICP runs: selected ion monitoring chromatograms only
            assert all(w["id"] is None for w in c.expected.chromatograms)
            return
        tic = run["TIC"]
        assert bits_equal(want[0]["time"], tic.time)
        assert bits_equal(want[0]["counts"], tic.i)
