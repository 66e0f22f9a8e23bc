"""kestrane_acq under threads: readers, whole-run passes and tic() on shared acquisitions while
other threads open and close theirs, and a close() racing the readers of the same object.

Runs on a standard and on a free-threaded interpreter (tools/run-free-threaded-tests.sh, plain
and under ThreadSanitizer). On a free-threaded one the module must keep the GIL disabled:
otherwise every test here would pass without anything running concurrently.
"""

import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from kestrane_fixtures.acq import Variant, acq_run
from kestrane_testkit import run_threads

import kestrane_acq

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 6
ROUNDS = 150




@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("acq-ft")
    made = [
        acq_run(root / "rle.d", "tof-rle", 12, 4000, seed=1),
        acq_run(root / "lzf.d", "tof-lzf", 10, 3000, seed=2, variant=Variant(mass_cal="absent", interrupted=1)),
        acq_run(root / "gc.d", "gc", 30, 80, seed=3),
        acq_run(root / "icp.d", "icp", 20, 2, seed=4),
    ]
    return [str(r.path) for r in made]


def snapshot(s):
    return (s.index, s.status, s.mz.tobytes(), s.intensity.tobytes(), s.tic, repr(s))


@pytest.fixture(scope="module")
def baseline(runs):
    out = {}
    for path in runs:
        with kestrane_acq.open(path) as acq:
            out[path] = ([snapshot(acq.spectrum(i, p)) for p in ("profile", "centroid") for i in range(len(acq))],
                         acq.tic()[1].tobytes())
    return out


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = ("import sys; assert not sys._is_gil_enabled(); import kestrane_acq, kestrane_acq.cli; "
            "print(sys._is_gil_enabled())")
    proc = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], env=env,
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout.strip(), proc.stderr) == (0, "False", "")


def test_shared_acquisitions_under_reads_passes_and_churn(runs, baseline):
    shared = {path: kestrane_acq.open(path) for path in runs}

    def reader(seed):
        rng = random.Random(seed)
        for _ in range(ROUNDS):
            path = rng.choice(runs)
            acq, (spectra, tic) = shared[path], baseline[path]
            n = len(acq)
            k = rng.randrange(2 * n)
            prefer = "profile" if k < n else "centroid"
            assert snapshot(acq.spectrum(k % n, prefer)) == spectra[k]
            choice = rng.random()
            if choice < 0.1:
                assert acq.tic(threads=2)[1].tobytes() == tic
            elif choice < 0.2:
                got = [snapshot(s) for s in acq.spectra(prefer=prefer, threads=2)]
                assert got == spectra[:n] if prefer == "profile" else spectra[n:]
            elif choice < 0.3:
                assert [snapshot(s) for s in acq][: 3] == spectra[:3]

    def churn(seed):
        rng = random.Random(seed)
        for _ in range(ROUNDS // 3):
            path = rng.choice(runs)
            with kestrane_acq.open(path) as acq:
                spectrum = acq[rng.randrange(len(acq))]
                assert acq.tic(threads=2)[1].tobytes() == baseline[path][1]
            assert snapshot(spectrum) in baseline[path][0]  # outlives its acquisition
            with pytest.raises(FileNotFoundError):
                kestrane_acq.open(path + ".missing")

    failures = run_threads([lambda s=s: reader(s) for s in range(THREADS)] +
                            [lambda s=s: churn(100 + s) for s in range(2)])
    assert not failures, failures[:3]
    if FREE_THREADED:
        assert sys._is_gil_enabled() is False


def test_close_while_other_threads_read(runs, baseline):
    """close() drops the object's reference; reads in flight finish on theirs, later ones raise
    ValueError, and nothing is freed under a reader."""
    for round_ in range(20):
        path = runs[round_ % len(runs)]
        acq = kestrane_acq.open(path)
        spectra, tic = baseline[path]
        n = len(acq)
        started = threading.Barrier(THREADS + 1)

        def reader(seed, acq=acq, spectra=spectra, tic=tic, n=n):
            rng = random.Random(seed)
            started.wait()
            try:
                while True:
                    if rng.random() < 0.2:
                        assert acq.tic()[1].tobytes() == tic
                    else:
                        i = rng.randrange(n)
                        assert snapshot(acq[i]) == spectra[i]
            except ValueError as e:
                assert str(e) == "I/O operation on a closed Acquisition"

        def closer(acq=acq):
            started.wait()
            acq.close()

        failures = run_threads([lambda s=s: reader(s) for s in range(THREADS)] + [closer])
        assert not failures, failures[:3]
        assert acq.closed


def test_columns_under_threads_and_close(runs):
    """to_arrow, arrow_batches and the Arrow scan table of one acquisition from several threads,
    then close() under them: every table holds the run's points as one thread reads them, or the
    call raises the closed error; tables made before the close stay valid."""
    pa = pytest.importorskip("pyarrow")

    def same(a, b):  # equals() counts NaN (the scan table's absent values) as unequal
        return a.equals(b) or repr(a.to_pylist()) == repr(b.to_pylist())

    want = {}
    for path in runs:
        with kestrane_acq.open(path) as acq:
            points = acq.to_arrow(threads=1)
            wide = points.set_column(2, "intensity", points["intensity"].cast(pa.float64()))
            want[path] = (points, wide, acq.scan_table(format="arrow"))
    kept = []
    for round_ in range(3 * len(runs)):
        path = runs[round_ % len(runs)]
        acq = kestrane_acq.open(path)
        points, wide, scans = want[path]
        started = threading.Barrier(THREADS + 1)

        def reader(seed, acq=acq, points=points, wide=wide, scans=scans, kept=kept):
            rng = random.Random(seed)
            started.wait()
            try:
                while True:
                    choice = rng.random()
                    if choice < 0.45:
                        got, expected = acq.to_arrow(threads=2), points
                    elif choice < 0.9:
                        got, expected = acq.arrow_batches(threads=2).read_all(), wide
                    else:
                        got, expected = acq.scan_table(format="arrow"), scans
                    assert same(got, expected)
                    kept.append((got, expected))
            except ValueError as e:
                assert str(e) == "I/O operation on a closed Acquisition"

        def closer(acq=acq, delay=0.02 * (round_ % 3)):
            started.wait()
            time.sleep(delay)  # some rounds close at once, others while calls are in flight
            acq.close()

        failures = run_threads([lambda s=s: reader(s) for s in range(THREADS)] + [closer])
        assert not failures, failures[:3]
    assert kept and all(same(got, expected) for got, expected in kept)
