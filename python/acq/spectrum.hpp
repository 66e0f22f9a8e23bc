// kestrane_acq.Spectrum: one emitted spectrum, its arrays handed to numpy without a copy.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// Computed from the emitted arrays on demand: the sum of the
// intensities in array order, and the first highest point.
struct SpectrumSummary {
  double tic = 0.0;
  std::optional<std::size_t> base;
};

SpectrumSummary summarise(const acq::Spectrum& s) noexcept;

// A decoded scan ready to become a Python object (made without the interpreter).
struct DecodedScan {
  acq::Spectrum spectrum;
  acq::ScanInfo info;
};

class Spectrum {
 public:
  // Takes over the arrays of `scan` (no copy); needs the interpreter (makes the numpy arrays).
  explicit Spectrum(DecodedScan&& scan);

  std::size_t size() const noexcept { return points_; }
  nb::str repr() const;

  const acq::ScanInfo& info() const noexcept { return info_; }
  // The emitted values: what the arrays point into.
  const acq::Spectrum& values() const noexcept { return *values_; }
  nb::object mz, intensity, precursor_channel_mz, accumulation_time_sec, counts_per_second,
      detector_mode;

 private:
  acq::ScanInfo info_;
  const acq::Spectrum* values_;  // owned by the arrays' capsule, which `mz` keeps alive
  std::size_t points_ = 0;
};

void bind_spectrum(nb::module_& m);

}  // namespace kestrane::acq_python
