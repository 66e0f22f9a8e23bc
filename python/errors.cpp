#include <Python.h>

#include "python/errors.hpp"

#include <string>

#include "python/py_ref.hpp"

namespace kestrane::python {

void set_runtime_error(const Error& error) noexcept {
  std::string text;
  try {
    text = error.display();
  } catch (...) {
    PyErr_NoMemory();
    return;
  }
  // Operating-system descriptions come from the C library; never let an odd byte turn the
  // error into a UnicodeDecodeError.
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(PyExc_RuntimeError, message.get());
}

void set_not_initialised(const char* type_name) noexcept {
  PyErr_Format(PyExc_RuntimeError, "%s object is not initialised", type_name);
}

void set_unexpected_exception(const char* what) noexcept {
  if (what != nullptr) {
    PyErr_Format(PyExc_SystemError, "kestrane: unexpected C++ exception: %s", what);
  } else {
    PyErr_SetString(PyExc_SystemError, "kestrane: unexpected C++ exception");
  }
}

}  // namespace kestrane::python
