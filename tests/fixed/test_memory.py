"""Nothing leaks: type references, memory and file descriptors stay flat over many cycles."""

import dataclasses
import gc
import os
import sys

import pytest

import kestrane
import kestrane_fixtures as kf
from conftest import open_fds, peak_scan

CYCLES = 1000


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def type_refcounts():
    return sys.getrefcount(kestrane.RawReader), sys.getrefcount(kestrane.Spectrum)


def failing_calls(reader, missing):
    """Every error path of the two entry points, once."""
    for call, exc in [
        (lambda: kestrane.RawReader(missing), RuntimeError),
        (lambda: kestrane.RawReader(), TypeError),
        (lambda: kestrane.RawReader(None), TypeError),
        (lambda: kestrane.RawReader("\udc80"), UnicodeEncodeError),
        (lambda: reader.read_spectrum(reader.scan_count), RuntimeError),
        (lambda: reader.read_spectrum(-1), OverflowError),
        (lambda: reader.read_spectrum(1.5), TypeError),
        (lambda: reader.read_spectrum(0, index=1), TypeError),
        (lambda: kestrane.Spectrum(), TypeError),
    ]:
        with pytest.raises(exc):
            call()


def test_type_refcounts_flat(small_run, tmp_path):
    path, missing = str(small_run.path), str(tmp_path)
    reader = kestrane.RawReader(path)
    failing_calls(reader, missing)
    del reader
    gc.collect()
    before = type_refcounts()
    for _ in range(CYCLES):
        reader = kestrane.RawReader(path)
        spectrum = reader.read_spectrum(3)
        failing_calls(reader, missing)
        del reader, spectrum
    gc.collect()
    assert type_refcounts() == before


def test_rss_flat(tmp_path):
    # About 7 MB of decoded arrays per reader; a leak of readers, records or spectra over 60
    # cycles would add hundreds of megabytes.
    acq = kf.realistic_run(tmp_path / "big.d", n_scans=30, points=20000, seed=3)
    path = str(acq.path)

    def cycle():
        reader = kestrane.RawReader(path)
        spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
        del reader
        total = sum(len(s.mz) + len(s.intensity) for s in spectra)
        assert total > 0

    for _ in range(5):
        cycle()
    gc.collect()
    before = rss_bytes()
    for _ in range(60):
        cycle()
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 64 * 2**20, f"RSS grew by {growth / 2**20:.1f} MiB"


def broken_directories(tmp_path):
    """Directories whose opening or decoding fails somewhere; (path, opens) pairs."""
    good = [peak_scan(i, 5) for i in range(4)]
    out = []

    acq = kf.write_acquisition(tmp_path / "good.d", good, 220)
    out.append((acq.path, True))
    acq = kf.write_acquisition(tmp_path / "nopeak.d", good, 220, omit=["MSPeak.bin"])
    out.append((acq.path, True))
    past_end = lambda ds: [dataclasses.replace(d, byte_offset=1 << 40) for d in ds]  # noqa: E731
    acq = kf.write_acquisition(
        tmp_path / "pastend.d", good, 220, descriptor_overrides={0: past_end, 2: past_end}
    )
    out.append((acq.path, True))
    profiles = [
        kf.Scan(1 + i, 0.1 * i, 1, blocks=[kf.broken_profile_block([5, 6, 7], fault), None])
        for i, fault in enumerate(kf.PROFILE_FAULTS)
    ]
    acq = kf.write_acquisition(tmp_path / "badprofile.d", profiles, 284)
    out.append((acq.path, True))

    (tmp_path / "nomsscan.d" / "AcqData").mkdir(parents=True)
    out.append((tmp_path / "nomsscan.d", False))
    (tmp_path / "dirmsscan.d" / "AcqData" / "MSScan.bin").mkdir(parents=True)
    out.append((tmp_path / "dirmsscan.d", False))
    kf.write_acquisition(tmp_path / "badmagic.d", good, 220, magic=7)
    out.append((tmp_path / "badmagic.d", False))
    out.append((tmp_path / "noacqdata.d", False))
    return out


def test_no_descriptor_left_open(tmp_path):
    cases = broken_directories(tmp_path)
    before = open_fds()
    for _ in range(20):
        for path, opens in cases:
            if opens:
                reader = kestrane.RawReader(str(path))
                for i in range(reader.scan_count):
                    reader.read_spectrum(i)
            else:
                with pytest.raises(RuntimeError):
                    kestrane.RawReader(str(path))
    assert open_fds() == before
