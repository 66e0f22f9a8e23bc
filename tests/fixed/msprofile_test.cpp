#include "src/raw/msprofile.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/lzf_encoder.hpp"

namespace kestrane::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The expanded payload: a 16-byte header (not interpreted, so not zero here), then one u32 per
// point, then `extra` bytes.
Bytes payload(const std::vector<std::uint32_t>& counts, std::size_t extra = 0) {
  Bytes b;
  for (std::uint8_t i = 0; i < 16; ++i) b.push_back(static_cast<std::uint8_t>(0xa0 + i));
  for (const std::uint32_t v : counts) {
    for (std::size_t i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  b.insert(b.end(), extra, 0xff);
  return b;
}

// A stored block: a 16-byte preamble (not interpreted), then the LZF stream.
Bytes block(const Bytes& stream) {
  Bytes b;
  for (std::uint8_t i = 0; i < 16; ++i) b.push_back(static_cast<std::uint8_t>(0x5a ^ (i * 17)));
  b.insert(b.end(), stream.begin(), stream.end());
  return b;
}

// The payload as literal runs only, the way the worked example stores it.
Bytes literal_block(const Bytes& expanded) {
  Bytes stream;
  test::append_literals(stream, expanded);
  return block(stream);
}

BlockDescriptor profile(std::uint32_t point_count, std::optional<std::uint32_t> uncompressed) {
  BlockDescriptor d;
  d.format_id = 1;
  d.point_count = point_count;
  d.uncompressed_byte_count = uncompressed;
  return d;
}

std::vector<std::uint64_t> bits(std::span<const double> a) {
  std::vector<std::uint64_t> out;
  for (const double v : a) out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}
std::vector<std::uint32_t> bits(std::span<const float> a) {
  std::vector<std::uint32_t> out;
  for (const float v : a) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct ProfileCase {
  const char* name;
  Bytes block;
  BlockDescriptor descriptor;
  double first;
  double last;
  std::vector<double> mz;  // when `message` is empty
  std::vector<float> intensity;
  std::string message;
};

// Test names, not bytes, in failure reports.
void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class DecodeProfileBlockCase : public testing::TestWithParam<ProfileCase> {};

TEST_P(DecodeProfileBlockCase, Decodes) {
  const ProfileCase& c = GetParam();
  const auto got = decode_profile_block(c.block, c.descriptor, c.first, c.last);
  if (!c.message.empty()) {
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), c.message);
    return;
  }
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(bits(got->mz), bits(c.mz));
  EXPECT_EQ(bits(got->intensity), bits(c.intensity));
}

std::vector<ProfileCase> profile_cases() {
  const std::string too_short = "parse error: Decompressed profile block too short for point count";
  const std::string missing = "parse error: Missing UncompressedByteCount for profile block";
  const std::string preamble = "parse error: MSProfile block too short for preamble";

  const Bytes example_payload = payload({0, 7, 16777217});
  const Bytes example = literal_block(example_payload);  // 16 bytes, 0x1b, 28 bytes
  const Bytes example_27 = literal_block(Bytes(example_payload.begin(), example_payload.end() - 1));
  const Bytes twenty = literal_block(Bytes(example_payload.begin(), example_payload.begin() + 20));
  const Bytes malformed = block({0x20, 0x00});
  const Bytes only_preamble = block({});

  return {
      // Preamble first, then the count, both before the point count is looked at.
      {"EmptyBlock", {}, profile(3, 28), 100.0, 101.0, {}, {}, preamble},
      {"FifteenBytes", Bytes(15, 0), profile(3, 28), 100.0, 101.0, {}, {}, preamble},
      {"FifteenBytesNoCount", Bytes(15, 0), profile(0, std::nullopt), 0.0, 0.0, {}, {}, preamble},
      {"NoCount", example, profile(3, std::nullopt), 100.0, 101.0, {}, {}, missing},
      {"NoCountZeroPoints", only_preamble, profile(0, std::nullopt), 0.0, 0.0, {}, {}, missing},
      // No points: the stream is not expanded.
      {"ZeroPoints", only_preamble, profile(0, 28), 100.0, 101.0, {}, {}, ""},
      {"ZeroPointsMalformedStream", malformed, profile(0, 28), 100.0, 101.0, {}, {}, ""},
      {"ZeroPointsLargestCount", only_preamble, profile(0, 4294967295u), 1.0, 2.0, {}, {}, ""},
      // The worked example and its neighbours.
      {"WorkedExample", example, profile(3, 28), 100.0, 101.0, {100.0, 100.5, 101.0},
       {0.0f, 7.0f, 16777216.0f}, ""},
      {"ExpandedOneByteShortOfPoints", example_27, profile(3, 27), 100.0, 101.0, {}, {},
       too_short},
      {"ExpandsShortOfCount", twenty, profile(3, 28), 100.0, 101.0, {}, {},
       "parse error: LZF: decompressed length 20 != expected 28"},
      {"StreamErrorBeforePointCheck", malformed, profile(3, 27), 100.0, 101.0, {}, {},
       "parse error: LZF: invalid back reference"},
      {"EmptyStream", only_preamble, profile(1, 20), 100.0, 101.0, {}, {},
       "parse error: LZF: decompressed length 0 != expected 20"},
      {"CountNoStreamCanReach", example, profile(3, 4294967295u), 100.0, 101.0, {}, {},
       "parse error: LZF: decompressed length 28 != expected 4294967295"},
      {"FewerPointsThanStored", example, profile(2, 28), 100.0, 101.0, {100.0, 101.0},
       {0.0f, 7.0f}, ""},
      {"ExtraPayloadIgnored", literal_block(payload({0, 7, 16777217}, 12)), profile(3, 40), 100.0,
       101.0, {100.0, 100.5, 101.0}, {0.0f, 7.0f, 16777216.0f}, ""},
      // 16 + 4 n wraps to 0 in 32 bits.
      {"WrappingPointCount", literal_block(payload({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                                                    15, 16, 17, 18, 19, 20, 21})),
       profile(0x3ffffffc, 100), 1.0, 2.0, {}, {}, too_short},
      // The axis.
      {"ThirdsOfAUnit", literal_block(payload({1, 2, 3, 4})), profile(4, 32), 200.0, 201.0,
       {200.0, 200.33333333333334, 200.66666666666666, 201.0}, {1.0f, 2.0f, 3.0f, 4.0f}, ""},
      {"OnePointIgnoresLast", literal_block(payload({9})), profile(1, 20), 321.5, nan, {321.5},
       {9.0f}, ""},
      {"OnePointIgnoresInfiniteLast", literal_block(payload({9})), profile(1, 20), 321.5,
       std::numeric_limits<double>::infinity(), {321.5}, {9.0f}, ""},
      {"NoRange", literal_block(payload({1, 0, 2, 0, 3})), profile(5, 36), 0.0, 0.0,
       {0.0, 0.0, 0.0, 0.0, 0.0}, {1.0f, 0.0f, 2.0f, 0.0f, 3.0f}, ""},
      {"Decreasing", literal_block(payload({5, 6, 7})), profile(3, 28), 300.0, 100.0,
       {300.0, 200.0, 100.0}, {5.0f, 6.0f, 7.0f}, ""},
      {"Constant", literal_block(payload({5, 6})), profile(2, 24), 42.0, 42.0, {42.0, 42.0},
       {5.0f, 6.0f}, ""},
      // The last point is (n - 1) step + first, not `last` itself.
      {"LastPointIsComputed", literal_block(payload(std::vector<std::uint32_t>(15, 1))),
       profile(15, 76), 252.271, 2163.823,
       [] {
         std::vector<double> mz(15);
         const double step = (2163.823 - 252.271) / 14.0;
         for (std::size_t k = 0; k < 15; ++k) {
           volatile double product = static_cast<double>(k) * step;
           mz[k] = product + 252.271;
         }
         return mz;
       }(),
       std::vector<float>(15, 1.0f), ""},
  };
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DecodeProfileBlockCase, testing::ValuesIn(profile_cases()),
    [](const testing::TestParamInfo<ProfileCase>& p) { return std::string(p.param.name); });

TEST(DecodeProfileBlock, LastPointDiffersFromTheGivenLast) {
  // Guards the case above: its data do exercise a last value that is not `last`.
  const auto got = decode_profile_block(literal_block(payload(std::vector<std::uint32_t>(15, 1))),
                                        profile(15, 76), 252.271, 2163.823);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_NE(got->mz.back(), 2163.823);
  EXPECT_EQ(got->mz.back(), 2163.8230000000003);
}

TEST(DecodeProfileBlock, CompressedPayloadWithManyPoints) {
  // Mostly zeros with a few peaks, compressed with back references.
  std::vector<std::uint32_t> counts(5000, 0);
  for (std::size_t k = 0; k < counts.size(); ++k) {
    if (k % 700 < 5) counts[k] = static_cast<std::uint32_t>(1000 * (k % 700) + k);
    if (k % 13 == 0) counts[k] = 1;
  }
  const Bytes expanded = payload(counts, 3);
  const Bytes stored = block(test::lzf_encode(expanded));
  ASSERT_LT(stored.size(), expanded.size() / 4);
  const auto n = static_cast<std::uint32_t>(counts.size());
  const auto got = decode_profile_block(stored, profile(n, static_cast<std::uint32_t>(
                                                               expanded.size())),
                                        100.0, 100.0 + 0.5 * (n - 1));
  ASSERT_TRUE(got.has_value()) << got.error().display();
  ASSERT_EQ(got->intensity.size(), counts.size());
  ASSERT_EQ(got->mz.size(), counts.size());
  for (std::size_t k = 0; k < counts.size(); ++k) {
    ASSERT_EQ(got->intensity[k], static_cast<float>(counts[k])) << "point " << k;
    ASSERT_EQ(got->mz[k], 100.0 + 0.5 * static_cast<double>(k)) << "point " << k;
  }
}

TEST(DecodeProfileBlock, ReusedScratchIsNotMistakenForThePayload) {
  // After a large block, the scratch buffer is bigger than a small block's payload; the small
  // block's length check must use its own expanded length.
  std::vector<std::uint8_t> scratch;
  const std::vector<std::uint32_t> many(300, 4);
  const auto big = decode_profile_block(literal_block(payload(many)),
                                        profile(300, 16 + 4 * 300), 1.0, 2.0,
                                        std::pmr::get_default_resource(), scratch);
  ASSERT_TRUE(big.has_value()) << big.error().display();
  EXPECT_EQ(bits(big->intensity), bits(std::vector<float>(300, 4.0f)));

  const Bytes short_payload = payload({1, 2, 3});
  const auto small = decode_profile_block(
      literal_block(Bytes(short_payload.begin(), short_payload.end() - 1)), profile(3, 27), 1.0,
      2.0, std::pmr::get_default_resource(), scratch);
  ASSERT_FALSE(small.has_value());
  EXPECT_EQ(small.error().display(),
            "parse error: Decompressed profile block too short for point count");

  const auto again = decode_profile_block(literal_block(payload({1, 2, 3})), profile(3, 28), 1.0,
                                          2.0, std::pmr::get_default_resource(), scratch);
  ASSERT_TRUE(again.has_value()) << again.error().display();
  EXPECT_EQ(bits(again->intensity), bits(std::vector<float>{1.0f, 2.0f, 3.0f}));
  EXPECT_EQ(bits(again->mz), bits(std::vector<double>{1.0, 1.5, 2.0}));
}

TEST(DecodeProfileBlock, ArraysComeFromTheGivenResource) {
  alignas(16) std::array<std::byte, 4096> storage;
  std::pmr::monotonic_buffer_resource arena(storage.data(), storage.size(),
                                            std::pmr::null_memory_resource());
  const auto got = decode_profile_block(literal_block(payload({1, 2})), profile(2, 24), 1.0, 2.0,
                                        &arena);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  const auto* begin = storage.data();
  const auto* mz = reinterpret_cast<const std::byte*>(got->mz.data());
  const auto* intensity = reinterpret_cast<const std::byte*>(got->intensity.data());
  EXPECT_TRUE(mz >= begin && mz < begin + storage.size());
  EXPECT_TRUE(intensity >= begin && intensity < begin + storage.size());
}

}  // namespace
}  // namespace kestrane::raw
