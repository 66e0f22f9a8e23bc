// kestrane_acq._core.point_batch: the points of many spectra, decoded on C++ threads into three
// contiguous columns and handed to Arrow (pyarrow, DuckDB, Polars) without a copy through the
// Arrow C data interface (the PyCapsule protocol, __arrow_c_array__).
#pragma once

#include <nanobind/nanobind.h>

namespace kestrane::acq_python {

namespace nb = nanobind;

void bind_arrow(nb::module_& m);

}  // namespace kestrane::acq_python
