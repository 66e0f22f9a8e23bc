#include <Python.h>

#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/raw_reader.hpp"
#include "python/spectrum.hpp"

namespace kestrane::python {

namespace {

// Adds the type under `name` and appends the name to the module's __all__, creating the list
// when the module has none yet.
int register_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  PyObject* found = nullptr;
  const int has_all = PyObject_GetOptionalAttrString(module, "__all__", &found);
  if (has_all < 0) return -1;
  PyRef all = PyRef::steal(found);
  if (has_all == 0) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int kestrane_exec(PyObject* module) noexcept {
  return guard<int>(-1, [&] {
    // The type objects are shared by the whole process; a second interpreter would get objects
    // of the main interpreter, so it is refused.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "kestrane does not support subinterpreters");
      return -1;
    }
    if (register_type(module, "RawReader", raw_reader_type()) < 0) return -1;
    if (register_type(module, "Spectrum", spectrum_type()) < 0) return -1;
    return 0;
  });
}

PyModuleDef_Slot kestrane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&kestrane_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kestrane_module = {
    PyModuleDef_HEAD_INIT,
    "kestrane",
    "",
    0,
    nullptr,
    kestrane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kestrane::python

PyMODINIT_FUNC PyInit_kestrane(void) {
  return PyModuleDef_Init(&kestrane::python::kestrane_module);
}
