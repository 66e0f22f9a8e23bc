"""Spectrum: values bit for bit, fresh objects per access, read-only attributes, repr."""

import decimal
import math

import pytest

import kestrane
import kestrane_fixtures as kf
from conftest import bits, f32, minutes_for, peak_scan

NAN = float("nan")
INF = float("inf")


def read_all(acq):
    reader = kestrane.RawReader(str(acq.path))
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


class TestValues:
    # m/z stored as f64 and intensities as f32, the awkward values included.
    MZ = [math.pi, 5e-324, 1.7976931348623157e308, -0.0, -123.456, NAN, INF, 1 / 3, 1e-300]
    INTENSITY = [0.1, 16777217.0, 3.4028234663852886e38, -0.0, NAN, -INF, 1e-45, 2.5, 1e-40]

    def test_interleaved_peaks_bit_exact(self, write_dir):
        scan = kf.Scan(1, 0.5, 1, peaks=(self.MZ, self.INTENSITY), peak_format=3)
        (s,) = read_all(write_dir([scan]))
        assert [bits(x) for x in s.mz] == [bits(x) for x in self.MZ]
        # Widened exactly: 0.1 in 32 bits reads back as 0.10000000149011612.
        assert [bits(x) for x in s.intensity] == [bits(f32(x)) for x in self.INTENSITY]
        assert s.intensity[0] == 0.10000000149011612
        assert s.intensity[1] == 16777216.0
        assert all(type(x) is float for x in s.mz + s.intensity)

    def test_array_peaks_divided_by_100(self, write_dir):
        mz = [500.25, 0.07, 1234.5678, 3.3]
        intensity = [1.5, 2.5, 0.3, 7.0]
        scan = kf.Scan(1, 0.5, 1, peaks=(mz, intensity), peak_format=2)
        (s,) = read_all(write_dir([scan]))
        assert [bits(x) for x in s.mz] == [bits((m * 100.0) / 100.0) for m in mz]
        assert [bits(x) for x in s.intensity] == [bits(f32(x)) for x in intensity]

    def test_profile_axis_and_counts(self, write_dir):
        counts = [0, 7, 16777217, 4294967295, 3]
        first, last = 200.0, 201.0
        scan = kf.Scan(1, 0.5, 1, mz_range=(first, last), profile=counts)
        (s,) = read_all(write_dir([scan], stride=284))
        step = (last - first) / (len(counts) - 1)
        assert [bits(x) for x in s.mz] == [bits(k * step + first) for k in range(len(counts))]
        assert s.intensity == [f32(float(c)) for c in counts]
        assert s.intensity[2] == 16777216.0

    @pytest.mark.parametrize("ms_level", [0, 1, 2, 3, 65535])
    def test_ms_level_and_retention_time(self, write_dir, ms_level):
        # The level of the second index record takes part in stride detection: keep it at 1.
        scans = [peak_scan(0, 2, ms_level=ms_level, rt_min=-1.5), peak_scan(1, 2)]
        s = read_all(write_dir(scans))[0]
        assert type(s.ms_level) is int and s.ms_level == ms_level
        assert type(s.retention_time_sec) is float and s.retention_time_sec == -90.0

    def test_empty_spectrum(self, write_dir):
        scans = [peak_scan(0, 0), kf.Scan(2, 1.0, 1)]  # empty peak block; no block at all
        for s in read_all(write_dir(scans)):
            assert len(s) == 0
            assert not s
            assert s.mz == [] and s.intensity == []
            assert repr(s).startswith("Spectrum(0 peaks, RT ")

    def test_non_empty_is_true(self, small_reader):
        assert small_reader.read_spectrum(0)
        assert len(small_reader.read_spectrum(0)) == 1


class TestFreshObjects:
    def test_lists_are_new_on_every_access(self, small_reader):
        s = small_reader.read_spectrum(4)
        assert s.mz is not s.mz
        assert s.mz == s.mz
        assert s.intensity is not s.intensity
        mz = s.mz
        mz.append(1.0)
        mz[0] = -1.0
        s.intensity.clear()
        assert len(s) == 5
        assert len(s.mz) == 5 and s.mz[0] != -1.0
        assert len(s.intensity) == 5

    def test_equal_contents_compare_by_identity(self, small_reader):
        a, b = small_reader.read_spectrum(2), small_reader.read_spectrum(2)
        assert a == a
        assert a != b
        assert hash(a) != hash(b)


class TestReadOnly:
    @pytest.mark.parametrize("name", ["mz", "intensity", "ms_level", "retention_time_sec"])
    def test_set_and_delete_refused(self, small_reader, name):
        s = small_reader.read_spectrum(1)
        before = getattr(s, name)
        with pytest.raises(AttributeError):
            setattr(s, name, before)
        with pytest.raises(AttributeError):
            delattr(s, name)
        assert getattr(s, name) == before

    def test_no_methods_or_item_access(self, small_reader):
        s = small_reader.read_spectrum(1)
        with pytest.raises(TypeError):
            s[0]
        with pytest.raises(TypeError):
            iter(s)


def correctly_rounded(seconds):
    """The exact binary value brought to two decimals, ties to even, without an exponent."""
    context = decimal.Context(prec=1000, rounding=decimal.ROUND_HALF_EVEN)
    return str(decimal.Decimal(seconds).quantize(decimal.Decimal("0.01"), context=context))


class TestRepr:
    CASES = [
        (90.0, "90.00"),
        (1234.5678, "1234.57"),
        (0.125, "0.12"),  # exact tie: to even, down
        (0.375, "0.38"),  # exact tie: to even, up
        (1.875, "1.88"),
        (5.625, "5.62"),
        (2.675, "2.67"),  # stored just below 2.675
        (1.005, "1.00"),  # stored just below 1.005
        (0.005, "0.01"),  # stored just above 0.005
        (123456789.125, "123456789.12"),
        (1e22, "10000000000000000000000.00"),
        (1e300, correctly_rounded(1e300)),
        (0.0, "0.00"),
        (-0.0, "-0.00"),
        (-0.001, "-0.00"),
        (-2.675, "-2.67"),
        (NAN, "NaN"),
        (-NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
    ]

    def test_retention_times(self, write_dir):
        scans = [
            peak_scan(i, i % 3, rt_min=minutes_for(sec)) for i, (sec, _) in enumerate(self.CASES)
        ]
        spectra = read_all(write_dir(scans))
        for i, ((sec, text), s) in enumerate(zip(self.CASES, spectra)):
            assert bits(s.retention_time_sec) == bits(sec) or math.isnan(sec)
            assert repr(s) == f"Spectrum({i % 3} peaks, RT {text}s)"

    def test_expected_texts_are_correctly_rounded(self):
        # Guards the table itself against a typo.
        for sec, text in self.CASES:
            if math.isfinite(sec):
                assert text == correctly_rounded(sec)
        assert len(correctly_rounded(1e300)) == 301 + 3

    def test_documented_example(self, write_dir):
        scan = kf.Scan(1, 1.5, 1, mz_range=(100.0, 200.0), profile=list(range(1523)))
        (s,) = read_all(write_dir([scan]))
        assert repr(s) == "Spectrum(1523 peaks, RT 90.00s)"
