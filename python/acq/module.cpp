// kestrane_acq._core: the reader of self-describing acquisition directories for Python.
#include <nanobind/nanobind.h>

#include "python/acq/acquisition.hpp"
#include "python/acq/arrays.hpp"
#include "python/acq/arrow.hpp"
#include "python/acq/convert.hpp"
#include "python/acq/errors.hpp"
#include "python/acq/iterator.hpp"
#include "python/acq/spectrum.hpp"

NB_MODULE(_core, m) {
  m.doc() = "The compiled part of kestrane_acq; use the kestrane_acq package.";
  kestrane::acq_python::import_numpy();
  kestrane::acq_python::add_format_error(m);
  kestrane::acq_python::bind_spectrum(m);
  kestrane::acq_python::bind_iterator(m);
  kestrane::acq_python::bind_conversion_summary(m);
  kestrane::acq_python::bind_acquisition(m);
  kestrane::acq_python::bind_arrow(m);
}
