// Synthetic payloads for the benchmarks: profile intensities that look like real scans, sparse
// scans with long zero runs, and incompressible bytes, with their LZF streams.
#pragma once

#include <lzf.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace kestrane::bench {

// A 16-byte header and `points` u32 intensities: about 55% zero points in short runs, a noise
// floor of small values, and sparse Gaussian peaks up to about 1e7.
inline std::vector<std::uint8_t> profile_payload(std::size_t points, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> signal(points, 0.0);
  const std::size_t peaks = points / 400 + 1;
  for (std::size_t p = 0; p < peaks; ++p) {
    const double centre = unit(rng) * static_cast<double>(points);
    const double height = std::pow(10.0, 2.0 + 5.0 * unit(rng));
    const double width = 1.5 + 4.0 * unit(rng);
    const auto lo = static_cast<std::ptrdiff_t>(centre - 5 * width);
    const auto hi = static_cast<std::ptrdiff_t>(centre + 5 * width);
    for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(lo, 0);
         k < std::min<std::ptrdiff_t>(hi, static_cast<std::ptrdiff_t>(points)); ++k) {
      const double d = (static_cast<double>(k) - centre) / width;
      signal[static_cast<std::size_t>(k)] += height * std::exp(-0.5 * d * d);
    }
  }
  std::vector<std::uint8_t> payload(16 + 4 * points, 0);
  bool zero_run = false;
  for (std::size_t k = 0; k < points; ++k) {
    // Zero runs of a few points alternate with noise; peaks override both.
    if (unit(rng) < (zero_run ? 0.25 : 0.3)) zero_run = !zero_run;
    std::uint32_t v = zero_run ? 0 : static_cast<std::uint32_t>(20 + unit(rng) * 180);
    if (signal[k] > 50) v = static_cast<std::uint32_t>(signal[k] + unit(rng) * 40);
    std::memcpy(&payload[16 + 4 * k], &v, 4);
  }
  return payload;
}

// Mostly zeros: a few short bursts in long silent stretches.
inline std::vector<std::uint8_t> sparse_payload(std::size_t points, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> payload(16 + 4 * points, 0);
  for (std::size_t k = 0; k < points; k += 500 + rng() % 1500) {
    for (std::size_t j = k; j < std::min(points, k + 8); ++j) {
      const auto v = static_cast<std::uint32_t>(1000 + rng() % 100000);
      std::memcpy(&payload[16 + 4 * j], &v, 4);
    }
  }
  return payload;
}

inline std::vector<std::uint8_t> random_payload(std::size_t bytes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> payload(bytes);
  for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
  return payload;
}

// liblzf's stream for `data`, or a literal-only stream where liblzf finds no gain.
inline std::vector<std::uint8_t> lzf_stream(const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(data.size() + data.size() / 16 + 64);
  const unsigned n = lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(),
                                  static_cast<unsigned>(out.size()));
  if (n > 0) {
    out.resize(n);
    return out;
  }
  out.clear();
  for (std::size_t i = 0; i < data.size(); i += 32) {
    const std::size_t run = std::min<std::size_t>(32, data.size() - i);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
               data.begin() + static_cast<std::ptrdiff_t>(i + run));
  }
  return out;
}

}  // namespace kestrane::bench
