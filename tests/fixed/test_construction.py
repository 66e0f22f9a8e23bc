"""RawReader construction: Ctrl-C stops it, other threads run meanwhile, small readers stay small,
and instances whose C++ state was never built refuse every use."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kestrane
from conftest import kf, peak_scan

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def python_command(code, *args):
    return [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]


def run_python(code, *args):
    """Runs code in a fresh interpreter; its standard output once it exited cleanly."""
    proc = subprocess.run(python_command(code, *args), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def large_directory(path, records):
    """A large run of small spectra: every record has a one-point peak block of its own, which
    construction reads on its own (a few microseconds each: 200,000 records take about a
    second)."""
    block = kf.peak_block_format3([500.25], [7.5])
    index = kf.plain_records(records, 220)
    at = kf.DESCRIPTOR_POSITIONS[220][0]
    descriptor = np.frombuffer(kf.descriptor_bytes(block.descriptor(0)), dtype=np.uint8)
    index[:, at : at + descriptor.size] = descriptor
    offsets = np.arange(records, dtype="<u8") * len(block.data)
    at += kf.WIDE_LAYOUT.byte_offset
    index[:, at : at + 8] = offsets.view(np.uint8).reshape(records, 8)
    acq = path / kf.ACQ_DIR
    acq.mkdir(parents=True)
    (acq / kf.SCAN_FILE).write_bytes(kf.scan_index(index))
    (acq / kf.PEAK_FILE).write_bytes(block.data * records)
    return path


INTERRUPTED = """
    import os, sys, time, kestrane
    fds = sorted(os.listdir("/proc/self/fd"))
    print("ready", flush=True)
    start = time.monotonic()
    try:
        kestrane.RawReader(sys.argv[1])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print(f"finished after {time.monotonic() - start:.1f} s", flush=True)
    print(sorted(os.listdir("/proc/self/fd")) == fds)
"""


def test_ctrl_c_stops_a_long_construction_promptly(tmp_path):
    path = large_directory(tmp_path / "large.d", records=600_000)  # about 3 s uninterrupted
    child = subprocess.Popen(python_command(INTERRUPTED, path), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline()
        latency = time.monotonic() - sent
        fds_unchanged = child.stdout.readline()
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
    assert outcome == "interrupted\n"
    assert latency < 0.5
    assert fds_unchanged == "True\n"


def test_other_threads_run_during_construction(tmp_path):
    path = str(large_directory(tmp_path / "large.d", records=200_000))  # about 1 s
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before, start = ticks, time.monotonic()
        time.sleep(0.2)
        rate = (ticks - before) / (time.monotonic() - start)
        before, start = ticks, time.monotonic()
        kestrane.RawReader(path)
        during, elapsed = ticks - before, time.monotonic() - start
    finally:
        stop.set()
        counter.join()
    # Holding the interpreter lock throughout would leave at most one switch interval (5 ms) of
    # counting; running beside the construction gives a large part of its duration.
    assert during > 0.05 * rate * elapsed, (during, rate, elapsed)


SMALL_READERS = """
    import gc, os, sys, kestrane
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    readers = [kestrane.RawReader(sys.argv[1])]
    gc.collect()
    before = rss()
    readers += [kestrane.RawReader(sys.argv[1]) for _ in range(1000)]
    print(rss() - before)
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator makes resident memory meaningless")
def test_thousand_tiny_readers_stay_small(tmp_path):
    acq = kf.write_acquisition(tmp_path / "tiny.d", [peak_scan(0, 2)], 220)
    growth = int(run_python(SMALL_READERS, acq.path))
    assert growth < 100 * 2**20, f"1000 readers hold {growth / 2**20:.1f} MiB"


# Rebinding __new__ to object.__new__ makes instances whose C++ state was never constructed.
UNBUILT = """
    import gc, kestrane
    cls = kestrane.{name}
    cls.__new__ = lambda cls, *args: object.__new__(cls)
    obj = cls()
    for use in {uses}:
        try:
            eval(use)
        except Exception as exc:
            print(use, type(exc).__name__, exc)
        else:
            print(use, "succeeded")
    del obj
    gc.collect()
    print("freed")
"""


@pytest.mark.parametrize("name, uses", [
    ("RawReader", ["repr(obj)", "obj.scan_count", "obj.read_spectrum(0)"]),
    ("Spectrum", ["repr(obj)", "len(obj)", "obj.mz", "obj.intensity", "obj.ms_level",
                  "obj.retention_time_sec"]),
])
def test_unbuilt_instance_refuses_use_and_is_freed(name, uses):
    out = run_python(UNBUILT.format(name=name, uses=uses))
    message = f"RuntimeError {name} object is not initialised"
    assert out.splitlines() == [f"{use} {message}" for use in uses] + ["freed"]
