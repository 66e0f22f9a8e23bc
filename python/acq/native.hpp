// Helpers of the types written directly against the CPython API (Spectrum, SpectrumIterator):
// their slots are called by the interpreter, so no C++ exception may leave them.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>
#include <string_view>

namespace kestrane::acq_python {

namespace nb = nanobind;

// Runs `f`, which returns a new reference or nullptr with the Python error set, turning any C++
// exception into the Python error it stands for.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::value_error: type = PyExc_ValueError; break;
      case nb::exception_type::index_error: type = PyExc_IndexError; break;
      case nb::exception_type::type_error: type = PyExc_TypeError; break;
      default: break;
    }
    PyErr_SetString(type, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return nullptr;
}

// Every C++ string reaches Python through one of these two pairs. Text (words, messages, names
// read from files): a new str of `w`, invalid UTF-8 replaced by U+FFFD, never a decoding error.
// nullptr with the error set on failure (memory).
inline PyObject* new_str(std::string_view w) noexcept {
  return PyUnicode_DecodeUTF8(w.data(), static_cast<Py_ssize_t>(w.size()), "replace");
}

// A path: its bytes as os.fsdecode gives them, so that os.fsencode gives the same bytes back.
inline PyObject* new_path_str(std::string_view w) noexcept {
  return PyUnicode_DecodeFSDefaultAndSize(w.data(), static_cast<Py_ssize_t>(w.size()));
}

// The same as objects; a failure raises.
inline nb::str text(std::string_view w) {
  PyObject* s = new_str(w);
  if (s == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(s);
}
inline nb::str path_text(std::string_view w) {
  PyObject* s = new_path_str(w);
  if (s == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

// Creates a type from `spec`, added to `m` under `name` when `exported`. The reference returned
// is kept for the life of the process.
inline PyTypeObject* add_type(nb::module_& m, PyType_Spec& spec, const char* name,
                              bool exported) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw nb::python_error();
  if (exported) m.attr(name) = nb::borrow(type);
  return reinterpret_cast<PyTypeObject*>(type);
}

// The end of a tp_dealloc of these heap types, once the object's members are destroyed: frees
// its memory and the reference it held to its type.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace kestrane::acq_python
