#include <Python.h>

#include "python/spectrum.hpp"

#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"
#include "python/process_type.hpp"
#include "python/py_ref.hpp"

namespace kestrane::python {

namespace {

struct SpectrumState {
  std::vector<double> mz;
  std::vector<float> intensity;
  std::uint32_t ms_level;
  double retention_time_sec;
};

struct SpectrumObject {
  PyObject_HEAD
  // Set once `state` is constructed; false (zeroed memory) in an instance allocated some other
  // way, whose `state` does not exist.
  bool built;
  SpectrumState state;
};

constexpr const char* type_name = "Spectrum";

// The state of a built instance; nullptr with RuntimeError set for one never built.
const SpectrumState* state_of(PyObject* self) {
  auto* object = reinterpret_cast<SpectrumObject*>(self);
  if (!object->built) {
    set_not_initialised(type_name);
    return nullptr;
  }
  return &object->state;
}

// A new list of floats, one per value, each widened exactly to double.
template <class T>
PyObject* float_list(const std::vector<T>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;  // the list releases the items stored so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Releases memory that the interpreter's PyMem functions handed out.
struct PyMemFree {
  void operator()(void* p) const noexcept { PyMem_Free(p); }
};

// Two digits after the point from the exact binary value, ties to even, never an exponent.
// PyOS_double_to_string rounds correctly; NaN and the infinities get the names used here.
std::string format_seconds(double seconds) {
  if (std::isnan(seconds)) return "NaN";
  if (std::isinf(seconds)) return seconds > 0 ? "inf" : "-inf";
  const std::unique_ptr<char, PyMemFree> text(
      PyOS_double_to_string(seconds, 'f', 2, 0, nullptr));
  if (!text) throw std::bad_alloc();
  return text.get();
}

// An instance never built is freed without running a destructor.
void spectrum_dealloc(PyObject* self) noexcept {
  auto* object = reinterpret_cast<SpectrumObject*>(self);
  if (object->built) object->state.~SpectrumState();
  free_instance(self);
}

PyObject* spectrum_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumState* s = state_of(self);
    if (s == nullptr) return nullptr;
    const std::string seconds = format_seconds(s->retention_time_sec);
    return PyUnicode_FromFormat("Spectrum(%zu peaks, RT %ss)", s->mz.size(), seconds.c_str());
  });
}

Py_ssize_t spectrum_length(PyObject* self) noexcept {
  return guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const SpectrumState* s = state_of(self);
    return s == nullptr ? -1 : static_cast<Py_ssize_t>(s->mz.size());
  });
}

PyObject* spectrum_get_mz(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumState* s = state_of(self);
    return s == nullptr ? nullptr : float_list(s->mz);
  });
}

PyObject* spectrum_get_intensity(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumState* s = state_of(self);
    return s == nullptr ? nullptr : float_list(s->intensity);
  });
}

PyObject* spectrum_get_ms_level(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumState* s = state_of(self);
    return s == nullptr ? nullptr : PyLong_FromLong(s->ms_level);
  });
}

PyObject* spectrum_get_retention_time_sec(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumState* s = state_of(self);
    return s == nullptr ? nullptr : PyFloat_FromDouble(s->retention_time_sec);
  });
}

PyGetSetDef spectrum_getset[] = {
    {"mz", &spectrum_get_mz, nullptr, nullptr, nullptr},
    {"intensity", &spectrum_get_intensity, nullptr, nullptr, nullptr},
    {"ms_level", &spectrum_get_ms_level, nullptr, nullptr, nullptr},
    {"retention_time_sec", &spectrum_get_retention_time_sec, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&spectrum_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&spectrum_repr)},
    {Py_mp_length, reinterpret_cast<void*>(&spectrum_length)},
    {Py_tp_getset, spectrum_getset},
    {0, nullptr},
};

// No Py_tp_new: instances come from RawReader.read_spectrum only.
PyType_Spec spectrum_spec = {
    "builtins.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

}  // namespace

PyTypeObject* spectrum_type() noexcept {
  static ProcessType type(&spectrum_spec);
  return type.get();
}

PyObject* spectrum_new(std::vector<double> mz, std::vector<float> intensity,
                       double retention_time_sec, std::uint32_t ms_level) noexcept {
  PyTypeObject* tp = spectrum_type();
  if (tp == nullptr) return nullptr;
  PyObject* self = new_instance(tp);
  if (self == nullptr) return nullptr;
  static_assert(std::is_nothrow_move_constructible_v<SpectrumState>);
  auto* object = reinterpret_cast<SpectrumObject*>(self);
  ::new (&object->state)
      SpectrumState{std::move(mz), std::move(intensity), ms_level, retention_time_sec};
  object->built = true;
  return self;
}

}  // namespace kestrane::python
