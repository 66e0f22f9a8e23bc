"""Concurrent use of RawReader and Spectrum.

Runs on a standard and on a free-threaded interpreter. On a free-threaded one the module must also
keep the GIL disabled: an extension that does not declare GIL-free operation turns it back on at
import, and every test here would then pass without exercising anything concurrent.
"""

import os
import random
import struct
import subprocess
import sys
import sysconfig
import threading

import pytest

import kestrane

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

READER_THREADS = 6
CHURN_THREADS = 2
READS_PER_THREAD = 10000
OPENS_PER_CHURN_THREAD = 400
JOIN_TIMEOUT_SEC = 120.0

# --- data directories, packed independently of the C++ code -------------------------------------

HEADER_SIZE = 92
MAGIC = 257


def _f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def _lzf_literals(payload):
    """An LZF stream of literal runs only: control byte n - 1, then n bytes, n <= 32."""
    out = bytearray()
    for pos in range(0, len(payload), 32):
        run = payload[pos : pos + 32]
        out.append(len(run) - 1)
        out += run
    return bytes(out)


def _wide_descriptor(format_id, offset, count, points, uncompressed=0):
    return struct.pack("<IQIII", format_id, offset, count, points, uncompressed)


def _packed_descriptor(format_id, offset, count, points):
    return struct.pack("<HQII", format_id, offset, count, points)


class _Files:
    def __init__(self):
        self.peak = bytearray()
        self.profile = bytearray()

    def add_peak(self, mz, intensity):
        """Format 3 peak block (interleaved f64 m/z, f32 intensity); returns (offset, count)."""
        block = b"".join(struct.pack("<df", m, i) for m, i in zip(mz, intensity))
        offset = len(self.peak)
        self.peak += block
        return offset, len(block)

    def add_profile(self, counts):
        """Profile block: 16-byte preamble, then LZF of a 16-byte header and u32 intensities."""
        payload = b"\x07" * 16 + struct.pack(f"<{len(counts)}I", *counts)
        block = b"\xaa" * 16 + _lzf_literals(payload)
        offset = len(self.profile)
        self.profile += block
        return offset, len(block), len(payload)


def _write_dir(root, name, stride, records, files, with_peak_file=True):
    acq = os.path.join(root, name, "AcqData")
    os.makedirs(acq)
    header = struct.pack("<I", MAGIC) + bytes(84) + struct.pack("<I", HEADER_SIZE)
    with open(os.path.join(acq, "MSScan.bin"), "wb") as f:
        f.write(header + b"".join(records))
    if with_peak_file:
        with open(os.path.join(acq, "MSPeak.bin"), "wb") as f:
            f.write(files.peak)
    with open(os.path.join(acq, "MSProfile.bin"), "wb") as f:
        f.write(files.profile)
    return os.path.join(root, name)


def _peak_values(rng, n):
    mz = [100.0 + k * 0.731 + rng.random() * 0.1 for k in range(n)]
    intensity = [_f32(rng.uniform(0.0, 5.0e5)) for _ in range(n)]
    return mz, intensity


def _dir_284(root, rng, n_scans):
    """Stride 284: profile blocks with m/z range, peak blocks as fallback, some broken blocks."""
    files, records, expected = _Files(), [], []
    for i in range(n_scans):
        ms_level = 1 + i % 2
        rt_min = 0.05 * i + 0.013
        first, last = 150.0 + i, 1150.0 + 3 * i
        rec = bytearray(284)
        struct.pack_into("<IIIdH", rec, 0, 1000 + 7 * i, 0, 0, rt_min, ms_level)
        struct.pack_into("<d", rec, 84, 400.5 + i)
        struct.pack_into("<dd", rec, 244, first, last)
        peak_mz, peak_int = _peak_values(rng, rng.randrange(1, 60))
        p_off, p_count = files.add_peak(peak_mz, peak_int)
        struct.pack_into("<20s", rec, 156, _wide_descriptor(3, p_off, p_count, len(peak_mz)))
        kind = i % 5
        if kind == 3:
            # Zero-point profile block: the spectrum comes from the peak block.
            off, count, size = files.add_profile([])
            profile = _wide_descriptor(1, off, count, 0, size)
            want = (peak_mz, peak_int)
        elif kind == 4:
            # Profile block past the end of MSProfile.bin: falls back to the peak block too.
            profile = _wide_descriptor(1, 1 << 40, 64, 10, 56)
            want = (peak_mz, peak_int)
        else:
            n = rng.randrange(1, 400)
            counts = [rng.randrange(0, 1 << 24) for _ in range(n)]
            off, count, size = files.add_profile(counts)
            profile = _wide_descriptor(1, off, count, n, size)
            step = 0.0 if n == 1 else (last - first) / (n - 1)
            want = ([k * step + first for k in range(n)], [float(c) for c in counts])
        struct.pack_into("<24s", rec, 220, profile)
        records.append(bytes(rec))
        expected.append((want[0], want[1], rt_min * 60.0, ms_level))
    return _write_dir(root, "run284.d", 284, records, files), expected


def _dir_220(root, rng, n_scans):
    """Stride 220: peak blocks only; every fourth block runs past the end of MSPeak.bin."""
    files, records, expected = _Files(), [], []
    for i in range(n_scans):
        ms_level = 1 if i % 3 else 2
        rt_min = 1.5 + 0.02 * i
        rec = bytearray(220)
        struct.pack_into("<IIIdH", rec, 0, 50 + i, 0, 0, rt_min, ms_level)
        mz, intensity = _peak_values(rng, rng.randrange(1, 250))
        off, count = files.add_peak(mz, intensity)
        points = len(mz)
        if i % 4 == 3:
            off = 1 << 40
            mz, intensity = [], []
        struct.pack_into("<20s", rec, 156, _wide_descriptor(3, off, count, points))
        records.append(bytes(rec))
        expected.append((mz, intensity, rt_min * 60.0, ms_level))
    return _write_dir(root, "run220.d", 220, records, files), expected


def _dir_186(root, rng, n_scans, with_peak_file=True):
    """Stride 186: packed descriptors, MRM channels."""
    files, records, expected = _Files(), [], []
    for i in range(n_scans):
        ms_level = 2 if i % 2 else 1
        rt_min = 10.0 + 0.1 * i
        rec = bytearray(186)
        struct.pack_into("<IIIdH", rec, 0, 9 + 2 * i, 30 + i, 0, rt_min, ms_level)
        mz, intensity = _peak_values(rng, rng.randrange(1, 120))
        off, count = files.add_peak(mz, intensity)
        struct.pack_into("<18s", rec, 136, _packed_descriptor(3, off, count, len(mz)))
        records.append(bytes(rec))
        if not with_peak_file:
            mz, intensity = [], []
        expected.append((mz, intensity, rt_min * 60.0, ms_level))
    name = "mrm.d" if with_peak_file else "mrm-nopeaks.d"
    return _write_dir(root, name, 186, records, files, with_peak_file), expected


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


def _run_threads(targets):
    """Starts every target together behind one barrier; returns the exceptions they raised."""
    barrier = threading.Barrier(len(targets))
    failures = []

    def wrap(target):
        try:
            barrier.wait()
            target()
        except BaseException as e:  # noqa: BLE001 - reported by the caller
            failures.append(e)

    threads = [threading.Thread(target=wrap, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT_SEC)
    assert not any(t.is_alive() for t in threads), "worker threads did not finish"
    return failures


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
    failures = _run_threads(targets)
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

    failures = _run_threads([lambda s=s: worker(s) for s in range(READER_THREADS + CHURN_THREADS)])
    assert not failures, failures[:3]
