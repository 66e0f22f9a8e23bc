#include "python/acq/arrays.hpp"

// numpy's C API table lives in this file only.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestrane_acq_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstddef>

namespace kestrane::acq_python {

namespace {

template <class T>
constexpr int type_number() {
  if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
  if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
  if constexpr (std::is_same_v<T, std::uint64_t>) return NPY_UINT64;
  if constexpr (std::is_same_v<T, std::int32_t>) return NPY_INT32;
  if constexpr (std::is_same_v<T, std::uint8_t>) return NPY_UINT8;
}

// A 1-d array of `n` items of numpy type `type` (`item_size` bytes each) over `data`, its base
// `owner`; a new reference, or nullptr with the Python error set.
PyObject* view_of(const void* data, std::size_t n, int type, std::size_t item_size,
                  PyObject* owner, bool writable) noexcept {
  npy_intp shape[1] = {static_cast<npy_intp>(n)};
  // An empty vector may have no buffer; numpy wants one, even for no elements.
  alignas(std::max_align_t) static const unsigned char empty[sizeof(std::max_align_t)] = {};
  void* base = const_cast<void*>(n == 0 || data == nullptr ? empty : data);
  const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED |
                    (writable && n > 0 ? NPY_ARRAY_WRITEABLE : 0);
  PyObject* array = PyArray_New(&PyArray_Type, 1, shape, type, nullptr, base,
                                static_cast<int>(item_size), flags, nullptr);
  if (array == nullptr) return nullptr;
  // The array takes over a reference to its owner (and drops it itself if this fails).
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), Py_NewRef(owner)) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace

void import_numpy() {
  if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
}

template <class T>
PyObject* new_numpy_view(const T* data, std::size_t n, PyObject* owner, bool writable) noexcept {
  return view_of(data, n, type_number<T>(), sizeof(T), owner, writable);
}

template <class T>
nb::object numpy_view(const T* data, std::size_t n, nb::handle owner, bool writable) {
  PyObject* array = new_numpy_view(data, n, owner.ptr(), writable);
  if (array == nullptr) throw nb::python_error();
  return nb::steal(array);
}

template PyObject* new_numpy_view(const double*, std::size_t, PyObject*, bool) noexcept;
template PyObject* new_numpy_view(const std::int32_t*, std::size_t, PyObject*, bool) noexcept;
template nb::object numpy_view(const double*, std::size_t, nb::handle, bool);
template nb::object numpy_view(const std::int64_t*, std::size_t, nb::handle, bool);
template nb::object numpy_view(const std::uint64_t*, std::size_t, nb::handle, bool);
template nb::object numpy_view(const std::int32_t*, std::size_t, nb::handle, bool);
template nb::object numpy_view(const std::uint8_t*, std::size_t, nb::handle, bool);

nb::object object_array(std::size_t n, const std::function<nb::handle(std::size_t)>& item) {
  npy_intp shape[1] = {static_cast<npy_intp>(n)};
  PyObject* array = PyArray_SimpleNew(1, shape, NPY_OBJECT);
  if (array == nullptr) throw nb::python_error();
  nb::object result = nb::steal(array);
  auto* slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* previous = slots[i];
    slots[i] = Py_NewRef(item(i).ptr());
    Py_XDECREF(previous);
  }
  return result;
}

nb::object object_array(nb::list items) {
  // Filled item by item: numpy's conversion of a list inspects every item for its type first.
  return object_array(static_cast<std::size_t>(PyList_GET_SIZE(items.ptr())),
                      [&](std::size_t i) {
                        return nb::handle(PyList_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i)));
                      });
}

nb::object bool_view(const std::uint8_t* data, std::size_t n, nb::handle owner) {
  PyObject* array = view_of(data, n, NPY_BOOL, 1, owner.ptr(), true);
  if (array == nullptr) throw nb::python_error();
  return nb::steal(array);
}

}  // namespace kestrane::acq_python
