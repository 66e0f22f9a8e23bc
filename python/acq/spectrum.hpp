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

// The numpy arrays of a spectrum are made on first access and kept, so every access returns
// the same object and a spectrum whose arrays are never asked for costs no numpy object.
enum class ArrayKind { mz, intensity, precursor_channel_mz, accumulation_time_sec,
                       counts_per_second, detector_mode };
inline constexpr std::size_t array_kinds = 6;

class Spectrum {
 public:
  // Takes over the arrays of `scan` (no copy).
  explicit Spectrum(DecodedScan&& scan);
  Spectrum(const Spectrum&) = delete;
  Spectrum& operator=(const Spectrum&) = delete;

  std::size_t size() const noexcept { return points_; }
  nb::str repr() const;

  const acq::ScanInfo& info() const noexcept { return info_; }
  // The emitted values: what the arrays point into.
  const acq::Spectrum& values() const noexcept { return *values_; }
  // The numpy array of `kind` (None where the spectrum has no such values); the same object on
  // every call.
  nb::object array(ArrayKind kind) const;

 private:
  nb::object make_array(ArrayKind kind) const;

  acq::ScanInfo info_;
  nb::capsule owner_;             // owns the decoded values
  const acq::Spectrum* values_;   // inside owner_
  std::size_t points_ = 0;
  mutable nb::ft_mutex mutex_;    // guards arrays_ on a free-threaded interpreter
  mutable nb::object arrays_[array_kinds];
};

// Reads scan i without the interpreter (its lock released), into pooled buffers.
DecodedScan decode(const acq::Acquisition& a, std::size_t i, acq::Prefer prefer);
// The Python Spectrum of a decoded scan.
nb::object make_spectrum(DecodedScan&& d);

void bind_spectrum(nb::module_& m);

}  // namespace kestrane::acq_python
