// The bytes of binary arrays: base64 against known encodings, the 32-bit exactness rule, packed
// arrays decompressed back with libdeflate's own zlib decoder, and MS-Numpress arrays decoded
// back within their tolerances (or refused).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "src/mzml/base64.hpp"
#include "src/mzml/binary.hpp"
#include "src/mzml/numpress.hpp"
#include "tests/support/mzml_support.hpp"
#include "tests/support/numpress_decoder.hpp"

namespace {

using kestrane::mzml::ArrayEncoder;
using kestrane::mzml::Width;
namespace ts = kestrane::test_support;

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::string encode(const std::vector<std::uint8_t>& bytes, std::string prefix = {}) {
  kestrane::mzml::append_base64(prefix, bytes);
  return prefix;
}

TEST(MzmlBase64, KnownEncodings) {
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  const struct {
    std::vector<std::uint8_t> in;
    std::string out;
  } cases[] = {
      // RFC 4648, section 10: every length of the last group.
      {bytes_of(""), ""},
      {bytes_of("f"), "Zg=="},
      {bytes_of("fo"), "Zm8="},
      {bytes_of("foo"), "Zm9v"},
      {bytes_of("foob"), "Zm9vYg=="},
      {bytes_of("fooba"), "Zm9vYmE="},
      {bytes_of("foobar"), "Zm9vYmFy"},
      // Python's base64.b64encode: the last two letters of the alphabet, and every byte value.
      {{0xfb, 0xff}, "+/8="},
      {{0xff, 0xff, 0xff}, "////"},
      {{0x00}, "AA=="},
      {all,
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB"
       "QkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKD"
       "hIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TF"
       "xsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w=="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(encode(c.in, "<"), "<" + c.out);
    EXPECT_EQ(kestrane::mzml::base64_length(c.in.size()), c.out.size());
  }
}

// libstdc++ 12's resize_and_overwrite passed the grown capacity as the new size whenever the
// string had to grow, which left NUL bytes after the encoding.
TEST(MzmlBase64, AppendingBeyondCapacityAddsOnlyTheEncoding) {
  std::string out(3000, 'a');
  out.shrink_to_fit();
  const std::vector<std::uint8_t> in(156, 7);
  kestrane::mzml::append_base64(out, in);
  EXPECT_EQ(out.size(), 3000 + 208);
  EXPECT_EQ(out.find('\0'), std::string::npos);
}

TEST(MzmlNarrow, ExactlyWhenEveryValueSurvivesTheRoundTrip) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double float_max = std::numeric_limits<float>::max();
  const double float_tiny = std::numeric_limits<float>::denorm_min();
  const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
  const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000001});
  const struct {
    std::vector<double> values;
    bool exact;
  } cases[] = {
      {{}, true},
      {{0.0, -0.0, 1.0, 16777216.0, 0.5, -3.25}, true},
      {{16777217.0}, false},  // 2^24 + 1 needs 25 significant bits
      {{1.0, 0.1}, false},
      {{inf, -inf, float_max, float_tiny}, true},
      {{float_max * 2}, false},  // beyond float: would become infinity
      {{float_tiny / 2}, false},  // below float: would become zero
      {{quiet_nan}, true},
      {{payload_nan}, false},  // float drops the low payload bits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.values));
    std::vector<float> out;
    EXPECT_EQ(kestrane::mzml::narrow_exactly(c.values, out), c.exact);
    ASSERT_EQ(out.size(), c.values.size());
  }
}

template <class T>
std::vector<std::uint8_t> little_endian(const std::vector<double>& values) {
  std::vector<std::uint8_t> out;
  for (const double v : values) {
    const auto u = std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(
        static_cast<T>(v));
    for (std::size_t k = 0; k < sizeof(T); ++k) {
      out.push_back(static_cast<std::uint8_t>(u >> (8 * k)));
    }
  }
  return out;
}

TEST(MzmlPack, DecompressesToTheLittleEndianValues) {
  std::vector<double> counts(5000);
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = i % 7 == 0 ? 0.0 : double(i % 300);
  const struct {
    int level;
    std::vector<double> values;
    bool allow_float32;
    Width width;
    bool compressed;
  } cases[] = {
      {6, counts, true, Width::float32, true},
      {6, counts, false, Width::float64, true},
      {1, {0.1, 2.0}, true, Width::float64, true},
      {12, {1.5, 2.0}, true, Width::float32, true},
      {0, counts, true, Width::float32, false},
      {0, {0.1}, true, Width::float64, false},
      {6, {}, true, Width::float32, false},  // empty: zero bytes, no stream
      {6, {}, false, Width::float64, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "level " << c.level << ", " << c.values.size()
                                      << " values, float32 allowed " << c.allow_float32);
    ArrayEncoder encoder(c.level);
    const auto packed = encoder.pack(c.values, c.allow_float32);
    EXPECT_EQ(packed.width, c.width);
    EXPECT_EQ(packed.compressed, c.compressed);
    const auto expected = c.width == Width::float32 ? little_endian<float>(c.values)
                                                    : little_endian<double>(c.values);
    const std::vector<std::uint8_t> bytes(packed.bytes.begin(), packed.bytes.end());
    if (c.compressed) {
      EXPECT_EQ(ts::zlib_decompress(bytes, expected.size()), expected);
      EXPECT_EQ(bytes[0], 0x78);  // zlib header: deflate, 32 KiB window
    } else {
      EXPECT_EQ(bytes, expected);
    }
  }
}

// Each row: the values, the code, whether the encoder takes them, and for some the bytes the
// format gives (worked out by hand from its description). Taken arrays decode within the
// code's bound, and ArrayEncoder writes them so (zlib on top); refused ones it writes as floats.
TEST(MzmlNumpress, DecodedWithinTheToleranceOrRefused) {
  using kestrane::mzml::Numpress;
  namespace np = kestrane::mzml::numpress;
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  std::vector<double> mz(20000), minutes(3000), counts(5000), intensities(5000);
  for (std::size_t i = 0; i < mz.size(); ++i) {
    mz[i] = 100.0 + 0.05 * double(i) + 1e-4 * double(i % 13);  // a TOF axis, irregular steps
  }
  for (std::size_t i = 0; i < minutes.size(); ++i) minutes[i] = double(i) / 120.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    counts[i] = double((i * 7919) % 100000);
    intensities[i] = counts[i] * 1.37 + 0.01 * double(i % 3);
  }
  const auto hand = [](std::initializer_list<std::uint8_t> b) { return std::vector(b); };
  const struct {
    const char* what;
    Numpress code;
    std::vector<double> values;
    bool taken;
    std::vector<std::uint8_t> bytes;  // empty: not given
  } cases[] = {
      {"m/z axis", Numpress::linear, mz, true, {}},
      {"minutes from 0", Numpress::linear, minutes, true, {}},
      {"two values", Numpress::linear, {445.25, 445.5}, true, {}},
      // fixed point floor((2^31 - 1) / 2), the residual -(2^30 - 1) written whole (head 0).
      {"negative residual", Numpress::linear, {1.0, 2.0, 2.0}, true,
       hand({0x41, 0xcf, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff, 0x3f, 0xfe, 0xff,
             0xff, 0x7f, 0x01, 0x00, 0x00, 0x00, 0xc0})},
      {"zeros", Numpress::linear, {0.0, 0.0, 0.0, 0.0}, true, {}},
      {"single value", Numpress::linear, {445.25}, false, {}},
      {"empty", Numpress::linear, {}, false, {}},
      {"huge", Numpress::linear, {1e12, 1e12 + 1.0}, false, {}},  // fixed point below 1
      {"beyond the tolerance", Numpress::linear, {7.3, 3000.1, 0.2, 7.7}, false, {}},
      {"negative", Numpress::linear, {1.0, -2.0, 3.0}, false, {}},
      {"NaN", Numpress::linear, {1.0, nan, 3.0}, false, {}},
      {"counts", Numpress::pic, counts, true, {}},
      {"rounded", Numpress::pic, intensities, true, {}},
      // 0: head 8; 1: head 7, 1; 2^31 - 1: head 0 and eight half-bytes; 2^31 - 1.4 rounds down.
      {"head half-bytes", Numpress::pic, {0.0, 1.0, 2147483647.0}, true,
       hand({0x87, 0x10, 0xff, 0xff, 0xff, 0xf7})},
      {"padded", Numpress::pic, {15.0, 16.0}, true, hand({0x7f, 0x60, 0x10})},
      {"largest", Numpress::pic, {2147483646.6, 0.49999999999999994}, true, {}},
      {"beyond 32 bits", Numpress::pic, {2147483648.0}, false, {}},
      {"negative", Numpress::pic, {-1.0}, false, {}},
      {"infinite", Numpress::pic, {inf}, false, {}},
      {"intensities", Numpress::slof, intensities, true, {}},
      {"zeros", Numpress::slof, {0.0, 0.0}, true, {}},
      {"huge", Numpress::slof, {0.0, 1e300}, false, {}},
      {"negative", Numpress::slof, {-0.5}, false, {}},
      {"NaN", Numpress::slof, {nan}, false, {}},
  };
  std::vector<std::uint8_t> out;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.code) << " " << c.what);
    ASSERT_EQ(np::encode(c.code, c.values, out), c.taken);
    for (const int level : {0, 6}) {
      ArrayEncoder encoder(level);
      const auto packed = encoder.pack(c.values, true, c.code);
      EXPECT_EQ(packed.numpress, c.taken ? c.code : Numpress::none);
      if (!c.taken) continue;
      EXPECT_EQ(packed.width, Width::float64);
      const std::vector<std::uint8_t> bytes(packed.bytes.begin(), packed.bytes.end());
      EXPECT_EQ(level == 0 ? bytes : ts::zlib_decompress(bytes, out.size()), out);
    }
    if (!c.taken) continue;
    if (!c.bytes.empty()) {
      EXPECT_EQ(out, c.bytes);
    }
    if (c.code != Numpress::pic) {
      const double m = c.code == Numpress::linear ? np::linear_fixed_point(c.values)
                                                  : np::slof_fixed_point(c.values);
      EXPECT_EQ(kestrane::test::numpress_fixed_point(out), m);
    }
    const auto decoded = kestrane::test::numpress_decode(c.code, out);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), c.values.size());
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      const double x = c.values[i], error = std::fabs((*decoded)[i] - x);
      const double bound = c.code == Numpress::linear ? np::linear_tolerance * std::max(x, 1.0)
                           : c.code == Numpress::pic  ? 0.5
                                                      : np::slof_tolerance * (x + 1.0);
      ASSERT_LE(error, bound) << "value " << i << ": " << x << " decoded as " << (*decoded)[i];
      if (c.code == Numpress::pic) {
        EXPECT_EQ((*decoded)[i], std::round(x));
      }
    }
  }
}

}  // namespace
