// Statistics of one spectrum's arrays: total intensity, base peak and m/z range, computed the
// same way wherever they are reported (the Python module, the mzML writer, the converter).
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace kestrane::spectrum {

// The sum of the intensities in array order, and the index of the first highest intensity.
struct IntensitySummary {
  double tic = 0.0;
  std::optional<std::size_t> base;  // nullopt when there are no points
};

// IntensitySummary plus the lowest and highest m/z (0 when there are no points).
struct Summary {
  double tic = 0.0;
  std::optional<std::size_t> base;
  double lowest_mz = 0.0;
  double highest_mz = 0.0;
};

// One pass over the intensities. The sum runs in array order, so that every reporter of a TIC
// gives the same bits.
inline IntensitySummary summarise_intensity(std::span<const double> intensity) noexcept {
  IntensitySummary out;
  const std::size_t n = intensity.size();
  std::size_t base = 0;
  for (std::size_t k = 0; k < n; ++k) {
    out.tic += intensity[k];
    if (intensity[k] > intensity[base]) base = k;
  }
  if (n > 0) out.base = base;
  return out;
}

// One pass over both arrays, which have equal lengths.
inline Summary summarise(std::span<const double> mz, std::span<const double> intensity) noexcept {
  Summary out;
  const std::size_t n = mz.size() < intensity.size() ? mz.size() : intensity.size();
  if (n == 0) return out;
  std::size_t base = 0;
  out.lowest_mz = mz[0];
  out.highest_mz = mz[0];
  for (std::size_t k = 0; k < n; ++k) {
    out.tic += intensity[k];
    if (intensity[k] > intensity[base]) base = k;
    if (mz[k] < out.lowest_mz) out.lowest_mz = mz[k];
    if (mz[k] > out.highest_mz) out.highest_mz = mz[k];
  }
  out.base = base;
  return out;
}

// The sum of the intensities whose m/z lies in [low, high], in array order.
inline double window_sum(std::span<const double> mz, std::span<const double> intensity,
                         double low, double high) noexcept {
  const std::size_t n = mz.size() < intensity.size() ? mz.size() : intensity.size();
  double sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) sum += (mz[k] >= low && mz[k] <= high) ? intensity[k] : 0.0;
  return sum;
}

}  // namespace kestrane::spectrum
