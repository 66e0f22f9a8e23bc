#include <Python.h>

#include "python/args.hpp"

#include <algorithm>
#include <cstddef>

#include "python/py_ref.hpp"

namespace kestrane::python {

namespace {

Py_ssize_t param_count(const Signature& sig) {
  return static_cast<Py_ssize_t>(sig.params.size());
}

// Check 1: more positional arguments than parameters. Fills the positional slots otherwise.
bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  if (nargs > param_count(sig)) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.full_name, param_count(sig), nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  return true;
}

// Check 2, for one keyword in the order given: it must name a parameter not yet filled.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value,
                  std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, sig.params[i])) {
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                     sig.params[i]);
        return false;
      }
      bound[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name,
               name);
  return false;
}

// Check 3: every parameter filled. Names are listed as the interpreter does: 'a', 'a' and 'b',
// 'a', 'b' and 'c'.
bool check_missing(const Signature& sig, std::span<PyObject*> bound) {
  std::size_t missing = 0;
  for (PyObject* value : bound) missing += value == nullptr ? 1 : 0;
  if (missing == 0) return true;

  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < bound.size(); ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) names += listed + 1 == missing ? (missing > 2 ? ", and " : " and ") : ", ";
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name,
               missing, missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Replaces an exception of exactly TypeError by one naming the parameter; keeps its __cause__.
void name_parameter_in_type_error(const char* param) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc || !Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef replaced = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replaced) return;
  if (PyObject* cause = PyException_GetCause(exc.get())) {
    PyException_SetCause(replaced.get(), cause);  // steals `cause`
  }
  PyErr_SetRaisedException(replaced.release());
}

}  // namespace

bool bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> bound) {
  if (!bind_positional(sig, args, nargs, bound)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
  }
  return check_missing(sig, bound);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> bound) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(sig, nargs == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0), nargs, bound)) {
    return false;
  }
  if (kwargs != nullptr) {
    // The dictionary belongs to this call alone; its order is the order the keywords were given.
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, bound)) return false;
    }
  }
  return check_missing(sig, bound);
}

bool convert_str(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    if (obj == Py_None) {
      PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", "str");
    } else if (PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)))) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                   "str");
    }
    name_parameter_in_type_error(param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    name_parameter_in_type_error(param);
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool convert_index(PyObject* obj, const char* param, std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      name_parameter_in_type_error(param);
      return false;
    }
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_parameter_in_type_error(param);
    return false;
  }
  out = value;
  return true;
}

}  // namespace kestrane::python
