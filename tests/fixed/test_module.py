"""The module object, its two types and their class-level properties."""

import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import kestrane


def run_python(code):
    """Runs code in a fresh interpreter; a crash shows up as a signal exit code."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


class TestModule:
    def test_attributes(self):
        assert kestrane.__all__ == ["RawReader", "Spectrum"]
        assert kestrane.__doc__ == ""
        standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
        assert set(vars(kestrane)) - standard == {"RawReader", "Spectrum", "__all__"}

    def test_installed_module_is_imported(self):
        # A copy left in the source tree would shadow the package under test.
        assert "site-packages" in kestrane.__file__

    def test_reimport_reuses_types_and_lists_each_name_once(self):
        proc = run_python(
            """
            import importlib, sys
            import kestrane as first
            del sys.modules["kestrane"]
            second = importlib.import_module("kestrane")
            assert second is not first
            assert second.RawReader is first.RawReader
            assert second.Spectrum is first.Spectrum
            print(second.__all__)
            """
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "['RawReader', 'Spectrum']"

    def test_reimport_leaves_type_reference_counts_unchanged(self):
        # Each module object holds one reference to each type and gives it back when freed; a
        # module that kept a reference it never took would lower the counts once per cycle.
        proc = run_python(
            """
            import gc, importlib, sys
            import kestrane
            types = (kestrane.RawReader, kestrane.Spectrum)
            del kestrane
            gc.collect()
            before = [sys.getrefcount(t) for t in types]
            for _ in range(20):
                del sys.modules["kestrane"]
                importlib.import_module("kestrane")
                gc.collect()
            print(before)
            print([sys.getrefcount(t) for t in types])
            """
        )
        assert proc.returncode == 0, proc.stderr
        before, after = proc.stdout.splitlines()
        assert after == before


@pytest.mark.parametrize("name", ["RawReader", "Spectrum"])
class TestTypeObjects:
    def test_names(self, name):
        cls = getattr(kestrane, name)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        assert cls.__name__ == name

    def test_not_subclassable(self, name):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("X", (getattr(kestrane, name),), {})

    def test_not_immutable(self, name):
        # Class attributes may be rebound; the types carry no Py_TPFLAGS_IMMUTABLETYPE.
        cls = getattr(kestrane, name)
        cls.extra_attribute = 1
        try:
            assert cls.extra_attribute == 1
        finally:
            del cls.extra_attribute

    def test_object_new_refused(self, name):
        # object.__new__ would skip the constructor and leave the C++ state unbuilt.
        with pytest.raises(TypeError, match="is not safe"):
            object.__new__(getattr(kestrane, name))


class TestSignatures:
    def test_raw_reader(self):
        assert kestrane.RawReader.__text_signature__ == "(path)"
        assert kestrane.RawReader.__doc__ in ("", None)

    def test_read_spectrum(self):
        method = kestrane.RawReader.read_spectrum
        assert method.__text_signature__ == "($self, scan_index)"
        assert method.__doc__ in ("", None)

    def test_spectrum_has_no_doc(self):
        assert kestrane.Spectrum.__doc__ is None

    def test_inspect_signature(self):
        import inspect

        params = inspect.signature(kestrane.RawReader.read_spectrum).parameters
        assert list(params) == ["self", "scan_index"]
        assert str(inspect.signature(kestrane.RawReader)) == "(path)"


class TestNoInstanceState:
    def test_no_weakref_no_dict(self, small_reader):
        spectrum = small_reader.read_spectrum(0)
        for obj in (small_reader, spectrum):
            with pytest.raises(TypeError):
                weakref.ref(obj)
            assert not hasattr(obj, "__dict__")
            with pytest.raises(AttributeError):
                obj.note = 1

    def test_spectrum_cannot_be_called(self):
        with pytest.raises(TypeError, match="cannot create 'builtins.Spectrum' instances"):
            kestrane.Spectrum()


SUBINTERPRETER = """
    import _interpreters
    {before}
    config = _interpreters.new_config({kind!r})
    interp = _interpreters.create(config)
    try:
        failure = _interpreters.exec(interp, "import kestrane")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None, "kestrane imported in a subinterpreter"
    print(failure.type.__name__)
    print(failure.msg)
    import kestrane
    print(kestrane.RawReader.__module__)
"""


@pytest.mark.parametrize("before", ["", "import kestrane"], ids=["fresh", "imported-in-main"])
@pytest.mark.parametrize(
    "kind, message",
    [
        # A legacy subinterpreter shares the main GIL: the module's own check refuses it.
        ("legacy", "kestrane does not support subinterpreters"),
        # An isolated one has its own GIL: the import system refuses the module before exec.
        ("isolated", "module kestrane does not support loading in subinterpreters"),
    ],
)
def test_subinterpreter_import_raises_import_error(kind, message, before):
    pytest.importorskip("_interpreters")
    proc = run_python(SUBINTERPRETER.format(kind=kind, before=before))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["ImportError", message, "builtins"]


def test_type_stub(tmp_path):
    """The installed stub is found by mypy and agrees with the module at run time."""
    pytest.importorskip("mypy")
    check = tmp_path / "check.py"
    check.write_text(
        "import kestrane\n"
        'reveal_type(kestrane.RawReader("x").read_spectrum(0).mz)\n'
        'reveal_type(kestrane.RawReader(path="x").read_spectrum(scan_index=True).ms_level)\n'
    )
    common = dict(capture_output=True, text=True, timeout=300, cwd=tmp_path)
    cache = ["--cache-dir", str(tmp_path / "cache")]
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, str(check)], **common)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    revealed = re.findall(r'Revealed type is "(.*)"', proc.stdout.replace("builtins.", ""))
    assert revealed == ["list[float]", "int"]
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kestrane"], **common)
    assert proc.returncode == 0, proc.stdout + proc.stderr

