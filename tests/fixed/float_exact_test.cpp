// Bit-exact arithmetic of the decoders: format 2's division by 100.0, the u32 to f32 rounding of
// profile counts, and the unfused product-then-sum of the profile axis. Each test also checks
// that its data tell the right operation from the plausible wrong one, so that it can fail.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "src/raw/mspeak.hpp"
#include "src/raw/msprofile.hpp"
#include "tests/support/lzf_encoder.hpp"

namespace kestrane::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& out, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u64(Bytes& out, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Computed as the library must: each operation rounded on its own.
double quotient(double x) {
  volatile double v = x;
  return v / 100.0;
}
double product(double x) {
  volatile double v = x;
  return v * 0.01;
}
double unfused(double k, double step, double first) {
  volatile double p = k * step;
  return p + first;
}

Result<DecodedBlock> decode_split(const std::vector<double>& stored) {
  Bytes block;
  for (const double v : stored) put_u64(block, std::bit_cast<std::uint64_t>(v));
  for (std::size_t k = 0; k < stored.size(); ++k) put_u32(block, 0);
  BlockDescriptor d;
  d.format_id = 2;
  d.point_count = static_cast<std::uint32_t>(stored.size());
  return decode_peak_block(block, d);
}

Result<DecodedBlock> decode_counts(const std::vector<std::uint32_t>& counts, double first,
                                   double last) {
  Bytes expanded(16, 0x33);
  for (const std::uint32_t v : counts) put_u32(expanded, v);
  Bytes block(16, 0);
  const Bytes stream = test::lzf_encode(expanded);
  block.insert(block.end(), stream.begin(), stream.end());
  BlockDescriptor d;
  d.format_id = 1;
  d.point_count = static_cast<std::uint32_t>(counts.size());
  d.uncompressed_byte_count = static_cast<std::uint32_t>(expanded.size());
  return decode_profile_block(block, d, first, last);
}

TEST(SplitPeakMz, IsDividedByOneHundredNotMultipliedByOneHundredth) {
  const std::vector<double> chosen = {11.75, 17.25, 34.5, 99999.25, 45678.9, 1e-300};
  for (const double x : chosen) {
    SCOPED_TRACE(x);
    ASSERT_NE(quotient(x), product(x));
  }
  const auto got = decode_split(chosen);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  for (std::size_t k = 0; k < chosen.size(); ++k) {
    SCOPED_TRACE(chosen[k]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got->mz[k]),
              std::bit_cast<std::uint64_t>(quotient(chosen[k])));
  }
}

TEST(SplitPeakMz, SweepOfStoredValuesMatchesTheQuotient) {
  // m/z 100 to about 2100 in steps of 1/400, stored times 100.
  std::vector<double> stored;
  for (int i = 0; i < 80000; ++i) stored.push_back(10000.0 + 2.5 * i + 0.125 * (i % 7));
  const auto got = decode_split(stored);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  std::size_t product_differs = 0;
  for (std::size_t k = 0; k < stored.size(); ++k) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got->mz[k]),
              std::bit_cast<std::uint64_t>(quotient(stored[k])))
        << "stored " << stored[k];
    if (quotient(stored[k]) != product(stored[k])) ++product_differs;
  }
  EXPECT_GT(product_differs, 100u);
}

TEST(ProfileIntensity, RoundsToNearestSingleTiesToEven) {
  struct Case {
    std::uint32_t count;
    float expected;
  };
  const Case cases[] = {
      {0, 0.0f},
      {1, 1.0f},
      {16777215, 16777215.0f},
      {16777216, 16777216.0f},
      {16777217, 16777216.0f},  // halfway, to the even 2^24
      {16777218, 16777218.0f},
      {16777219, 16777220.0f},  // halfway, to the even 16777220
      {16777221, 16777220.0f},  // halfway, down to the even neighbour
      {16777223, 16777224.0f},
      {33554433, 33554432.0f},  // below halfway at spacing 4
      {33554434, 33554432.0f},  // halfway, to the even 2^25
      {33554438, 33554440.0f},  // halfway, up to the even neighbour
      {33554439, 33554440.0f},
      {2147483647, 2147483648.0f},
      {2147483648u, 2147483648.0f},
      {4294967040u, 4294967040.0f},  // the largest single below 2^32
      {4294967167u, 4294967040.0f},  // just below halfway
      {4294967168u, 4294967296.0f},  // halfway, to the even 2^32
      {4294967295u, 4294967296.0f},
  };
  std::vector<std::uint32_t> counts;
  for (const Case& c : cases) counts.push_back(c.count);
  const auto got = decode_counts(counts, 1.0, 2.0);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].count);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got->intensity[k]),
              std::bit_cast<std::uint32_t>(cases[k].expected));
  }
}

TEST(ProfileAxis, IsAProductThenASumNeverFused) {
  // Data for which fma(k, step, first) and the rounded product plus first differ at many k.
  const double first = 100.1;
  const double last = 1999.7;
  const std::uint32_t n = 1000;
  const double step = (last - first) / static_cast<double>(n - 1);

  const auto got = decode_counts(std::vector<std::uint32_t>(n, 1), first, last);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  ASSERT_EQ(got->mz.size(), n);
  std::size_t fused_differs = 0;
  for (std::uint32_t k = 0; k < n; ++k) {
    const double kd = static_cast<double>(k);
    const double expected = unfused(kd, step, first);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got->mz[k]), std::bit_cast<std::uint64_t>(expected))
        << "point " << k;
    if (std::fma(kd, step, first) != expected) {
      ++fused_differs;
      EXPECT_NE(got->mz[k], std::fma(kd, step, first)) << "point " << k;
    }
  }
  EXPECT_GT(fused_differs, 100u);
}

TEST(ProfileAxis, StepIsTheDifferenceDividedByTheIntervals) {
  // A reciprocal product and separate quotients each give another axis for these data.
  const double first = 261.155;
  const double last = 1921.883;
  const std::uint32_t n = 492;
  const double intervals = static_cast<double>(n - 1);
  const auto axis = [&](double step) {
    std::vector<double> mz;
    for (std::uint32_t k = 0; k < n; ++k) {
      mz.push_back(unfused(static_cast<double>(k), step, first));
    }
    return mz;
  };
  volatile double reciprocal = 1.0 / intervals;
  volatile double first_part = first / intervals;
  const std::vector<double> expected = axis((last - first) / intervals);
  ASSERT_NE(axis((last - first) * reciprocal), expected);
  ASSERT_NE(axis(last / intervals - first_part), expected);

  const auto got = decode_counts(std::vector<std::uint32_t>(n, 0), first, last);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  ASSERT_EQ(got->mz.size(), n);
  for (std::uint32_t k = 0; k < n; ++k) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got->mz[k]), std::bit_cast<std::uint64_t>(expected[k]))
        << "point " << k;
  }
}

}  // namespace
}  // namespace kestrane::raw
