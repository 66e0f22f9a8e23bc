// Handing C++ arrays to numpy without copying them: the numpy array points into the C++ buffer
// and holds a capsule that owns it, so the buffer lives exactly as long as some array uses it.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrane::acq_python {

namespace nb = nanobind;

// A capsule that deletes `owned` (allocated with new) when its last reference goes.
template <class T>
nb::capsule owning_capsule(T* owned) {
  return nb::capsule(owned, [](void* p) noexcept { delete static_cast<T*>(p); });
}

// A read-only 1-d numpy array over data[0..n), kept alive by `owner`.
template <class T>
nb::object readonly_array(const T* data, std::size_t n, nb::handle owner) {
  return nb::ndarray<nb::numpy, const T, nb::ndim<1>>(data, {n}, owner).cast();
}

// A writable 1-d numpy array that takes over `values`.
template <class T, class Alloc>
nb::object to_numpy(std::vector<T, Alloc>&& values) {
  auto* owned = new std::vector<T, Alloc>(std::move(values));
  nb::capsule owner = owning_capsule(owned);
  return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner).cast();
}

// A numpy array of Python objects (str or None), for columns of words.
nb::object object_array(nb::list items);

}  // namespace kestrane::acq_python
