// The statistics every reporter of a spectrum shares: sums in array order, the first highest
// point, NaN as the comparisons leave it, inclusive window bounds.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "src/spectrum/summary.hpp"

namespace kestrane::spectrum {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The same bits, or both NaN.
bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

struct SummaryCase {
  const char* name;
  std::vector<double> mz, intensity;
  double tic;
  std::optional<std::size_t> base;  // of summarise_intensity and of summarise
  double lowest_mz, highest_mz;
};

TEST(SpectrumSummary, Table) {
  const SummaryCase cases[] = {
      {"empty", {}, {}, 0.0, std::nullopt, 0.0, 0.0},
      {"one point", {500.5}, {7.0}, 7.0, 0, 500.5, 500.5},
      {"ties keep the first highest", {3, 1, 2, 4}, {1, 3, 3, 2}, 9.0, 1, 1.0, 4.0},
      // In array order the sum is 1 (1e16 + 1 rounds to 1e16); reversed or pairwise it is 0.
      {"sum in array order", {1, 2, 3, 4}, {1e16, 1.0, -1e16, 1.0}, 1.0, 0, 1.0, 4.0},
      {"a leading NaN stays the base", {1, 2, 3}, {nan, 5.0, 2.0}, nan, 0, 1.0, 3.0},
      {"a later NaN is passed over", {1, 2, 3}, {1.0, nan, 4.0}, nan, 2, 1.0, 3.0},
      {"all negative", {10, 20}, {-3.0, -1.0}, -4.0, 1, 10.0, 20.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const IntensitySummary i = summarise_intensity(c.intensity);
    EXPECT_TRUE(same(i.tic, c.tic)) << i.tic;
    EXPECT_EQ(i.base, c.base);
    const Summary s = summarise(c.mz, c.intensity);
    EXPECT_TRUE(same(s.tic, c.tic)) << s.tic;
    EXPECT_EQ(s.base, c.base);
    EXPECT_EQ(s.lowest_mz, c.lowest_mz);
    EXPECT_EQ(s.highest_mz, c.highest_mz);
  }
}

TEST(SpectrumSummary, WindowSumBoundsAreInclusive) {
  const std::vector<double> mz = {100.0, 200.0, 300.0, 400.0};
  const std::vector<double> intensity = {1.0, 10.0, 100.0, 1000.0};
  struct Row {
    double low, high, sum;
  };
  const Row rows[] = {
      {200.0, 300.0, 110.0},
      {std::nextafter(200.0, 1e9), 300.0, 100.0},
      {200.0, std::nextafter(300.0, 0.0), 10.0},
      {300.0, 300.0, 100.0},
      {0.0, 1e9, 1111.0},
      {301.0, 299.0, 0.0},
      {nan, 1e9, 0.0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "[" << r.low << ", " << r.high << "]");
    EXPECT_EQ(window_sum(mz, intensity, r.low, r.high), r.sum);
  }
  // Unequal lengths: the points both arrays have.
  EXPECT_EQ(window_sum(mz, std::vector<double>{1.0, 10.0}, 0.0, 1e9), 11.0);
  EXPECT_EQ(summarise(std::vector<double>{5.0}, intensity).tic, 1.0);
}

}  // namespace
}  // namespace kestrane::spectrum
