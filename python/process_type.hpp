// Heap types of the binding's modules: made once per process, on first request, and shared by
// every module object; instances made and freed without the type's Python-level machinery.
#pragma once

#include <Python.h>

#include <atomic>

namespace kestrane::python {

class ProcessType {
 public:
  explicit constexpr ProcessType(PyType_Spec* spec) noexcept : spec_(spec) {}
  ProcessType(const ProcessType&) = delete;
  ProcessType& operator=(const ProcessType&) = delete;

  // The type, or nullptr with the exception of a failed creation set; a later call retries.
  // PyMutex_Lock detaches the thread state while it waits, so a thread blocked here never holds
  // up one that needs the interpreter lock to finish creating the type.
  PyTypeObject* get() noexcept {
    if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
    PyMutex_Lock(&creating_);
    PyTypeObject* t = type_.load(std::memory_order_relaxed);
    if (t == nullptr) {
      t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec_));
      type_.store(t, std::memory_order_release);
    }
    PyMutex_Unlock(&creating_);
    return t;
  }

 private:
  PyType_Spec* spec_;
  std::atomic<PyTypeObject*> type_{nullptr};
  PyMutex creating_{};
};

// A new, empty instance of `type`, allocated through object's tp_new (and so the type's
// tp_alloc) with no arguments; nullptr with the exception set on failure.
inline PyObject* new_instance(PyTypeObject* type) noexcept {
  PyObject* no_args = PyTuple_New(0);
  if (no_args == nullptr) return nullptr;
  PyObject* self = PyBaseObject_Type.tp_new(type, no_args, nullptr);
  Py_DECREF(no_args);
  return self;
}

// The end of a tp_dealloc, once the object's C++ members are destroyed: frees its memory and
// the reference that a heap type's instance holds to its type.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace kestrane::python
