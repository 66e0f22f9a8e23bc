"""RawReader: argument binding and conversion, opening errors, scan access and repr."""

import os
import pathlib
import re
import shutil

import pytest

import kestrane
import kestrane_fixtures as kf
from conftest import peak_scan

NEW = "RawReader.__new__()"
READ = "RawReader.read_spectrum()"
UNEXPECTED = "got an unexpected keyword argument"


class Holder:
    class Inner:
        pass


class Str(str):
    pass


class Int(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted without __index__")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


def raises_exactly(exc_type, message, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


class TestConstructorBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, f"{NEW} missing 1 required positional argument: 'path'"),
            (("a", "b"), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
            (("a", "b", "c"), {}, f"{NEW} takes 1 positional arguments but 3 were given"),
            # Too many positionals is checked before any keyword.
            (("a", "b"), {"bogus": 1}, f"{NEW} takes 1 positional arguments but 2 were given"),
            (("a",), {"path": "b"}, f"{NEW} got multiple values for argument 'path'"),
            ((), {"index": 1}, f"{NEW} got an unexpected keyword argument 'index'"),
            # Keywords are checked in the order given, before the missing parameter.
            ((), {"bogus": 1, "path": "x"}, f"{NEW} got an unexpected keyword argument 'bogus'"),
            (("a",), {"path": "b", "bogus": 1}, f"{NEW} got multiple values for argument 'path'"),
            (("a",), {"bogus": 1, "path": "b"}, f"{NEW} {UNEXPECTED} 'bogus'"),
            ((), {"Path": "x"}, f"{NEW} got an unexpected keyword argument 'Path'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        raises_exactly(TypeError, message, lambda: kestrane.RawReader(*args, **kwargs))

    @pytest.mark.parametrize(
        "value, message",
        [
            (None, "argument 'path': 'None' is not an instance of 'str'"),
            (b"/tmp", "argument 'path': 'bytes' object is not an instance of 'str'"),
            (pathlib.Path("/x"), "argument 'path': 'PosixPath' object is not an instance of 'str'"),
            (3, "argument 'path': 'int' object is not an instance of 'str'"),
            # The qualified name, not the bare name or the module-qualified one.
            (Holder.Inner(), "argument 'path': 'Holder.Inner' object is not an instance of 'str'"),
        ],
    )
    def test_path_conversion_errors(self, value, message):
        exc = raises_exactly(TypeError, message, lambda: kestrane.RawReader(value))
        assert exc.__cause__ is None
        raises_exactly(TypeError, message, lambda: kestrane.RawReader(path=value))

    def test_lone_surrogate_raises_unicode_encode_error(self):
        with pytest.raises(UnicodeEncodeError) as info:
            kestrane.RawReader("/tmp/\udc80")
        assert info.value.encoding == "utf-8"

    def test_keyword_and_subclass_accepted(self, small_run):
        path = str(small_run.path)
        for reader in (
            kestrane.RawReader(path=path),
            kestrane.RawReader(Str(path)),
            kestrane.RawReader.__new__(kestrane.RawReader, path),
        ):
            assert type(reader) is kestrane.RawReader
            assert reader.scan_count == 10
            assert repr(reader) == f"RawReader('{path}', 10 scans)"


class TestOpenErrors:
    def test_missing_acqdata(self, tmp_path):
        exc = raises_exactly(
            RuntimeError,
            "parse error: AcqData directory not found",
            lambda: kestrane.RawReader(str(tmp_path)),
        )
        assert exc.args == ("parse error: AcqData directory not found",)

    def test_missing_msscan(self, tmp_path):
        (tmp_path / "AcqData").mkdir()
        with pytest.raises(RuntimeError) as info:
            kestrane.RawReader(str(tmp_path))
        assert type(info.value) is RuntimeError
        assert len(info.value.args) == 1
        assert info.value.args[0] == f"I/O error: {os.strerror(2)} (os error 2)"

    def test_nul_in_path_is_not_cut_off(self, small_run):
        # The whole text reaches the file system, which cannot take it: not the prefix.
        raises_exactly(
            RuntimeError,
            "parse error: AcqData directory not found",
            lambda: kestrane.RawReader(f"{small_run.path}\0/elsewhere"),
        )

    @pytest.mark.parametrize(
        "image, message",
        [
            (kf.scan_header(), "parse error: Cannot determine record stride for payload len 0"),
            (kf.scan_header(length=91), "parse error: MSScan.bin too small for header"),
            (kf.scan_header(magic=256), "parse error: Invalid MSScan magic: 256"),
            (kf.scan_header(data_offset=93), "parse error: MSScan.bin truncated header"),
        ],
        ids=["empty-index", "short", "magic", "data-offset"],
    )
    def test_malformed_index(self, tmp_path, image, message):
        # An index without records cannot be opened, so no reader ever has 0 scans.
        acq = tmp_path / "AcqData"
        acq.mkdir()
        (acq / "MSScan.bin").write_bytes(image)
        raises_exactly(RuntimeError, message, lambda: kestrane.RawReader(str(tmp_path)))


class TestReadSpectrumBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, f"{READ} missing 1 required positional argument: 'scan_index'"),
            ((0, 1), {}, f"{READ} takes 1 positional arguments but 2 were given"),
            ((0,), {"scan_index": 1}, f"{READ} got multiple values for argument 'scan_index'"),
            ((), {"index": 1}, f"{READ} got an unexpected keyword argument 'index'"),
            ((0,), {"index": 1}, f"{READ} got an unexpected keyword argument 'index'"),
            ((), {"index": 1, "scan_index": 0}, f"{READ} {UNEXPECTED} 'index'"),
        ],
    )
    def test_binding_errors(self, small_reader, args, kwargs, message):
        raises_exactly(TypeError, message, lambda: small_reader.read_spectrum(*args, **kwargs))
        unbound = kestrane.RawReader.read_spectrum
        raises_exactly(TypeError, message, lambda: unbound(small_reader, *args, **kwargs))

    @pytest.mark.parametrize(
        "value, position",
        [
            (3, 3),
            (True, 1),
            (False, 0),
            (Int(4), 4),
            (Index(5), 5),
        ],
        ids=["int", "True", "False", "int-subclass", "__index__"],
    )
    def test_index_conversion(self, small_reader, value, position):
        # Scan i has i + 1 points, so the length identifies the position.
        assert len(small_reader.read_spectrum(value)) == position + 1
        assert len(small_reader.read_spectrum(scan_index=value)) == position + 1

    def test_numpy_integer(self, small_reader):
        np = pytest.importorskip("numpy")
        assert len(small_reader.read_spectrum(np.int64(7))) == 8
        assert len(small_reader.read_spectrum(np.uint8(2))) == 3

    @pytest.mark.parametrize(
        "value, message",
        [
            (1.0, "argument 'scan_index': 'float' object cannot be interpreted as an integer"),
            ("3", "argument 'scan_index': 'str' object cannot be interpreted as an integer"),
            (None, "argument 'scan_index': 'NoneType' object cannot be interpreted as an integer"),
            (Index(1.5), "argument 'scan_index': __index__ returned non-int (type float)"),
        ],
    )
    def test_index_type_errors(self, small_reader, value, message):
        exc = raises_exactly(TypeError, message, lambda: small_reader.read_spectrum(value))
        assert exc.__cause__ is None

    def test_type_error_keeps_cause(self, small_reader):
        root = ValueError("root")
        original = TypeError("boom")
        original.__cause__ = root
        exc = raises_exactly(
            TypeError,
            "argument 'scan_index': boom",
            lambda: small_reader.read_spectrum(RaisingIndex(original)),
        )
        assert exc is not original
        assert exc.__cause__ is root

    @pytest.mark.parametrize(
        "exc",
        [TypeErrorSubclass("sub"), ValueError("value"), KeyError("key")],
        ids=["TypeError-subclass", "ValueError", "KeyError"],
    )
    def test_other_exceptions_pass_through(self, small_reader, exc):
        with pytest.raises(type(exc)) as info:
            small_reader.read_spectrum(RaisingIndex(exc))
        assert info.value is exc

    @pytest.mark.parametrize(
        "value",
        [-1, -(2**70), 2**64, 2**100, Index(-5), Index(2**64)],
        ids=["-1", "-2**70", "2**64", "2**100", "__index__-negative", "__index__-2**64"],
    )
    def test_overflow(self, small_reader, value):
        with pytest.raises(OverflowError) as info:
            small_reader.read_spectrum(value)
        assert type(info.value) is OverflowError


class TestScanAccess:
    @pytest.mark.parametrize(
        "position, message",
        [
            (10, "scan 10 out of range"),
            (11, "scan 11 out of range"),
            (2**32, "scan 4294967296 out of range"),
            (2**64 - 1, "scan 18446744073709551615 out of range"),
        ],
    )
    def test_out_of_range(self, small_reader, position, message):
        exc = raises_exactly(RuntimeError, message, lambda: small_reader.read_spectrum(position))
        assert exc.args == (message,)

    def test_last_position(self, small_reader):
        n = small_reader.scan_count
        assert len(small_reader.read_spectrum(n - 1)) == n

    def test_position_is_not_scan_id(self, write_dir):
        scans = [peak_scan(i, i + 1) for i in range(3)]
        for i, scan in enumerate(scans):
            scan.scan_id = 1000 + 10 * i
        reader = kestrane.RawReader(str(write_dir(scans).path))
        assert [len(reader.read_spectrum(i)) for i in range(3)] == [1, 2, 3]
        with pytest.raises(RuntimeError, match=re.escape("scan 1000 out of range")):
            reader.read_spectrum(1000)

    def test_new_object_per_call(self, small_reader):
        a, b = small_reader.read_spectrum(5), small_reader.read_spectrum(5)
        assert a is not b
        assert a != b  # identity equality
        assert (a.mz, a.intensity, a.ms_level, a.retention_time_sec) == (
            b.mz,
            b.intensity,
            b.ms_level,
            b.retention_time_sec,
        )

    def test_scan_count_read_only(self, small_reader):
        assert type(small_reader.scan_count) is int
        with pytest.raises(AttributeError):
            small_reader.scan_count = 3
        with pytest.raises(AttributeError):
            del small_reader.scan_count
        assert small_reader.scan_count == 10

    def test_no_len_iteration_or_indexing(self, small_reader):
        with pytest.raises(TypeError, match=re.escape("has no len()")):
            len(small_reader)
        with pytest.raises(TypeError):
            iter(small_reader)
        with pytest.raises(TypeError):
            small_reader[0]

    def test_data_files_removed_after_construction(self, write_dir):
        acq = write_dir([peak_scan(i, 20 + i) for i in range(6)], stride=220)
        reader = kestrane.RawReader(str(acq.path))
        shutil.rmtree(acq.path)
        for i, expected in enumerate(acq.expected):
            spectrum = reader.read_spectrum(i)
            assert spectrum.mz == expected.mz.tolist()
            assert spectrum.intensity == expected.intensity.tolist()

    def test_spectrum_outlives_reader(self, small_run):
        reader = kestrane.RawReader(str(small_run.path))
        spectrum = reader.read_spectrum(9)
        del reader
        assert spectrum.mz == small_run.expected[9].mz.tolist()

    def test_unreadable_blocks_give_empty_spectra(self, write_dir):
        acq = write_dir([peak_scan(i, 4) for i in range(3)], stride=220, omit=["MSPeak.bin"])
        reader = kestrane.RawReader(str(acq.path))
        assert reader.scan_count == 3
        assert [len(reader.read_spectrum(i)) for i in range(3)] == [0, 0, 0]


class TestRepr:
    @pytest.mark.parametrize(
        "name",
        ["run.d", "it's.d", 'say "hi".d', "back\\slash.d", "é ü 名.d", "tab\there.d"],
        ids=["plain", "single-quote", "double-quote", "backslash", "non-ascii", "tab"],
    )
    def test_path_shown_unescaped(self, write_dir, name):
        acq = write_dir([peak_scan(i, 1) for i in range(3)], name=name)
        path = str(acq.path)
        assert repr(kestrane.RawReader(path)) == f"RawReader('{path}', 3 scans)"

    def test_relative_path_kept_as_given(self, write_dir, monkeypatch):
        acq = write_dir([peak_scan(0, 1)], name="rel.d")
        monkeypatch.chdir(acq.path.parent)
        assert repr(kestrane.RawReader("./rel.d/")) == "RawReader('./rel.d/', 1 scans)"
        assert repr(kestrane.RawReader(Str("rel.d"))) == "RawReader('rel.d', 1 scans)"
