// The block decoders over bytes made by the builders, and the format-table classification.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "src/acq/codecs.hpp"
#include "tests/support/acq_builders.hpp"

namespace kestrane::acq {
namespace {

using acq_test::Bytes;

std::vector<std::int32_t> as_counts(const DoubleArray& a) {
  std::vector<std::int32_t> out;
  for (const double v : a) out.push_back(static_cast<std::int32_t>(v));
  return out;
}

struct RunLengthCase {
  const char* name;
  std::vector<std::int32_t> counts;
  acq_test::RunLengthStyle style;
};

TEST(RunLengthDecode, RoundTripsEveryTokenKind) {
  std::vector<std::int32_t> long_mix, at_limit, past_limit;
  for (int k = 0; k < 300; ++k) long_mix.push_back(k % 37 == 0 ? 70000 : (k * 97) % 400);
  // Counts about 2^24, the largest below which float32 holds every integer, in pieces and in
  // the tail: 2^24 + 1 rounds to 2^24 in float32.
  for (int k = 0; k < 200; ++k) at_limit.push_back(k % 5 == 0 ? 1 << 24 : k);
  past_limit = at_limit;
  past_limit[120] = (1 << 24) + 1;
  const RunLengthCase cases[] = {
      {"width switches 1-2-4-1", {5, 200, 40000, 7, 127, 128, 32767, 32768}, {}},
      {"leading and trailing zeros", {0, 0, 0, 9, 300, 0, 0}, {}},
      {"zero runs as skips", {3, 0, 0, 0, 0, 0, 600, 0, 0, 0, 2, 0, 0, 0, 0}, {true, true, true}},
      {"long zero run at width 1 needs several skips", std::vector<std::int32_t>(100, 0), {true, false, false}},
      {"no leading zero count, zeros as literals", {0, 0, 1}, {false, false, false}},
      {"all zeros, no tokens", {0, 0, 0, 0}, {}},
      {"16 points a byte: 384 zeros from the head alone", std::vector<std::int32_t>(384, 0), {}},
      {"no points", {}, {}},
      {"literal-only words and a tail", long_mix, {}},
      {"counts of 2^24", at_limit, {}},
      {"a count of 2^24 + 1", past_limit, {}},
      {"a count of 2^24 + 1 in the tail", {3, 5, (1 << 24) + 1}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes block = acq_test::run_length_block(1000.0, 0.25, c.counts, c.style);
    DoubleArray out;
    const auto axis = decode_run_length(block, c.counts.size(), out);
    ASSERT_TRUE(axis) << axis.error().display();
    EXPECT_EQ(axis->start, 1000.0);
    EXPECT_EQ(axis->step, 0.25);
    EXPECT_EQ(as_counts(out), c.counts);
    // As float32: the same counts, exact unless one lies above 2^24.
    FloatArray narrow;
    bool exact = false;
    ASSERT_TRUE(decode_run_length(block, c.counts.size(), narrow, exact));
    EXPECT_EQ(exact, std::ranges::all_of(c.counts, [](std::int32_t v) { return v <= 1 << 24; }));
    ASSERT_EQ(narrow.size(), out.size());
    for (std::size_t k = 0; k < out.size(); ++k) {
      EXPECT_EQ(narrow[k], static_cast<float>(out[k])) << k;
    }
  }
}

Bytes tokens(std::initializer_list<int> bytes) {
  Bytes b;
  for (const int v : bytes) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

constexpr std::uint32_t tagged(std::uint32_t n) { return 0x90u << 24 | n; }

TEST(RunLengthDecode, RefusesMalformedBlocksWithTheirMessage) {
  struct Case {
    const char* name;
    Bytes block;
    std::uint64_t points;
    const char* message;
  };
  // Width 4 at first: -2 switches to 2 bytes, -1 to 1 byte, -4 is a flag-0 control token.
  const Case cases[] = {
      {"23-byte head", Bytes(23, 0), 0, "run-length: block shorter than its 24-byte head"},
      {"count word without tag", acq_test::run_length_raw(2, 0, {}), 2,
       "run-length: point count word has no 0x90 tag"},
      {"record disagrees", acq_test::run_length_raw(tagged(3), 0, {}), 4,
       "run-length: block holds 3 points, its record 4"},
      {"positive leading count", acq_test::run_length_raw(tagged(3), 1, {}), 3,
       "run-length: leading zero count is positive"},
      {"leading zeros past n", acq_test::run_length_raw(tagged(3), -4, {}), 3,
       "run-length: more leading zeros than points"},
      {"385 zeros from 24 bytes", acq_test::run_length_raw(tagged(385), -385, {}), 385,
       "run-length: 385 points from a block of 24 bytes, more than 16 a byte"},
      {"2^24 - 1 leading zeros", acq_test::run_length_raw(tagged(0xFFFFFF), -0xFFFFFF, {}), 0xFFFFFF,
       "run-length: 16777215 points from a block of 24 bytes, more than 16 a byte"},
      {"literal after n", acq_test::run_length_raw(tagged(1), 0, tokens({5, 0, 0, 0, 6, 0, 0, 0})),
       1, "run-length: literal after the last point"},
      {"literal after leading zeros fill n", acq_test::run_length_raw(tagged(2), -2, tokens({5, 0, 0, 0})),
       2, "run-length: literal after the last point"},
      {"skip one past n", acq_test::run_length_raw(tagged(2), 0, tokens({0xF3, 0xFF, 0xFF, 0xFF})),
       2, "run-length: skip past the last point"},  // -13: skip 3, width 4
      {"flag 0", acq_test::run_length_raw(tagged(2), 0, tokens({0xFC, 0xFF, 0xFF, 0xFF})), 2,
       "run-length: width flag 0"},
      {"3 bytes of a 4-byte token", acq_test::run_length_raw(tagged(2), 0, tokens({1, 0, 0})), 2,
       "run-length: token cut short"},
      {"1 byte of a 2-byte token", acq_test::run_length_raw(tagged(2), 0, tokens({0xFE, 0xFF, 0xFF, 0xFF, 7})),
       2, "run-length: token cut short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DoubleArray out;
    const auto axis = decode_run_length(c.block, c.points, out);
    ASSERT_FALSE(axis);
    EXPECT_EQ(axis.error().display(), std::string("parse error: ") + c.message);
  }
}

TEST(RunLengthDecode, SkipToExactlyTheLastPointAndWidestNegativeToken) {
  // -9: skip 2, width 1 -> the two points stay zero, then 1-byte literal 7 fills point 2.
  // INT32_MIN at width 4: (-v) = 2^31, flag 0: refused, not an overflow.
  DoubleArray out;
  ASSERT_TRUE(decode_run_length(acq_test::run_length_raw(tagged(3), 0, tokens({0xF7, 0xFF, 0xFF, 0xFF, 7})), 3, out));
  EXPECT_EQ(as_counts(out), (std::vector<std::int32_t>{0, 0, 7}));
  const auto min = decode_run_length(acq_test::run_length_raw(tagged(3), 0, tokens({0, 0, 0, 0x80})), 3, out);
  ASSERT_FALSE(min);
  EXPECT_EQ(min.error().display(), "parse error: run-length: width flag 0");
}

TEST(LzfProfileDecode, ExpandsToTheCountsAndRefusesOtherLengths) {
  const std::vector<std::uint32_t> counts = {0, 1, 2, 3, 3, 3, 3, 3, 3, 4000000000u, 7};
  const Bytes block = acq_test::lzf_profile_block(35920.0, 0.5, counts);
  DoubleArray out;
  std::vector<std::uint8_t> scratch(3, 0xAA);
  const auto axis = decode_lzf_profile(block, counts.size(), out, scratch);
  ASSERT_TRUE(axis) << axis.error().display();
  EXPECT_EQ(axis->start, 35920.0);
  ASSERT_EQ(out.size(), counts.size());
  for (std::size_t k = 0; k < counts.size(); ++k) EXPECT_EQ(out[k], counts[k]);
  // As float32: 4e9 is above 2^24; without it the counts are exact.
  FloatArray narrow;
  bool exact = true;
  ASSERT_TRUE(decode_lzf_profile(block, counts.size(), narrow, scratch, exact));
  EXPECT_FALSE(exact);
  std::vector<std::uint32_t> small = counts;
  small[9] = 1u << 24;
  ASSERT_TRUE(decode_lzf_profile(acq_test::lzf_profile_block(35920.0, 0.5, small), small.size(),
                                 narrow, scratch, exact));
  EXPECT_TRUE(exact);
  for (std::size_t k = 0; k < small.size(); ++k) EXPECT_EQ(narrow[k], static_cast<float>(small[k]));

  const auto short_claim = decode_lzf_profile(block, counts.size() - 1, out, scratch);
  ASSERT_FALSE(short_claim);
  EXPECT_EQ(short_claim.error().display(),
            "parse error: LZF: literal run out of bounds");
  const auto huge = decode_lzf_profile(block, std::uint64_t{1} << 32, out, scratch);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().display(),
            "parse error: LZF profile: point count 4294967296 needs more bytes than a block of " +
                std::to_string(block.size()) + " can expand to");
  // 16 + 4 x (2^62 + 1) wraps to 20, the length of a one-point stream.
  const std::vector<std::uint32_t> seven = {7};
  const Bytes one = acq_test::lzf_profile_block(35920.0, 0.5, seven);
  const auto wraps = decode_lzf_profile(one, (std::uint64_t{1} << 62) + 1, out, scratch);
  ASSERT_FALSE(wraps);
  EXPECT_EQ(wraps.error().display(),
            "parse error: LZF profile: point count 4611686018427387905 needs more bytes than a "
            "block of " + std::to_string(one.size()) + " can expand to");
}

TEST(FixedSizeDecoders, NeedExactlyTheirSizeAndKeepValues) {
  const std::vector<double> x = {101.5, 202.25};
  const std::vector<float> yf = {1.5f, 0.1f};
  const std::vector<double> yd = {3.25, 0.1};
  const std::vector<float> xf = {31.0f, 153.0f};
  DoubleArray a, b;

  ASSERT_TRUE(decode_centroid(acq_test::centroid_block(x, yf), 2, storage_float32, a, b));
  EXPECT_EQ(a[1], 202.25);
  EXPECT_EQ(b[1], static_cast<double>(0.1f));
  ASSERT_TRUE(decode_centroid(acq_test::centroid_block_f64(x, yd), 2, storage_float64, a, b));
  EXPECT_EQ(b[1], 0.1);
  ASSERT_TRUE(decode_channels(acq_test::channels_block(xf, yd, yd, yd), 2, a, b));
  EXPECT_EQ(a[1], 153.0);
  EXPECT_EQ(b[0], 3.25);
  const auto raw = decode_raw_profile(acq_test::raw_profile_block(100.0, 0.1, yf), 2, a);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->start, 100.0);
  EXPECT_EQ(a[1], static_cast<double>(0.1f));

  struct Case {
    const char* name;
    Bytes block;
    std::uint64_t points;
    const char* message;
  };
  const Bytes whole_profile = acq_test::raw_profile_block(100.0, 0.1, yf);
  Bytes centroid = acq_test::centroid_block(x, yf);
  centroid.pop_back();
  Bytes channels = acq_test::channels_block(xf, yd, yd, yd);
  channels.push_back(0);
  Bytes profile = acq_test::raw_profile_block(100.0, 0.1, yf);
  profile.pop_back();
  const Case cases[] = {
      {"centroid 12n - 1", centroid, 2, "parse error: centroid: 23 bytes for 2 points, not 12 x 2"},
      {"channels 28n + 1", channels, 2, "parse error: channels: 57 bytes for 2 points, not 28 x 2"},
      {"raw 16 + 4n - 1", profile, 2, "parse error: raw profile: 23 bytes for 2 points, not 16 + 4 x 2"},
      // Claims whose sizes wrap modulo 2^64 to the block's.
      {"raw 16 + 4n wrapping to 24", whole_profile, (std::uint64_t{1} << 62) + 2,
       "parse error: raw profile: 24 bytes for 4611686018427387906 points, not 16 + 4 x "
       "4611686018427387906"},
      {"centroid 12n wrapping to 0", Bytes{}, std::uint64_t{1} << 62,
       "parse error: centroid: 0 bytes for 4611686018427387904 points, not 12 x 4611686018427387904"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<void> r;
    if (std::string(c.name).starts_with("centroid")) {
      r = decode_centroid(c.block, c.points, storage_float32, a, b);
    } else if (std::string(c.name).starts_with("channels")) {
      r = decode_channels(c.block, c.points, a, b);
    } else {
      auto p = decode_raw_profile(c.block, c.points, a);
      r = p ? Result<void>() : std::unexpected(p.error());
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), c.message);
  }
  const std::vector<float> nan_x = {31.0f, std::numeric_limits<float>::quiet_NaN()};
  const auto nan = decode_channels(acq_test::channels_block(nan_x, yd, yd, yd), 2, a, b);
  ASSERT_FALSE(nan);
  EXPECT_EQ(nan.error().display(), "parse error: channels: x of point 1 is not finite");
  // A claim of 2^32 points against a few bytes fails on the size, allocating nothing.
  EXPECT_FALSE(decode_channels(channels, std::uint64_t{1} << 32, a, b));
}

FormatEntry entry_of(const acq_test::FormatSpec& spec) {
  FormatEntry e{spec.id, spec.kind, spec.compression, spec.w3, {}};
  for (std::size_t a = 0; a < spec.axes.size(); ++a) {
    e.axes.push_back({static_cast<std::uint32_t>(a + 1), spec.axes[a].quantity, spec.axes[a].scale,
                      spec.axes[a].storage, spec.axes[a].spacing});
  }
  return e;
}

TEST(Classify, KnowsTheSixEncodingsAndNothingElse) {
  struct Case {
    const char* name;
    FormatEntry entry;
    std::optional<Codec> codec;
  };
  auto scaled = entry_of(acq_test::tof_peak_format(2));
  scaled.axes[0].scale = 2.0;
  auto renumbered = entry_of(acq_test::run_length_format(1));
  std::swap(renumbered.axes[0].number, renumbered.axes[1].number);
  auto float_x = entry_of(acq_test::run_length_format(1));
  float_x.axes[0].storage = storage_float32;
  auto unknown_compression = entry_of(acq_test::lzf_format(1));
  unknown_compression.compression = 0x400;
  auto kind_four = entry_of(acq_test::gc_peak_format(1));
  kind_four.kind = 4;
  auto three_axes = entry_of(acq_test::channels_format(1));
  three_axes.axes.pop_back();
  auto raw_int_y = entry_of(acq_test::raw_format(2));
  raw_int_y.axes[1].storage = storage_int32;
  const Case cases[] = {
      {"run-length", entry_of(acq_test::run_length_format(1)), Codec::run_length_profile},
      {"run-length over m/z", entry_of(acq_test::run_length_format(1, 5)), Codec::run_length_profile},
      {"LZF", entry_of(acq_test::lzf_format(1)), Codec::lzf_profile},
      {"raw", entry_of(acq_test::raw_format(2)), Codec::raw_profile},
      {"channels", entry_of(acq_test::channels_format(1)), Codec::channels},
      {"TOF peaks", entry_of(acq_test::tof_peak_format(2)), Codec::centroid},
      {"GC peaks", entry_of(acq_test::gc_peak_format(1)), Codec::centroid},
      {"scale 2", scaled, std::nullopt},
      {"axes out of order", renumbered, std::nullopt},
      {"float32 start/step", float_x, std::nullopt},
      {"compression 0x400", unknown_compression, std::nullopt},
      {"kind 4", kind_four, std::nullopt},
      {"three ICP axes", three_axes, std::nullopt},
      {"raw int32 intensities", raw_int_y, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto f = classify(c.entry);
    ASSERT_EQ(f.has_value(), c.codec.has_value());
    if (f) {
      EXPECT_EQ(f->codec, *c.codec);
    }
  }
}

}  // namespace
}  // namespace kestrane::acq
