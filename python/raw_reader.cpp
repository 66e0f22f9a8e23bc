#include <Python.h>

#include "python/raw_reader.hpp"

#include <chrono>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/process_type.hpp"
#include "python/py_ref.hpp"
#include "python/spectrum.hpp"
#include "src/interrupt.hpp"
#include "src/reader/reader.hpp"
#include "src/reader/spectra.hpp"

namespace kestrane::python {

namespace {

// Set once by the constructor and never changed: instances are read by any number of threads.
struct State {
  reader::Reader reader;
  reader::Spectra spectra;
};

struct RawReaderObject {
  PyObject_HEAD
  // Set once `state` is constructed. An instance allocated some other way (a replaced __new__
  // calling object.__new__) has zeroed memory: it reads false, and `state` does not exist.
  bool built;
  State state;
};

constexpr const char* type_name = "RawReader";

// The state of a built instance; nullptr with RuntimeError set for one never built.
const State* state_of(PyObject* self) {
  auto* object = reinterpret_cast<RawReaderObject*>(self);
  if (!object->built) {
    set_not_initialised(type_name);
    return nullptr;
  }
  return &object->state;
}

constexpr const char* new_params[] = {"path"};
constexpr Signature new_signature{"RawReader.__new__()", new_params};
constexpr const char* read_spectrum_params[] = {"scan_index"};
constexpr Signature read_spectrum_signature{"RawReader.read_spectrum()", read_spectrum_params};

// Lets other threads run while this one decodes, and runs signal handlers meanwhile: the
// interpreter is released for the object's lifetime, and requested() takes it back at most once
// per check_interval to call PyErr_CheckSignals. A handler that raises (KeyboardInterrupt on
// Ctrl-C) asks the work to stop; hold() hands its exception over.
class ReleasedInterpreter final : public Interrupt {
 public:
  ReleasedInterpreter() noexcept : saved_(PyEval_SaveThread()), last_check_(Clock::now()) {}
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
  ~ReleasedInterpreter() override { hold(); }

  bool requested() noexcept override {
    if (raised_) return true;
    const Clock::time_point now = Clock::now();
    if (now - last_check_ < check_interval) return false;
    last_check_ = now;
    PyEval_RestoreThread(saved_);
    if (PyErr_CheckSignals() < 0) raised_ = PyRef::steal(PyErr_GetRaisedException());
    saved_ = PyEval_SaveThread();
    return static_cast<bool>(raised_);
  }

  // Takes the interpreter back for good; the exception a signal handler raised, if any.
  PyRef hold() noexcept {
    if (saved_ != nullptr) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    return std::move(raised_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration check_interval = std::chrono::milliseconds(20);

  PyThreadState* saved_;
  Clock::time_point last_check_;
  PyRef raised_;  // touched without the interpreter only to test it
};

// Opens the directory and decodes every spectrum, asking `interrupt` between steps; the errors
// of Reader::open and Spectra::decode. No file stays open when it returns. Runs without the
// interpreter: it touches no Python object.
Result<State> open_directory(std::string path, Interrupt& interrupt) {
  Result<reader::Reader> opened = reader::Reader::open(std::move(path), &interrupt);
  if (!opened) return std::unexpected(std::move(opened).error());
  Result<reader::Spectra> spectra = reader::Spectra::decode(*opened, &interrupt);
  if (!spectra) return std::unexpected(std::move(spectra).error());
  return State{std::move(*opened), std::move(*spectra)};
}

PyObject* raw_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_tuple(new_signature, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_str(bound[0], new_params[0], path)) return nullptr;
    ReleasedInterpreter released;
    Result<State> state = open_directory(std::move(path), released);
    if (PyRef raised = released.hold()) {
      PyErr_SetRaisedException(raised.release());
      return nullptr;
    }
    if (!state) {
      set_runtime_error(state.error());
      return nullptr;
    }
    PyObject* self = new_instance(subtype);
    if (self == nullptr) return nullptr;
    static_assert(std::is_nothrow_move_constructible_v<State>);
    auto* object = reinterpret_cast<RawReaderObject*>(self);
    ::new (&object->state) State(std::move(*state));
    object->built = true;
    return self;
  });
}

// An instance never built is freed without running a destructor.
void raw_reader_dealloc(PyObject* self) noexcept {
  auto* object = reinterpret_cast<RawReaderObject*>(self);
  if (object->built) object->state.~State();
  free_instance(self);
}

// Nothing is escaped: a quote inside the path is shown as it is.
PyObject* raw_reader_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    const std::string& dir = s->reader.data_dir();
    PyRef path = PyRef::steal(
        PyUnicode_DecodeUTF8(dir.data(), static_cast<Py_ssize_t>(dir.size()), "replace"));
    if (!path) return nullptr;
    return PyUnicode_FromFormat("RawReader('%U', %zu scans)", path.get(), s->spectra.size());
  });
}

PyObject* raw_reader_get_scan_count(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(s->spectra.size());
  });
}

// The position counts records from 0 (the record's index, not its scan id); no file is read.
PyObject* raw_reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const State* s = state_of(self);
    if (s == nullptr) return nullptr;
    PyObject* bound[1];
    if (!bind_vectorcall(read_spectrum_signature, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t scan_index = 0;
    if (!convert_index(bound[0], read_spectrum_params[0], scan_index)) return nullptr;
    const reader::Spectra& spectra = s->spectra;
    if (scan_index >= spectra.size()) {
      PyErr_Format(PyExc_RuntimeError, "scan %llu out of range",
                   static_cast<unsigned long long>(scan_index));
      return nullptr;
    }
    const std::span<const double> mz = spectra.mz(scan_index);
    const std::span<const float> intensity = spectra.intensity(scan_index);
    return spectrum_new(std::vector<double>(mz.begin(), mz.end()),
                        std::vector<float>(intensity.begin(), intensity.end()),
                        spectra.retention_time_sec(scan_index), spectra.ms_level(scan_index));
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
