"""Concurrent use of RawReader and Spectrum.

Runs on a standard and on a free-threaded interpreter. On a free-threaded one the module must also
keep the GIL disabled: an extension that does not declare GIL-free operation turns it back on at
import, and every test here would then pass without exercising anything concurrent.
"""

import dataclasses
import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading

import kestrane_fixtures as kf
import pytest
from kestrane_testkit import run_threads

import kestrane

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

READER_THREADS = 6
CHURN_THREADS = 2
READS_PER_THREAD = 10000
OPENS_PER_CHURN_THREAD = 400
JOIN_TIMEOUT_SEC = 120.0

# --- data directories ---------------------------------------------------------------------------


def _peaks(rng, n):
    mz = [100.0 + k * 0.731 + rng.random() * 0.1 for k in range(n)]
    return mz, [rng.uniform(0.0, 5.0e5) for _ in range(n)]


def _past_end(slot):
    """Moves the descriptor in ``slot`` past the end of its file."""
    def move(descriptors):
        descriptors = list(descriptors)
        descriptors[slot] = dataclasses.replace(descriptors[slot], byte_offset=1 << 40)
        return descriptors
    return move


def _write(root, name, scans, stride, expected, *, overrides=None, omit=()):
    """Writes the run; expected values are the writer's, or ``expected[i]`` where given."""
    acq = kf.write_acquisition(os.path.join(root, name), scans, stride,
                               descriptor_overrides=overrides, omit=omit)
    want = []
    for i, exp in enumerate(acq.expected):
        exp = expected.get(i, exp)
        want.append((exp.mz.tolist(), exp.intensity.tolist(), exp.retention_time_sec, exp.ms_level))
    return str(acq.path), want


def _dir_284(root, rng, n_scans):
    """Stride 284: profile blocks with m/z range, peak blocks as fallback, some broken blocks."""
    scans, overrides, expected = [], {}, {}
    for i in range(n_scans):
        scan = kf.Scan(1000 + 7 * i, 0.05 * i + 0.013, 1 + i % 2, precursor_mz=400.5 + i,
                       mz_range=(150.0 + i, 1150.0 + 3 * i), peaks=_peaks(rng, rng.randrange(1, 60)))
        kind = i % 5
        if kind == 3:
            scan.profile = []  # zero points: the spectrum comes from the peak block
        elif kind == 4:
            # A profile block past the end of MSProfile.bin: falls back to the peak block too.
            scan.profile = [1] * 10
            overrides[i] = _past_end(0)
            expected[i] = kf.expected_spectrum(scan, 284, omit=[kf.PROFILE_FILE])
        else:
            scan.profile = [rng.randrange(0, 1 << 24) for _ in range(rng.randrange(1, 400))]
        scans.append(scan)
    return _write(root, "run284.d", scans, 284, expected, overrides=overrides)


def _dir_220(root, rng, n_scans):
    """Stride 220: peak blocks only; every fourth block runs past the end of MSPeak.bin."""
    scans, overrides, expected = [], {}, {}
    for i in range(n_scans):
        scan = kf.Scan(50 + i, 1.5 + 0.02 * i, 1 if i % 3 else 2, peaks=_peaks(rng, rng.randrange(1, 250)))
        if i % 4 == 3:
            overrides[i] = _past_end(0)
            expected[i] = kf.expected_spectrum(scan, 220, omit=[kf.PEAK_FILE])
        scans.append(scan)
    return _write(root, "run220.d", scans, 220, expected, overrides=overrides)


def _dir_186(root, rng, n_scans, with_peak_file=True):
    """Stride 186: packed descriptors, MRM channels."""
    scans = [kf.Scan(9 + 2 * i, 10.0 + 0.1 * i, 2 if i % 2 else 1, mrm_channel=30 + i,
                     peaks=_peaks(rng, rng.randrange(1, 120))) for i in range(n_scans)]
    name = "mrm.d" if with_peak_file else "mrm-nopeaks.d"
    return _write(root, name, scans, 186, {}, omit=() if with_peak_file else [kf.PEAK_FILE])


# --- helpers -------------------------------------------------------------------------------------


def _snapshot(spectrum):
    return (
        len(spectrum),
        spectrum.mz,
        spectrum.intensity,
        spectrum.retention_time_sec,
        spectrum.ms_level,
        repr(spectrum),
    )




@pytest.fixture(scope="module")
def data(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("ft"))
    rng = random.Random(20250613)
    made = [
        _dir_284(root, rng, 30),
        _dir_220(root, rng, 40),
        _dir_186(root, rng, 25),
        _dir_186(root, rng, 12, with_peak_file=False),
    ]
    missing = os.path.join(root, "no-acqdata.d")
    os.makedirs(missing)
    return {"dirs": dict(made), "missing": missing}


@pytest.fixture(scope="module")
def baseline(data):
    """Single-threaded results, checked against the values the directories were packed with."""
    result = {}
    for path, expected in data["dirs"].items():
        reader = kestrane.RawReader(path)
        assert reader.scan_count == len(expected)
        spectra = [_snapshot(reader.read_spectrum(i)) for i in range(reader.scan_count)]
        for got, (mz, intensity, rt_sec, ms_level) in zip(spectra, expected):
            assert got[:5] == (len(mz), mz, intensity, rt_sec, ms_level)
        result[path] = (reader.scan_count, repr(reader), spectra)
    return result


# --- tests ---------------------------------------------------------------------------------------


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_gil_disabled_in_process():
    assert sys._is_gil_enabled() is False


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_gil_disabled_in_fresh_interpreter():
    # PYTHON_GIL=0 or -X gil=0 would keep the GIL off whatever the module declares; run without them.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys; assert not sys._is_gil_enabled(); import kestrane; print(sys._is_gil_enabled())"
    proc = subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", "-c", code],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False"
    assert proc.stderr == ""


FIRST_IMPORTS = """
    import importlib.util, sys, sysconfig, threading
    spec = importlib.util.find_spec("kestrane")
    assert "kestrane" not in sys.modules
    barrier = threading.Barrier(8)
    modules = []

    def load():
        barrier.wait()
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)

    threads = [threading.Thread(target=load) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    gil = sys._is_gil_enabled() if sysconfig.get_config_var("Py_GIL_DISABLED") else None
    print(len(modules), len({id(m.RawReader) for m in modules}),
          len({id(m.Spectrum) for m in modules}), {tuple(m.__all__) for m in modules}, gil)
"""


def test_concurrent_first_imports_share_types():
    # Module objects made from one ModuleSpec in several threads at once, before any type exists:
    # all of them must end up with the same two type objects. Without a GIL the threads really
    # race for the type creation, so the lock around it is exercised only there.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(FIRST_IMPORTS)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    gil = False if FREE_THREADED else None
    assert proc.stdout.strip() == f"8 1 1 {{('RawReader', 'Spectrum')}} {gil}"


def test_shared_readers_under_concurrent_reads_and_churn(data, baseline):
    paths = sorted(data["dirs"])
    shared = {path: kestrane.RawReader(path) for path in paths}
    # A few Spectrum objects read by every thread at once.
    shared_spectra = [(path, i, shared[path].read_spectrum(i)) for path in paths for i in (0, 1)]

    def reader_thread(seed):
        rng = random.Random(seed)
        for _ in range(READS_PER_THREAD):
            path = rng.choice(paths)
            reader = shared[path]
            count, text, spectra = baseline[path]
            assert reader.scan_count == count
            assert repr(reader) == text
            i = rng.randrange(count)
            assert _snapshot(reader.read_spectrum(i)) == spectra[i]
            assert _snapshot(reader.read_spectrum(scan_index=i)) == spectra[i]
            spath, si, spectrum = rng.choice(shared_spectra)
            assert _snapshot(spectrum) == baseline[spath][2][si]
            if rng.random() < 0.05:
                with pytest.raises(RuntimeError) as excinfo:
                    reader.read_spectrum(count)
                assert str(excinfo.value) == f"scan {count} out of range"

    def churn_thread(seed):
        rng = random.Random(seed)
        for _ in range(OPENS_PER_CHURN_THREAD):
            path = rng.choice(paths)
            count, text, spectra = baseline[path]
            reader = kestrane.RawReader(path)
            assert (reader.scan_count, repr(reader)) == (count, text)
            i = rng.randrange(count)
            spectrum = reader.read_spectrum(i)
            del reader  # the spectrum owns its values and outlives its reader
            assert _snapshot(spectrum) == spectra[i]
            with pytest.raises(RuntimeError) as excinfo:
                kestrane.RawReader(data["missing"])
            assert str(excinfo.value) == "parse error: AcqData directory not found"

    targets = [lambda s=s: reader_thread(s) for s in range(READER_THREADS)]
    targets += [lambda s=s: churn_thread(100 + s) for s in range(CHURN_THREADS)]
    failures = run_threads(targets, JOIN_TIMEOUT_SEC)
    assert not failures, failures[:3]
    if FREE_THREADED:
        assert sys._is_gil_enabled() is False


def test_spectra_outliving_their_reader_read_by_all_threads(data, baseline):
    """Every thread reads all spectra of a dropped reader, each in its own order."""
    path = max(data["dirs"], key=lambda p: baseline[p][0])
    count, _, spectra = baseline[path]
    reader = kestrane.RawReader(path)
    held = [reader.read_spectrum(i) for i in range(count)]
    del reader

    def worker(seed):
        rng = random.Random(seed)
        order = list(range(count))
        for _ in range(100):
            rng.shuffle(order)
            for i in order:
                assert _snapshot(held[i]) == spectra[i]

    failures = run_threads([lambda s=s: worker(s) for s in range(READER_THREADS + CHURN_THREADS)],
                           JOIN_TIMEOUT_SEC)
    assert not failures, failures[:3]
