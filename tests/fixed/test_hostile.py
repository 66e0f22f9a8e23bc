"""Hostile acquisition directories: nothing crashes, hangs or leaks, and every error is exact.

Each reader is built in a child interpreter whose address space is capped and whose run time is
bounded, so a crash, a runaway allocation or a hang fails one test instead of the session. The
child performs a list of steps (open a reader, remove or replace a file, ...) and reports, as
JSON, what each reader gave and which file descriptors were left open by each construction.
"""

import dataclasses
import errno
import json
import os
import resource
import subprocess
import sys

import numpy as np
import pytest

import kestrane_fixtures as kf
from conftest import peak_scan

ADDRESS_SPACE = 3 << 30  # far below any 4 GiB claim, far above what a sound decode needs
TIMEOUT = 180
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

CHILD = r"""
import gc, json, os, sys
import kestrane

def fds():
    return set(os.listdir("/proc/self/fd"))

def summary(values):
    values = list(values)
    return values if len(values) <= 8 else values[:4] + values[-4:]

def open_reader(path, probes):
    before = fds()
    try:
        reader = kestrane.RawReader(path)
    except Exception as exc:
        result = {"error": type(exc).__name__, "message": str(exc)}
        reader = None
    else:
        result = {"scan_count": reader.scan_count, "spectra": {}}
        for i in probes:
            s = reader.read_spectrum(i if i >= 0 else reader.scan_count + i)
            result["spectra"][str(i)] = {
                "n": len(s.mz), "n_intensity": len(s.intensity),
                "mz": summary(s.mz), "intensity": summary(s.intensity),
                "rt": s.retention_time_sec, "ms_level": s.ms_level,
            }
    gc.collect()
    result["leaked_fds"] = sorted(fds() - before)
    return reader, result

readers, results = [], []
for step in json.loads(sys.argv[1]):
    op = step["op"]
    if op == "open":
        reader, result = open_reader(step["path"], step.get("probes", []))
        readers.append(reader)
        results.append(result)
    elif op == "unlink":
        os.unlink(step["path"])
    elif op == "rename":
        os.rename(step["src"], step["dst"])
    elif op == "mkdir":
        os.mkdir(step["path"])
print(json.dumps(results))
"""


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))


def run_steps(steps):
    """Runs the steps in a child; returns one result per "open" step."""
    env = dict(os.environ)
    if UNDER_ASAN:
        # ASan reserves terabytes of shadow memory, so the cap is set through its allocator.
        cap = f"max_allocation_size_mb={ADDRESS_SPACE >> 20}"
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:{cap}"
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps(steps)],
        capture_output=True, text=True, timeout=TIMEOUT, env=env,
        preexec_fn=None if UNDER_ASAN else _limits,
    )
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{proc.stderr[-4000:]}"
    results = json.loads(proc.stdout.splitlines()[-1])
    for result in results:
        assert result["leaked_fds"] == [], result
    return results


def open_once(path, probes=()):
    return run_steps([{"op": "open", "path": str(path), "probes": list(probes)}])[0]


def os_error(code):
    return f"I/O error: {os.strerror(code)} (os error {code})"


def expected_values(exp):
    mz, intensity = exp.mz.tolist(), exp.intensity.tolist()
    short = lambda v: v if len(v) <= 8 else v[:4] + v[-4:]  # noqa: E731
    return {"n": len(mz), "n_intensity": len(intensity),
            "mz": short(mz), "intensity": short(intensity)}


def values(spectrum):
    return {k: spectrum[k] for k in ("n", "n_intensity", "mz", "intensity")}


EMPTY = {"n": 0, "n_intensity": 0, "mz": [], "intensity": []}


def padded_path(real, length):
    """``real`` followed by "/." components (and one extra "/") to exactly ``length`` chars.

    Such a path names ``real`` itself, whatever its length."""
    pad = length - len(real)
    assert pad >= 0
    return real + "/" * (pad % 2) + "/." * (pad // 2)


class TestOpenErrors:
    """Exact texts for index files that cannot be read, and paths the system refuses."""

    def _acq(self, tmp_path):
        acq_dir = tmp_path / "run.d" / "AcqData"
        acq_dir.mkdir(parents=True)
        return acq_dir

    def test_msscan_is_a_directory(self, tmp_path):
        acq_dir = self._acq(tmp_path)
        (acq_dir / "MSScan.bin").mkdir()
        assert open_once(acq_dir.parent)["message"] == os_error(errno.EISDIR)

    def test_msscan_is_a_dangling_symlink(self, tmp_path):
        acq_dir = self._acq(tmp_path)
        (acq_dir / "MSScan.bin").symlink_to(tmp_path / "nowhere.bin")
        assert open_once(acq_dir.parent)["message"] == os_error(errno.ENOENT)

    def test_msscan_is_empty(self, tmp_path):
        acq_dir = self._acq(tmp_path)
        (acq_dir / "MSScan.bin").write_bytes(b"")
        result = open_once(acq_dir.parent)
        assert (result["error"], result["message"]) == (
            "RuntimeError", "parse error: MSScan.bin too small for header")

    # Files without a fixed size: a FIFO with no writer would block the open forever, and
    # /dev/zero would fill memory; both are refused at once.
    @pytest.mark.parametrize("kind", ["fifo", "dev_zero"])
    def test_msscan_is_not_a_regular_file(self, tmp_path, kind):
        acq_dir = self._acq(tmp_path)
        if kind == "fifo":
            os.mkfifo(acq_dir / "MSScan.bin")
        else:
            (acq_dir / "MSScan.bin").symlink_to("/dev/zero")
        result = open_once(acq_dir.parent)
        assert (result["error"], result["message"]) == ("RuntimeError", "I/O error: not a regular file")

    def test_data_files_that_are_not_regular_files_give_empty_scans(self, tmp_path, small_run):
        run = tmp_path / "run.d"
        (run / "AcqData").mkdir(parents=True)
        (run / "AcqData" / "MSScan.bin").write_bytes(small_run.scan_path.read_bytes())
        os.mkfifo(run / "AcqData" / "MSPeak.bin")
        (run / "AcqData" / "MSProfile.bin").symlink_to("/dev/zero")
        result = open_once(run, probes=[0, -1])
        assert result["scan_count"] == 10
        assert all(s["n"] == 0 for s in result["spectra"].values())
        assert result["leaked_fds"] == []

    def test_path_longer_than_path_max(self, small_run):
        # The path names a readable directory, but the system refuses a path of that length.
        long = padded_path(str(small_run.path), 5000)
        result = open_once(long)
        assert (result["error"], result["message"]) == (
            "RuntimeError", "parse error: AcqData directory not found")

    def test_index_path_longer_than_path_max(self, small_run):
        # ".../AcqData" fits in PATH_MAX - 1 characters; ".../AcqData/MSScan.bin" does not.
        path_max = os.pathconf("/", "PC_PATH_MAX")
        data_dir = padded_path(str(small_run.path), path_max - 1 - len("/AcqData"))
        result = open_once(data_dir)
        assert result["message"] == os_error(errno.ENAMETOOLONG)

    @pytest.mark.parametrize("suffix", ["\0", "\0/more", "/\0"])
    def test_path_with_nul(self, small_run, suffix):
        # Cut at the NUL, each path would name a readable directory.
        result = open_once(str(small_run.path) + suffix)
        assert (result["error"], result["message"]) == (
            "RuntimeError", "parse error: AcqData directory not found")


U32_MAX = 0xFFFFFFFF


GOOD_PEAKS = ([150.5, 151.25, 152.0], [10.0, 20.0, 30.0])

# What each scan's two descriptors claim (profile slot, peak slot; None: no block there), over
# sound, small blocks.
CLAIMS = {
    "control": ({}, {}),
    "profile_claims_4gib_payload": ({"uncompressed_byte_count": U32_MAX}, None),
    "profile_claims_4gib_points": ({"point_count": U32_MAX}, None),
    "profile_claims_both": ({"point_count": U32_MAX, "uncompressed_byte_count": U32_MAX}, None),
    "peak_claims_4gib_points": (None, {"point_count": U32_MAX}),
    "peak_claims_4gib_bytes": (None, {"byte_count": U32_MAX}),
    "peak_offset_2_64_minus_1": (None, {"byte_offset": 2**64 - 1}),
    "peak_offset_2_63": (None, {"byte_offset": 2**63}),
    "peak_offset_2_63_minus_1": (None, {"byte_offset": 2**63 - 1}),
    "profile_offset_2_64_minus_16": ({"byte_offset": 2**64 - 16, "byte_count": U32_MAX}, None),
    "lying_profile_then_good_peak": (
        {"uncompressed_byte_count": U32_MAX, "point_count": U32_MAX}, {}),
    "far_profile_then_good_peak": ({"byte_offset": 2**63}, {}),
}


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """Stride 284, one scan per claim: profile slot at 156, peak slot at 220."""
    path = tmp_path_factory.mktemp("hostile") / "hostile.d"
    profile, peak = kf.profile_block([5, 6, 7, 8]), kf.peak_block(*GOOD_PEAKS)
    scans, overrides = [], {}
    for i, (profile_claim, peak_claim) in enumerate(CLAIMS.values()):
        scans.append(kf.Scan(scan_id=100 + i, retention_time_min=0.5 * i, mz_range=(100.0, 103.0),
                             blocks=[profile if profile_claim is not None else None,
                                     peak if peak_claim is not None else None]))

        def override(ds, p=profile_claim, q=peak_claim):
            return [None if d is None else dataclasses.replace(d, **claim)
                    for d, claim in zip(ds, (p, q))]

        overrides[i] = override
    kf.write_acquisition(path, scans, 284, descriptor_overrides=overrides)
    result = open_once(path, probes=range(len(CLAIMS)))
    return dict(zip(CLAIMS, (result["spectra"][str(i)] for i in range(len(CLAIMS))))), result


class TestHostileBlocks:
    """Descriptors that lie about sizes and positions: the scans come out empty (or from their
    other block), the rest of the directory decodes, and no claim is ever allocated."""

    def test_directory_opens(self, hostile):
        _, result = hostile
        assert "error" not in result, result
        assert result["scan_count"] == 12

    @pytest.mark.parametrize("case", [
        "profile_claims_4gib_payload", "profile_claims_4gib_points", "profile_claims_both",
        "peak_claims_4gib_points", "peak_claims_4gib_bytes", "peak_offset_2_64_minus_1",
        "peak_offset_2_63", "peak_offset_2_63_minus_1", "profile_offset_2_64_minus_16",
    ])
    def test_lying_block_gives_empty_spectrum(self, hostile, case):
        spectra, _ = hostile
        assert values(spectra[case]) == EMPTY

    @pytest.mark.parametrize("case", ["lying_profile_then_good_peak", "far_profile_then_good_peak"])
    def test_peak_block_still_read_after_hostile_profile(self, hostile, case):
        spectra, _ = hostile
        mz, intensity = GOOD_PEAKS
        assert values(spectra[case]) == {"n": 3, "n_intensity": 3, "mz": mz, "intensity": intensity}

    def test_control_scan_decodes_its_profile(self, hostile):
        spectra, _ = hostile
        assert values(spectra["control"]) == {
            "n": 4, "n_intensity": 4,
            "mz": [100.0, 101.0, 102.0, 103.0], "intensity": [5.0, 6.0, 7.0, 8.0]}

    @pytest.mark.skipif(UNDER_ASAN, reason="needs the address-space cap, which ASan cannot bear")
    def test_stream_that_really_reaches_4gib(self, tmp_path):
        # 49 MB of valid long references that expand to 4 GiB - 1 bytes: the payload cannot be
        # allocated under the cap. That is a memory failure of the process, reported as one,
        # never a crash.
        stream = kf.lzf_expanding(U32_MAX)
        n = (U32_MAX - 16) // 4
        block = kf.profile_block_from_stream(stream, n, U32_MAX)
        scans = [kf.Scan(scan_id=1, blocks=[block, None])]
        path = tmp_path / "huge.d"
        kf.write_acquisition(path, scans, 284)
        result = open_once(path)
        assert result["error"] == "MemoryError", result


def _write_index(root, records):
    (root / "AcqData").mkdir(parents=True)
    (root / "AcqData" / "MSScan.bin").write_bytes(kf.scan_index(records))


class TestLargeIndexes:
    def test_one_block_referenced_by_every_record(self, tmp_path):
        # 20,000 records share one 1,000-point peak block: 240 MB decoded, read 20,000 times.
        n_records, n_points = 20_000, 1_000
        mz = 200.0 + np.arange(n_points) * 0.5
        intensity = np.arange(n_points, dtype=np.float32) + 0.5
        block = kf.peak_block_format3(mz, intensity)
        records = kf.plain_records(n_records, 220)
        records[:, 156:176] = np.frombuffer(
            kf.descriptor_bytes(block.descriptor(0)), dtype=np.uint8)
        root = tmp_path / "shared.d"
        _write_index(root, records)
        (root / "AcqData" / "MSPeak.bin").write_bytes(block.data)
        result = open_once(root, probes=[0, 9_999, -1])
        assert result["scan_count"] == n_records
        want = {"n": n_points, "n_intensity": n_points,
                "mz": mz[:4].tolist() + mz[-4:].tolist(),
                "intensity": intensity[:4].tolist() + intensity[-4:].tolist()}
        for probe in ("0", "9999", "-1"):
            assert values(result["spectra"][probe]) == want

    def test_million_records_without_blocks(self, tmp_path):
        n = 1_000_000
        root = tmp_path / "million.d"
        _write_index(root, kf.plain_records(n, 186))
        result = open_once(root, probes=[0, -1])
        assert result["scan_count"] == n
        for probe in ("0", "-1"):
            spectrum = result["spectra"][probe]
            assert values(spectrum) == EMPTY
            assert (spectrum["rt"], spectrum["ms_level"]) == (15.0, 1)


class TestDataFilesChanging:
    """Files cut short, removed or replaced: each reader sees the files as they were when it
    was built, and never fails because of a data file."""

    N = 6

    def _scans(self, shift=0.0):
        # Profile blocks (slot 156) with peak blocks as fallback (slot 220).
        scans = []
        for i in range(self.N):
            scan = peak_scan(i, 3 + i)
            scan.peaks = ([m + shift for m in scan.peaks[0]], scan.peaks[1])
            scan.profile = [1000 * i + k for k in range(5 + i)]
            scan.mz_range = (300.0 + shift, 310.0 + shift)
            scans.append(scan)
        return scans

    @pytest.mark.parametrize("cut", ["profile", "peak", "both"])
    def test_data_files_truncated_mid_block(self, tmp_path, cut):
        acq = kf.write_acquisition(tmp_path / "cut.d", self._scans(), 284)
        third = 3  # the files end in the middle of scan 3's blocks
        for name, desc_slot, path in (("profile", 0, acq.profile_path), ("peak", 1, acq.peak_path)):
            if cut in (name, "both"):
                d = acq.descriptors[third][desc_slot]
                os.truncate(path, d.byte_offset + d.byte_count // 2)
        result = open_once(acq.path, probes=range(self.N))
        assert result["scan_count"] == self.N
        for i in range(self.N):
            got = values(result["spectra"][str(i)])
            if i < third:
                want = expected_values(acq.expected[i])  # from the profile block
            elif cut == "profile":
                want = expected_values(
                    kf.expected_spectrum(self._scans()[i], 284, omit=[kf.PROFILE_FILE]))
            else:
                want = EMPTY if cut == "both" else expected_values(acq.expected[i])
            assert got == want, i

    def test_files_removed_and_replaced_between_readers(self, tmp_path):
        acq = kf.write_acquisition(tmp_path / "a.d", self._scans(), 284)
        # Peak blocks of the same sizes at the same offsets, other m/z values.
        shifted = self._scans(shift=50.0)
        other = kf.write_acquisition(tmp_path / "b.d", shifted, 284)
        assert other.descriptors == acq.descriptors
        probes = list(range(self.N))
        index = acq.path / "AcqData" / "MSScan.bin"
        steps = [
            {"op": "open", "path": str(acq.path), "probes": probes},
            {"op": "unlink", "path": str(acq.profile_path)},
            {"op": "open", "path": str(acq.path), "probes": probes},
            {"op": "rename", "src": str(other.peak_path), "dst": str(acq.peak_path)},
            {"op": "open", "path": str(acq.path), "probes": probes},
            {"op": "unlink", "path": str(acq.peak_path)},
            {"op": "open", "path": str(acq.path), "probes": probes},
            {"op": "unlink", "path": str(index)},
            {"op": "open", "path": str(acq.path)},
            {"op": "mkdir", "path": str(index)},
            {"op": "open", "path": str(acq.path)},
        ]
        full, peaks, replaced, nothing, removed, directory = run_steps(steps)
        for i in range(self.N):
            assert values(full["spectra"][str(i)]) == expected_values(acq.expected[i])
            assert values(peaks["spectra"][str(i)]) == expected_values(
                kf.expected_spectrum(self._scans()[i], 284, omit=[kf.PROFILE_FILE]))
            assert values(replaced["spectra"][str(i)]) == expected_values(
                kf.expected_spectrum(shifted[i], 284, omit=[kf.PROFILE_FILE]))
            assert values(nothing["spectra"][str(i)]) == EMPTY
        assert removed["message"] == os_error(errno.ENOENT)
        assert directory["message"] == os_error(errno.EISDIR)
