// The Spectrum type: one decoded spectrum, owned by Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace kestrane::python {

// The type object, created once per process on first use. nullptr with the exception set
// when creating it fails; a later call tries again.
PyTypeObject* spectrum_type() noexcept;

// A new Spectrum owning `mz` and `intensity`; nullptr with the exception set on failure (the
// arrays are then released).
PyObject* spectrum_new(std::vector<double> mz, std::vector<float> intensity,
                       double retention_time_sec, std::uint32_t ms_level) noexcept;

}  // namespace kestrane::python
