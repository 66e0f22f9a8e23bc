// Helpers of the types written directly against the CPython API (Spectrum, SpectrumIterator):
// their slots are called by the interpreter, so no C++ exception may leave them.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>
#include <string_view>

#include "python/process_type.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

using python::free_instance;
using python::ProcessType;

// Runs `body` and returns its result, or `on_error` with the Python error set when a C++
// exception leaves it: a nanobind error carries its Python exception (restored as it is), the
// builtin ones raised by the methods (value_error, ...) become their Python types, std::bad_alloc
// MemoryError and anything else RuntimeError, as nanobind translates the exceptions of the
// methods it binds. (The kestrane module's guard, python/errors.hpp, raises SystemError for
// every other exception: that module has no nanobind exceptions and a fixed set of messages.)
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
  try {
    return body();
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
  return on_error;
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

// Makes `type` (once per process) and adds it to `m` under `name` when `exported`; the type,
// for the module's fast paths. Raises the error of a failed creation.
inline PyTypeObject* add_type(nb::module_& m, ProcessType& type, const char* name,
                              bool exported) {
  PyTypeObject* made = type.get();
  if (made == nullptr) throw nb::python_error();
  if (exported) m.attr(name) = nb::handle(reinterpret_cast<PyObject*>(made));
  return made;
}

}  // namespace kestrane::acq_python
