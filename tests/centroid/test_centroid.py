"""Peak picking (centroid=True, kestrane convert --centroid) on a generated run whose peaks are
known: the tof-lzf family stores, beside each profile, the m/z of the peaks it was drawn from."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from kestrane_fixtures.acq import acq_run

import kestrane_acq

KESTRANE = shutil.which("kestrane", path=os.path.dirname(sys.executable))
# Profile peaks of resolution 2000 with counting noise: a peak of a few hundred counts is placed
# within a few ppm, never 20 ppm off.
TALL, PPM = 300.0, 20.0


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    return acq_run(tmp_path_factory.mktemp("centroid") / "lzf.d", "tof-lzf", 8, 30_000, seed=5)


def test_known_peaks_are_found_where_they_were_drawn(run):
    with kestrane_acq.open(run.path) as a:
        checked = 0
        for i, expected in enumerate(run.expected):
            profile, ours = a.spectrum(i), a.spectrum(i, centroid=True)
            assert ours.representation == "centroid" and ours.status == "ok"
            assert len(ours) < len(profile) and np.all(np.diff(ours.mz) > 0)
            known = expected.centroid
            tall = known.mz[(known.intensity >= TALL) & (known.mz < profile.mz[-1])]
            for mz in tall:
                assert np.min(np.abs(ours.mz - mz)) / mz * 1e6 <= PPM, (i, mz)
            checked += len(tall)
        assert checked >= 20


@pytest.mark.parametrize("prefer", ["profile", "centroid"])
@pytest.mark.parametrize("threads", [1, 2])
def test_spectra_equal_spectrum_and_stored_centroids_stay(run, prefer, threads):
    with kestrane_acq.open(run.path) as a:
        many = a.spectra(prefer=prefer, threads=threads, centroid=True)
        for i, s in enumerate(many):
            one = a.spectrum(i, prefer, centroid=True)
            assert s.representation == one.representation == "centroid"
            assert s.mz.tobytes() == one.mz.tobytes()
            assert s.intensity.tobytes() == one.intensity.tobytes()
            if prefer == "centroid":  # the instrument's centroids, as stored
                stored = a.spectrum(i, "centroid")
                assert one.mz.tobytes() == stored.mz.tobytes()


@pytest.mark.parametrize("writer", ["to_mzml", "kestrane convert"])
def test_centroids_written_as_centroid_spectra_with_peak_picking(run, tmp_path, writer):
    from pyteomics import mzml

    out = tmp_path / "run.mzML"
    if writer == "to_mzml":
        with kestrane_acq.open(run.path) as a:
            summary = a.to_mzml(out, centroid=True, threads=2)
        assert summary.failed == 0 and summary.warnings == []
    else:
        proc = subprocess.run([KESTRANE, "convert", str(run.path), "-o", str(out), "--centroid"],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
    text = out.read_text()
    assert 'accession="MS:1000035" name="peak picking"' in text
    with kestrane_acq.open(run.path) as a, mzml.MzML(str(out)) as reader:
        spectra = list(reader)
        assert len(spectra) == len(a)
        for i, got in enumerate(spectra):
            ours = a.spectrum(i, centroid=True)
            assert "centroid spectrum" in got and "profile spectrum" not in got
            np.testing.assert_array_equal(got["m/z array"], ours.mz)
            np.testing.assert_array_equal(got["intensity array"], ours.intensity)
