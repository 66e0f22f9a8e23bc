// kestrane_acq.SpectrumIterator: the spectra of an Acquisition in index order.
#pragma once

#include <nanobind/nanobind.h>

#include "python/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// An iterator over the spectra of `acquisition`, which `owner` (its Python object) holds; the
// iterator keeps `owner` alive. Shared by threads, it hands each index to one of them; after
// close() its next step raises ValueError.
nb::object make_iterator(nb::handle owner, const Acquisition& acquisition, acq::Prefer prefer);

// Creates the SpectrumIterator type and adds it to the module.
void bind_iterator(nb::module_& m);

}  // namespace kestrane::acq_python
