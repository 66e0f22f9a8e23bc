// kestrane_acq.Spectrum: one emitted spectrum, its arrays handed to numpy without a copy.
//
// Spectrum and its iterator are plain CPython types rather than nanobind classes: a loop over
// a run makes one Spectrum per scan and reads two or three attributes of each, and for the
// small spectra of ICP and SIM runs the generic machinery (method lookup behind every slot,
// argument dispatch, the instance registry) costs more than decoding the scan.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// A decoded scan ready to become a Python object (made without the interpreter).
struct DecodedScan {
  acq::Spectrum spectrum;
  acq::ScanInfo info;
};

// Reads scan i into kept buffers, releasing the interpreter unless the scan is small.
DecodedScan decode(const acq::Acquisition& a, std::size_t i, acq::Prefer prefer);
// The Python Spectrum of a decoded scan; it takes over the arrays (no copy).
nb::object make_spectrum(DecodedScan&& d);

// Creates the Spectrum type and adds it to the module.
void bind_spectrum(nb::module_& m);

}  // namespace kestrane::acq_python
