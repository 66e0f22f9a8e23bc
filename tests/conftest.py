"""Shared fixtures: acquisition directories written by the kestrane_fixtures package (tests/support/).

The tests import the installed ``kestrane`` module, never a build tree.
"""

import math
import os
import struct
import sys

import kestrane_fixtures as kf
import pytest

if "asan" in os.environ.get("LD_PRELOAD", ""):
    # Under AddressSanitizer (tools/test-python-asan.sh) the leak check at exit misreads, now and
    # then, the thread-local storage of matplotlib's extension modules and crashes ("Tracer caught
    # signal 11"), failing a run whose tests all passed. Drawing is Python over the APIs this
    # suite checks under ASan anyway: the tests that draw (importorskip("matplotlib")) skip here.
    sys.modules["matplotlib"] = None


def f32(x):
    """The nearest 32-bit float to x, widened back to a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def bits(x):
    """The 64-bit pattern of a float, so that NaN and -0.0 compare exactly."""
    return struct.pack("<d", x)


def minutes_for(seconds):
    """A retention time in minutes whose product with 60.0 is exactly ``seconds``."""
    if not math.isfinite(seconds) or seconds == 0.0:
        return seconds  # NaN, the infinities and both zeros survive the product unchanged
    lo = hi = seconds / 60.0
    for _ in range(256):
        for m in (lo, hi):
            if m * 60.0 == seconds:
                return m
        lo, hi = math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf)
    raise ValueError(f"no double times 60.0 gives {seconds!r}")


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.fixture
def write_dir(tmp_path):
    """write_dir(scans, stride=284, name="run.d", **kw) -> Acquisition under tmp_path."""
    counter = iter(range(10**6))

    def write(scans, stride=284, name=None, **kwargs):
        path = tmp_path / (name or f"run{next(counter)}.d")
        return kf.write_acquisition(path, scans, stride, **kwargs)

    return write


def peak_scan(i, n, *, rt_min=None, ms_level=1, peak_format=kf.FORMAT_PEAK_INTERLEAVED):
    """Scan i with n peaks whose m/z and intensity depend on i only."""
    mz = [100.0 + 7.25 * i + 0.1 * k for k in range(n)]
    intensity = [0.1 * (k + 1) + i for k in range(n)]  # not exact in 32 bits
    return kf.Scan(
        scan_id=1 + i,
        retention_time_min=0.25 * i if rt_min is None else rt_min,
        ms_level=ms_level,
        peaks=(mz, intensity),
        peak_format=peak_format,
    )


@pytest.fixture(scope="module")
def small_run(tmp_path_factory):
    """Ten peak-block scans (stride 220), scan i holding i + 1 points; its Acquisition."""
    path = tmp_path_factory.mktemp("small") / "small.d"
    scans = [peak_scan(i, i + 1, ms_level=1 + i % 2) for i in range(10)]
    return kf.write_acquisition(path, scans, 220)


@pytest.fixture(scope="module")
def small_reader(small_run):
    import kestrane

    return kestrane.RawReader(str(small_run.path))


@pytest.fixture
def stderr_on_a_terminal():
    """Runs a command with its standard error on a pseudo-terminal (100 columns) and its output
    piped; returns the finished process and what the terminal received."""
    import fcntl
    import pty
    import subprocess
    import termios

    def run(cmd, timeout=120):
        leader, follower = pty.openpty()
        try:
            fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
            proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=follower, timeout=timeout)
            os.set_blocking(leader, False)
            seen = os.read(leader, 1 << 16)
        finally:
            os.close(leader)
            os.close(follower)
        return proc, seen

    return run
