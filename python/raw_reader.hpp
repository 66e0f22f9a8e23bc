// The RawReader type: one acquisition directory, decoded whole when it is opened.
#pragma once

#include <Python.h>

namespace kestrane::python {

// The type object, created once per process on first use. nullptr with the exception set
// when creating it fails; a later call tries again.
PyTypeObject* raw_reader_type() noexcept;

}  // namespace kestrane::python
