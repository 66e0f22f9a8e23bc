"""The eight real directories give expected.json's values through kestrane_acq.

The directories are found through $KESTRANE_REALDATA or as ../shared/realdata beside the project.
Numbers are compared to the decimals expected.json writes (half a unit of the last one).
"""

import json
import os
from decimal import Decimal
from pathlib import Path

import numpy as np
import pytest

import kestrane_acq

ROOT = Path(__file__).resolve().parents[2]
REALDATA = Path(os.environ.get("KESTRANE_REALDATA") or ROOT.parent / "shared" / "realdata")
EXPECTED = REALDATA / "expected.json"
pytestmark = pytest.mark.skipif(not EXPECTED.is_file(),
                                reason=f"no real data at {REALDATA} (set KESTRANE_REALDATA)")


def expected():
    if not EXPECTED.is_file():
        return {}
    data = json.loads(EXPECTED.read_text(), parse_float=Decimal)
    return {k: v for k, v in data.items() if not k.startswith("_")}


def close_to(actual, want):
    """Within half a unit of the last decimal written in expected.json."""
    want = Decimal(want)
    tolerance = Decimal(5) * Decimal(10) ** (want.as_tuple().exponent - 1)
    return abs(Decimal(float(actual)) - want) <= tolerance * Decimal("1.000000001")


# expected.json's calibration notes, as the words kestrane_acq reports.
CALIBRATION_NOTES = {"rule 2": "per-scan-by-index", "DefaultMassCal.xml": "default"}


def check_spectrum(s, e, where):
    """The keys that describe one spectrum."""
    top = int(np.argmax(s.intensity)) if len(s) else None
    checks = {
        "points": lambda v: len(s) == v,
        "representation": lambda v: s.representation == v,
        "profile_status": lambda v: s.profile_status == v,
        "tic": lambda v: close_to(s.tic, v),
        "base_mz": lambda v: close_to(s.mz[top], v),
        "base_intensity": lambda v: close_to(s.intensity[top], v),
        "mz_first": lambda v: close_to(s.mz[0], v),
        "mz_last": lambda v: close_to(s.mz[-1], v),
        "channels_mz": lambda v: len(v) == len(s) and all(map(close_to, s.mz, v)),
        "base_cps": lambda v: close_to(s.counts_per_second[top], v),
    }
    for key, check in checks.items():
        if key in e:
            assert check(e[key]), f"{where}.{key}: expected {e[key]}"


@pytest.mark.parametrize("name", sorted(expected()))
def test_directory_gives_expected_values(name):
    e = expected()[name]
    with kestrane_acq.open(REALDATA / name) as acq:
        assert acq.warnings == []
        table = acq.scan_table()
        scan = int(e.get("scan", 0))
        prefer = "centroid" if e.get("representation") == "centroid" else "profile"
        s = acq.spectrum(scan, prefer=prefer)
        check_spectrum(s, e, name)
        rt_min = table["retention_time_sec"] / 60.0
        checks = {
            "records": lambda v: len(acq) == v == len(rt_min),
            "rt_first": lambda v: close_to(rt_min[0], v),
            "rt_last": lambda v: close_to(rt_min[-1], v),
            "ms_level": lambda v: s.ms_level == v == table["ms_level"][scan],
            "precursor_mz": lambda v: close_to(s.precursor_mz, v),
            "scan_type": lambda v: s.scan_type == {"SIM": 2, "full": 1}[v],
            "full_scans": lambda v: int((table["scan_type"] == 1).sum()) == v,
            "sim_scans": lambda v: int((table["scan_type"] == 2).sum()) == v,
            "calibration": lambda v: s.calibration == next(
                word for note, word in CALIBRATION_NOTES.items() if note in v),
        }
        for key, check in checks.items():
            if key in e:
                assert check(e[key]), f"{name}.{key}: expected {e[key]}"
        if "scan0" in e:
            check_spectrum(acq.spectrum(0, prefer=prefer), e["scan0"], f"{name}.scan0")
        if "centroid" in e:
            c = acq.spectrum(scan, prefer="centroid")
            assert c.representation == "centroid"
            check_spectrum(c, e["centroid"], f"{name}.centroid")
        # Whole-run passes agree with the single reads on every scan.
        assert acq.summary(prefer=prefer)["status"].tolist() == [
            x.status for x in acq.spectra(prefer=prefer)]


def test_negative_intensities_are_kept_as_stored_and_reported_once(tmp_path):
    """Every directory's emitted intensities that are negative or not finite (the ICP run stores
    a few counts of -1): kept as stored, reported among the warnings once per record however
    often it is read, and in the converter's summary, the ICP run's channel path included."""
    for name in sorted(expected()):
        with kestrane_acq.open(REALDATA / name) as acq:
            prefer = "centroid" if expected()[name].get("representation") == "centroid" else "profile"
            spectra = acq.spectra(prefer=prefer)
            want = []
            for word, bad in (("a negative intensity", lambda y: y < 0),
                              ("an intensity that is not finite", lambda y: ~np.isfinite(y))):
                found = [(i, s.intensity[bad(s.intensity)]) for i, s in enumerate(spectra)
                         if bad(s.intensity).any()]
                if found:
                    file = "MSPeak.bin" if spectra[found[0][0]].representation == "centroid" else "MSProfile.bin"
                    want.append(f"{file}: {sum(len(v) for _, v in found)} points in {len(found)} "
                                f"records have {word}, kept as stored (first: record {found[0][0]}, "
                                f"{found[0][1][0]:g})")
            if name == "icp-single-quad.D":
                assert len(want) == 1 and "-1)" in want[0], want
                assert all((s.intensity[s.intensity < 0] == -1.0).all() for s in spectra)
            assert acq.warnings == want, name
            for i in range(len(acq)):
                acq.spectrum(i, prefer=prefer)
            assert acq.warnings == want, name
        with kestrane_acq.open(REALDATA / name) as fresh:
            summary = fresh.to_mzml(tmp_path / f"{name}.mzML", prefer=prefer)
            assert list(summary.warnings[:len(want)]) == want, name
