#include <Python.h>

#include "python/raw_reader.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/source.hpp"
#include "core/types.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/process_type.hpp"
#include "python/py_ref.hpp"
#include "python/spectrum.hpp"
#include "src/reader/arena.hpp"
#include "src/reader/reader.hpp"

namespace kestrane::python {

namespace {

// Set once by the constructor and never changed: instances are read by any number of threads.
struct State {
  reader::Reader reader;
  // The records' arrays live in the arena, so it is declared first and destroyed after them.
  std::unique_ptr<reader::ArrayArena> arena;
  std::vector<vornelle_core::SpectrumRecord> spectra;
};

struct RawReaderObject {
  PyObject_HEAD
  State state;
};

const State& state_of(PyObject* self) { return reinterpret_cast<RawReaderObject*>(self)->state; }

constexpr const char* new_params[] = {"path"};
constexpr Signature new_signature{"RawReader.__new__()", new_params};
constexpr const char* read_spectrum_params[] = {"scan_index"};
constexpr Signature read_spectrum_signature{"RawReader.read_spectrum()", read_spectrum_params};

// Opens the directory and decodes every spectrum; the errors of Reader::open. No file stays
// open when it returns.
Result<State> open_directory(std::string path) {
  Result<reader::Reader> opened = reader::Reader::open(std::move(path));
  if (!opened) return std::unexpected(std::move(opened).error());
  auto arena = std::make_unique<reader::ArrayArena>();
  std::vector<vornelle_core::SpectrumRecord> spectra;
  {
    // The iterator refers to the Reader: it is gone before the Reader moves.
    std::unique_ptr<vornelle_core::SpectrumIterator> records = opened->iter_spectra(arena.get());
    // The hint is exact, so the array is allocated once (and not at all when it is 0).
    if (const std::size_t expected = records->size_hint().lower; expected > 0) {
      spectra.reserve(expected);
    }
    while (std::optional<vornelle_core::SpectrumRecord> record = records->next()) {
      spectra.push_back(std::move(*record));
    }
  }
  return State{std::move(*opened), std::move(arena), std::move(spectra)};
}

PyObject* raw_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_tuple(new_signature, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_str(bound[0], new_params[0], path)) return nullptr;
    Result<State> state = open_directory(std::move(path));
    if (!state) {
      set_runtime_error(state.error());
      return nullptr;
    }
    PyObject* self = new_instance(subtype);
    if (self == nullptr) return nullptr;
    static_assert(std::is_nothrow_move_constructible_v<State>);
    ::new (&reinterpret_cast<RawReaderObject*>(self)->state) State(std::move(*state));
    return self;
  });
}

void raw_reader_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<RawReaderObject*>(self)->state.~State();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Nothing is escaped: a quote inside the path is shown as it is.
PyObject* raw_reader_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const State& s = state_of(self);
    const std::string& dir = s.reader.data_dir();
    PyRef path = PyRef::steal(
        PyUnicode_DecodeUTF8(dir.data(), static_cast<Py_ssize_t>(dir.size()), "replace"));
    if (!path) return nullptr;
    return PyUnicode_FromFormat("RawReader('%U', %zu scans)", path.get(), s.spectra.size());
  });
}

PyObject* raw_reader_get_scan_count(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    return PyLong_FromUnsignedLongLong(state_of(self).spectra.size());
  });
}

// The position counts records from 0 (the record's index, not its scan id); no file is read.
PyObject* raw_reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_vectorcall(read_spectrum_signature, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t scan_index = 0;
    if (!convert_index(bound[0], read_spectrum_params[0], scan_index)) return nullptr;
    const std::vector<vornelle_core::SpectrumRecord>& spectra = state_of(self).spectra;
    if (scan_index >= spectra.size()) {
      PyErr_Format(PyExc_RuntimeError, "scan %llu out of range",
                   static_cast<unsigned long long>(scan_index));
      return nullptr;
    }
    const vornelle_core::SpectrumRecord& record = spectra[scan_index];
    return spectrum_new(std::vector<double>(record.mz.begin(), record.mz.end()),
                        std::vector<float>(record.intensity.begin(), record.intensity.end()),
                        record.retention_time_sec, record.ms_level);
  });
}

PyMethodDef raw_reader_methods[] = {
    {"read_spectrum",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&raw_reader_read_spectrum)),
     METH_FASTCALL | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef raw_reader_getset[] = {
    {"scan_count", &raw_reader_get_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot raw_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&raw_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&raw_reader_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&raw_reader_repr)},
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_methods, raw_reader_methods},
    {Py_tp_getset, raw_reader_getset},
    {0, nullptr},
};

PyType_Spec raw_reader_spec = {
    "builtins.RawReader",
    sizeof(RawReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    raw_reader_slots,
};

}  // namespace

PyTypeObject* raw_reader_type() noexcept {
  static ProcessType type(&raw_reader_spec);
  return type.get();
}

}  // namespace kestrane::python
