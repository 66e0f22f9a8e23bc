#include "src/raw/mspeak.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <ostream>
#include <string>
#include <vector>

namespace kestrane::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void put(Bytes& out, T value) {
  using U = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  const U u = std::bit_cast<U>(value);
  for (std::size_t i = 0; i < sizeof u; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}

// Format 3: (m/z, intensity) pairs interleaved.
Bytes interleaved(const std::vector<double>& mz, const std::vector<float>& intensity) {
  Bytes b;
  for (std::size_t k = 0; k < mz.size(); ++k) {
    put(b, mz[k]);
    put(b, intensity[k]);
  }
  return b;
}

// Format 2: all m/z values (as stored, i.e. times 100), then all intensities.
Bytes split(const std::vector<double>& stored_mz, const std::vector<float>& intensity) {
  Bytes b;
  for (const double v : stored_mz) put(b, v);
  for (const float v : intensity) put(b, v);
  return b;
}

BlockDescriptor peak(std::uint32_t format_id, std::uint32_t point_count) {
  BlockDescriptor d;
  d.format_id = format_id;
  d.point_count = point_count;
  d.byte_count = 12 * point_count;
  return d;
}

std::vector<std::uint64_t> bits(const vornelle_core::Array<double>& a) {
  std::vector<std::uint64_t> out;
  for (const double v : a) out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}
std::vector<std::uint32_t> bits(const vornelle_core::Array<float>& a) {
  std::vector<std::uint32_t> out;
  for (const float v : a) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}
std::vector<std::uint64_t> bits(const std::vector<double>& a) {
  std::vector<std::uint64_t> out;
  for (const double v : a) out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}
std::vector<std::uint32_t> bits(const std::vector<float>& a) {
  std::vector<std::uint32_t> out;
  for (const float v : a) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

struct PeakCase {
  const char* name;
  std::uint32_t format_id;
  std::uint32_t point_count;
  Bytes block;
  std::vector<double> mz;  // when `message` is empty
  std::vector<float> intensity;
  std::string message;
};

// Test names, not bytes, in failure reports.
void PrintTo(const PeakCase& c, std::ostream* os) { *os << c.name; }

class DecodePeakBlockCase : public testing::TestWithParam<PeakCase> {};

TEST_P(DecodePeakBlockCase, Decodes) {
  const PeakCase& c = GetParam();
  const BlockDescriptor d = peak(c.format_id, c.point_count);
  const auto got = decode_peak_block(c.block, d);
  if (!c.message.empty()) {
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), c.message);
    return;
  }
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(bits(got->mz), bits(c.mz));
  EXPECT_EQ(bits(got->intensity), bits(c.intensity));
}

Bytes with_extra(Bytes b, std::size_t extra, std::uint8_t fill) {
  b.insert(b.end(), extra, fill);
  return b;
}
Bytes without_last(Bytes b) {
  b.pop_back();
  return b;
}

std::vector<PeakCase> peak_cases() {
  const std::string truncated = "parse error: Truncated MSPeak.bin block";
  const std::vector<double> mz3 = {100.5, 250.125, 999.0};
  const std::vector<float> in3 = {1.0f, 0.0f, 12345.5f};
  const std::vector<double> stored3 = {10050.0, 25012.5, 99900.0};
  const Bytes fmt3 = interleaved(mz3, in3);
  const Bytes fmt2 = split(stored3, in3);
  // n wraps to 8 when 12 n is formed in 32 bits.
  const std::uint32_t wrapping_n = 0x15555556;

  return {
      {"EmptyFormat2", 2, 0, {}, {}, {}, ""},
      {"EmptyFormat3", 3, 0, {}, {}, {}, ""},
      {"EmptyFormat3IgnoresBytes", 3, 0, fmt3, {}, {}, ""},
      {"EmptyUnknownFormat", 5, 0, {}, {}, {}, "parse error: Unknown peak format ID: 5"},
      {"FormatZero", 0, 1, Bytes(12), {}, {}, "parse error: Unknown peak format ID: 0"},
      {"FormatProfile", 1, 1, Bytes(12), {}, {}, "parse error: Unknown peak format ID: 1"},
      {"FormatSeven", 7, 1, Bytes(12), {}, {}, "parse error: Unknown peak format ID: 7"},
      {"FormatLargest", 4294967295u, 1, Bytes(12), {}, {},
       "parse error: Unknown peak format ID: 4294967295"},
      {"FormatBeforeLength", 4, 3, Bytes(5), {}, {}, "parse error: Unknown peak format ID: 4"},
      {"Interleaved", 3, 1, interleaved({500.25}, {1000.0f}), {500.25}, {1000.0f}, ""},
      {"Split", 2, 2, split({525.0, 650.0}, {1.5f, 2.5f}), {5.25, 6.5}, {1.5f, 2.5f}, ""},
      {"InterleavedThree", 3, 3, fmt3, mz3, in3, ""},
      {"SplitThree", 2, 3, fmt2, mz3, in3, ""},
      {"InterleavedOneByteShort", 3, 3, without_last(fmt3), {}, {}, truncated},
      {"SplitOneByteShort", 2, 3, without_last(fmt2), {}, {}, truncated},
      {"InterleavedEmptyBlock", 3, 1, {}, {}, {}, truncated},
      {"SplitEmptyBlock", 2, 1, {}, {}, {}, truncated},
      // Trailing bytes after 12 n are never read.
      {"InterleavedExtraIgnored", 3, 3, with_extra(fmt3, 100, 0xff), mz3, in3, ""},
      {"SplitExtraIgnored", 2, 3, with_extra(fmt2, 100, 0xff), mz3, in3, ""},
      // Fewer points than stored: format 2 takes the intensities at 8 n, here the bytes of 300.0.
      {"SplitFewerPointsThanStored", 2, 2, split({100.0, 200.0, 300.0}, {1.0f, 2.0f, 3.0f}),
       {1.0, 2.0}, {0.0f, std::bit_cast<float>(std::uint32_t{0x4072c000})}, ""},
      {"InterleavedWrappingCount", 3, wrapping_n, Bytes(12), {}, {}, truncated},
      {"SplitWrappingCount", 2, wrapping_n, Bytes(12), {}, {}, truncated},
      {"LargestCount", 3, 4294967295u, Bytes(1000), {}, {}, truncated},
  };
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DecodePeakBlockCase, testing::ValuesIn(peak_cases()),
    [](const testing::TestParamInfo<PeakCase>& p) { return std::string(p.param.name); });

TEST(DecodePeakBlock, TwelveBytesPerPointExactlyFor1To40Points) {
  for (const std::uint32_t format : {2u, 3u}) {
    for (std::uint32_t n = 1; n <= 40; ++n) {
      SCOPED_TRACE(testing::Message() << "format " << format << ", n " << n);
      std::vector<double> stored(n);
      std::vector<float> intensity(n);
      for (std::uint32_t k = 0; k < n; ++k) {
        stored[k] = 1000.0 * (k + 1) + 0.5;
        intensity[k] = static_cast<float>(k) * 2.0f;
      }
      const Bytes block = format == 3 ? interleaved(stored, intensity) : split(stored, intensity);
      ASSERT_EQ(block.size(), 12u * n);
      const std::span<const std::uint8_t> all(block);
      const auto exact = decode_peak_block(all, peak(format, n));
      ASSERT_TRUE(exact.has_value()) << exact.error().display();
      EXPECT_EQ(exact->mz.size(), n);
      EXPECT_EQ(exact->intensity.size(), n);
      EXPECT_EQ(bits(exact->intensity), bits(intensity));
      const auto short_by_one = decode_peak_block(all.first(block.size() - 1), peak(format, n));
      ASSERT_FALSE(short_by_one.has_value());
      EXPECT_EQ(short_by_one.error().display(), "parse error: Truncated MSPeak.bin block");
    }
  }
}

TEST(DecodePeakBlock, SpecialValuesPassThroughBitForBit) {
  const double nan_payload = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
  const double neg_nan = std::bit_cast<double>(std::uint64_t{0xfff0000000000abc});  // signalling
  const std::vector<double> mz = {nan_payload,
                                  neg_nan,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  -0.0,
                                  -123.456,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::max()};
  const std::vector<float> intensity = {std::bit_cast<float>(std::uint32_t{0x7fc00123}),
                                        std::bit_cast<float>(std::uint32_t{0xff800001}),
                                        std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(),
                                        -0.0f,
                                        -5.5f,
                                        std::numeric_limits<float>::denorm_min(),
                                        0.0f};
  const auto n = static_cast<std::uint32_t>(mz.size());

  const auto three = decode_peak_block(interleaved(mz, intensity), peak(3, n));
  ASSERT_TRUE(three.has_value()) << three.error().display();
  EXPECT_EQ(bits(three->mz), bits(mz));
  EXPECT_EQ(bits(three->intensity), bits(intensity));

  // Format 2 divides each m/z by 100.0, and nothing else: no test, clip or reorder.
  const auto two = decode_peak_block(split(mz, intensity), peak(2, n));
  ASSERT_TRUE(two.has_value()) << two.error().display();
  std::vector<double> divided;
  for (const double v : mz) {
    volatile double x = v;
    divided.push_back(x / 100.0);
  }
  EXPECT_EQ(bits(two->mz), bits(divided));
  EXPECT_EQ(bits(two->intensity), bits(intensity));
  EXPECT_TRUE(std::isnan(two->mz[0]));
  EXPECT_TRUE(std::signbit(two->mz[4]));
}

TEST(DecodePeakBlock, ArraysComeFromTheGivenResource) {
  alignas(16) std::array<std::byte, 4096> storage;
  std::pmr::monotonic_buffer_resource arena(storage.data(), storage.size(),
                                            std::pmr::null_memory_resource());
  const auto got = decode_peak_block(interleaved({1.0, 2.0}, {3.0f, 4.0f}), peak(3, 2), &arena);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  const auto* begin = reinterpret_cast<const std::byte*>(storage.data());
  const auto* mz = reinterpret_cast<const std::byte*>(got->mz.data());
  const auto* intensity = reinterpret_cast<const std::byte*>(got->intensity.data());
  EXPECT_TRUE(mz >= begin && mz < begin + storage.size());
  EXPECT_TRUE(intensity >= begin && intensity < begin + storage.size());
  EXPECT_EQ(bits(got->mz), bits(std::vector<double>{1.0, 2.0}));
}

}  // namespace
}  // namespace kestrane::raw
