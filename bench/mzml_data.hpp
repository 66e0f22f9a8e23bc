// Generated time-of-flight spectra for the mzML benchmarks: a shared m/z axis of smooth,
// increasing 64-bit values (square of a linear flight time, as a calibration gives), and counts
// with many zeros, peaks a few points wide over a sparse noise floor.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace kestrane::bench {

inline std::vector<double> tof_mz_axis(std::size_t points) {
  std::vector<double> mz(points);
  const double a = std::sqrt(50.0);
  const double b = (std::sqrt(3000.0) - a) / static_cast<double>(points);
  for (std::size_t i = 0; i < points; ++i) {
    const double t = a + b * static_cast<double>(i);
    mz[i] = t * t;
  }
  return mz;
}

inline std::vector<double> tof_counts(std::size_t points, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> counts(points, 0.0);
  // Sparse detector noise: single counts on about one point in eight.
  std::bernoulli_distribution noise(0.125);
  std::geometric_distribution<int> small(0.6);
  for (double& c : counts) {
    if (noise(rng)) c = 1 + small(rng);
  }
  // Peaks: about one per 400 points, 6 to 14 points wide, heights spread over four decades.
  std::uniform_int_distribution<std::size_t> where(0, points - 1);
  std::uniform_real_distribution<double> width(1.5, 3.5);
  std::uniform_real_distribution<double> decades(1.0, 4.5);
  for (std::size_t p = 0; p < points / 400; ++p) {
    const std::size_t centre = where(rng);
    const double sigma = width(rng);
    const double height = std::pow(10.0, decades(rng));
    const auto span = static_cast<std::ptrdiff_t>(3 * sigma);
    for (std::ptrdiff_t k = -span; k <= span; ++k) {
      const auto i = static_cast<std::ptrdiff_t>(centre) + k;
      if (i < 0 || i >= static_cast<std::ptrdiff_t>(points)) continue;
      const double z = static_cast<double>(k) / sigma;
      const double expected = height * std::exp(-0.5 * z * z);
      std::poisson_distribution<int> counted(expected);
      counts[static_cast<std::size_t>(i)] += counted(rng);
    }
  }
  return counts;
}

}  // namespace kestrane::bench
