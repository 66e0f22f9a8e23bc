// An owned reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrane::python {

// Owns exactly one reference, or none. A raw PyObject* elsewhere in the binding is borrowed.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  // Takes over a new reference (or nullptr from a failed call).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller, e.g. to a stealing call such as PyList_SET_ITEM.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  void swap(PyRef& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}

  PyObject* p_ = nullptr;
};

}  // namespace kestrane::python
