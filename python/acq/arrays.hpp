// Handing C++ arrays to numpy without copying them: the numpy array points into the C++ buffer
// and its base is a capsule that owns the buffer, so the buffer lives exactly as long as some
// array uses it. The arrays are made with numpy's C API (PyArray_New and PyArray_SetBaseObject,
// about 0.1 us each); nanobind's ndarray export goes through numpy.asarray and the buffer
// protocol, several times slower, which showed in every spectrum read.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace kestrane::acq_python {

namespace nb = nanobind;

// Imports numpy's C API; once, when the module is initialised.
void import_numpy();

// A capsule that deletes `owned` (allocated with new) when its last reference goes.
template <class T>
nb::capsule owning_capsule(T* owned) {
  return nb::capsule(owned, [](void* p) noexcept { delete static_cast<T*>(p); });
}

// A 1-d numpy array over data[0..n), kept alive by `owner` (its base), read-only unless
// `writable`. T: double, std::int64_t, std::int32_t, std::uint64_t, std::uint8_t.
// new_numpy_view returns a new reference, or nullptr with the Python error set
// (T: double, std::int32_t); numpy_view raises instead.
template <class T>
PyObject* new_numpy_view(const T* data, std::size_t n, PyObject* owner, bool writable) noexcept;
template <class T>
nb::object numpy_view(const T* data, std::size_t n, nb::handle owner, bool writable);

template <class T>
nb::object readonly_array(const T* data, std::size_t n, nb::handle owner) {
  return numpy_view(data, n, owner, false);
}

// A writable 1-d numpy array that takes over `values`.
template <class T, class Alloc>
nb::object to_numpy(std::vector<T, Alloc>&& values) {
  auto* owned = new std::vector<T, Alloc>(std::move(values));
  nb::capsule owner = owning_capsule(owned);
  return numpy_view<T>(owned->data(), owned->size(), owner, true);
}

// A numpy array of Python objects (str or None), for columns of words: the items of a list, or
// item(i) (a borrowed reference) for i < n.
nb::object object_array(nb::list items);
nb::object object_array(std::size_t n, const std::function<nb::handle(std::size_t)>& item);

// A writable numpy bool array over data[0..n) (bytes 0 or 1), kept alive by `owner`.
nb::object bool_view(const std::uint8_t* data, std::size_t n, nb::handle owner);

}  // namespace kestrane::acq_python
