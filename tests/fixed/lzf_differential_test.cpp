// The decoder against liblzf's, on streams from liblzf's compressor: intact, cut short and
// corrupted. Where liblzf decodes a stream to exactly the expected length, ours must succeed
// with the same bytes; where ours fails, the message must be one of the decoder's own.
#include <lzf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/raw/lzf.hpp"

namespace kestrane::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes liblzf_compress(const Bytes& data) {
  if (data.empty()) return {};
  Bytes out(data.size() * 2 + 64);
  const unsigned n = lzf_compress(data.data(), static_cast<unsigned>(data.size()), out.data(),
                                  static_cast<unsigned>(out.size()));
  out.resize(n);
  return out;
}

struct LiblzfResult {
  unsigned produced;  // 0 on error
  Bytes buffer;       // `expected` bytes: what liblzf wrote, zero elsewhere
};

LiblzfResult liblzf_decompress(const Bytes& in, std::size_t expected) {
  LiblzfResult r{0, Bytes(expected)};
  // liblzf reads a control byte before looking at the length: never hand it empty input.
  if (in.empty()) return r;
  std::uint8_t unused = 0;
  r.produced = lzf_decompress(in.data(), static_cast<unsigned>(in.size()),
                              expected == 0 ? &unused : r.buffer.data(),
                              static_cast<unsigned>(expected));
  return r;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

// One of the decoder's messages, in full.
bool is_decoder_message(const std::string& text, std::size_t expected) {
  static const std::string fixed[] = {
      "parse error: LZF: truncated length byte",
      "parse error: LZF: literal run out of bounds",
      "parse error: LZF: truncated reference byte",
      "parse error: LZF: invalid back reference",
      "parse error: LZF: match run exceeds output bounds",
  };
  if (std::find(std::begin(fixed), std::end(fixed), text) != std::end(fixed)) return true;
  const std::string mismatch_tail = " != expected " + std::to_string(expected);
  return starts_with(text, "parse error: LZF: decompressed length ") &&
         text.ends_with(mismatch_tail);
}

// Decodes `in` with both decoders and checks that they are consistent; returns whether ours
// succeeded. Consistency, token by token the same checks:
// - liblzf produced exactly `expected` bytes  =>  ours succeeds with the same bytes;
// - ours succeeds  =>  liblzf wrote the same `expected` bytes (it may still fail afterwards,
//   on input that ours never looks at once the output is full);
// - ours runs out of input after P bytes  =>  liblzf returned P;
// - any other failure of ours  =>  liblzf failed too.
bool check_against_liblzf(const Bytes& in, std::size_t expected) {
  const auto ours = decompress(in, expected);
  const LiblzfResult lib = liblzf_decompress(in, expected);
  if (lib.produced == expected && expected > 0) {
    EXPECT_TRUE(ours.has_value()) << ours.error().display();
  }
  if (ours) {
    EXPECT_EQ(*ours, lib.buffer);
    return true;
  }
  const std::string text = ours.error().display();
  EXPECT_TRUE(is_decoder_message(text, expected)) << text;
  const std::string mismatch = "parse error: LZF: decompressed length ";
  if (starts_with(text, mismatch) && !in.empty()) {
    const std::string produced = text.substr(mismatch.size(), text.find(' ', mismatch.size()) -
                                                                  mismatch.size());
    EXPECT_EQ(produced, std::to_string(lib.produced)) << text;
  } else {
    EXPECT_EQ(lib.produced, 0u) << text;
  }
  return false;
}

// Inputs of one length in several shapes: noise, small alphabets, runs and short periods.
Bytes sample(std::mt19937_64& rng, std::size_t n, unsigned shape) {
  Bytes b(n);
  switch (shape % 4) {
    case 0:
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
      break;
    case 1:
      for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 5);
      break;
    case 2: {
      std::size_t i = 0;
      while (i < n) {
        const std::size_t run = std::min<std::size_t>(n - i, 1 + rng() % 300);
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(i), run,
                    static_cast<std::uint8_t>(rng()));
        i += run;
      }
      break;
    }
    default: {
      const std::size_t period = 1 + rng() % 24;
      for (std::size_t i = 0; i < n; ++i) {
        b[i] = i < period ? static_cast<std::uint8_t>(rng()) : b[i - period];
        if (rng() % 97 == 0) b[i] = static_cast<std::uint8_t>(rng());
      }
      break;
    }
  }
  return b;
}

// A profile payload: a 16-byte header, then u32 counts over a noise floor of zeros and small
// values, with a few Gaussian peaks reaching up to about 1e7.
Bytes profile_payload(std::mt19937_64& rng, std::size_t points) {
  std::vector<double> level(points, 0.0);
  std::uniform_int_distribution<int> peak_count(0, 12);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int peaks = peak_count(rng);
  for (int p = 0; p < peaks; ++p) {
    const double centre = unit(rng) * static_cast<double>(points);
    const double width = 0.5 + unit(rng) * 6.0;
    const double height = std::pow(10.0, 2.0 + unit(rng) * 5.0);
    const auto from = static_cast<std::size_t>(std::max(0.0, centre - 8 * width));
    const auto to = std::min(points, static_cast<std::size_t>(centre + 8 * width) + 1);
    for (std::size_t k = from; k < to; ++k) {
      const double x = (static_cast<double>(k) - centre) / width;
      level[k] += height * std::exp(-0.5 * x * x);
    }
  }
  Bytes payload(16 + 4 * points);
  for (std::size_t i = 0; i < 16; ++i) payload[i] = static_cast<std::uint8_t>(rng());
  for (std::size_t k = 0; k < points; ++k) {
    std::uint32_t v = static_cast<std::uint32_t>(level[k]);
    if (v == 0 && rng() % 4 == 0) v = static_cast<std::uint32_t>(rng() % 6);
    for (std::size_t b = 0; b < 4; ++b) {
      payload[16 + 4 * k + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
  }
  return payload;
}

TEST(LzfDifferential, EveryLengthUpTo4096) {
  std::mt19937_64 rng(1);
  for (std::size_t n = 0; n <= 4096; ++n) {
    const Bytes data = sample(rng, n, static_cast<unsigned>(n));
    const Bytes stream = liblzf_compress(data);
    ASSERT_EQ(stream.empty(), data.empty()) << "liblzf could not compress " << n << " bytes";
    SCOPED_TRACE(testing::Message() << "length " << n << ", stream " << stream.size());
    const auto ours = decompress(stream, n);
    ASSERT_TRUE(ours.has_value()) << ours.error().display();
    ASSERT_EQ(*ours, data);
    if (n > 0) {
      const LiblzfResult lib = liblzf_decompress(stream, n);
      ASSERT_EQ(lib.produced, n);
      ASSERT_EQ(lib.buffer, *ours);
    }
  }
}

TEST(LzfDifferential, ProfileLikePayloads) {
  std::mt19937_64 rng(2);
  for (int i = 0; i < 300; ++i) {
    const std::size_t points = 1 + rng() % (i < 280 ? 4000 : 60000);
    const Bytes data = profile_payload(rng, points);
    const Bytes stream = liblzf_compress(data);
    ASSERT_FALSE(stream.empty());
    SCOPED_TRACE(testing::Message() << "payload " << i << ", " << points << " points");
    const auto ours = decompress(stream, data.size());
    ASSERT_TRUE(ours.has_value()) << ours.error().display();
    ASSERT_EQ(*ours, data);
    const LiblzfResult lib = liblzf_decompress(stream, data.size());
    ASSERT_EQ(lib.produced, data.size());
    ASSERT_EQ(lib.buffer, *ours);
  }
}

TEST(LzfDifferential, EveryPrefixOfSomeStreams) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 24; ++i) {
    const Bytes data = i % 3 == 0 ? profile_payload(rng, 50 + rng() % 400)
                                  : sample(rng, 100 + rng() % 1500, static_cast<unsigned>(i));
    const Bytes stream = liblzf_compress(data);
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "stream " << i << ", prefix " << cut << " of "
                                      << stream.size());
      const Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_FALSE(check_against_liblzf(prefix, data.size()));
      if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
  }
}

TEST(LzfDifferential, CorruptedStreams) {
  std::mt19937_64 rng(4);
  std::size_t successes = 0;
  std::size_t failures = 0;
  for (int i = 0; i < 400; ++i) {
    const Bytes data = i % 4 == 0 ? profile_payload(rng, 20 + rng() % 300)
                                  : sample(rng, 1 + rng() % 1200, static_cast<unsigned>(i));
    const Bytes stream = liblzf_compress(data);
    for (int variant = 0; variant < 60; ++variant) {
      Bytes bad = stream;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) {
        std::uint8_t& b = bad[rng() % bad.size()];
        b = rng() % 2 == 0 ? static_cast<std::uint8_t>(b ^ (1u << (rng() % 8)))
                           : static_cast<std::uint8_t>(rng());
      }
      // The true length, and lengths around it, as a wrong descriptor would give.
      std::size_t expected = data.size();
      if (variant % 3 == 1) expected = data.size() - rng() % std::min<std::size_t>(data.size(), 40);
      if (variant % 3 == 2) expected = data.size() + rng() % 40;
      SCOPED_TRACE(testing::Message() << "stream " << i << ", variant " << variant);
      (check_against_liblzf(bad, expected) ? successes : failures) += 1;
      if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
  }
  // Both outcomes were exercised.
  EXPECT_GT(successes, 100u);
  EXPECT_GT(failures, 1000u);
}

}  // namespace
}  // namespace kestrane::raw
