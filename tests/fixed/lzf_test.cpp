#include "src/raw/lzf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/lzf_encoder.hpp"

#include "tests/support/allocation_probe.hpp"

namespace kestrane::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::append_literals;
using test::append_reference;
using test::lzf_encode;

using test::largest_allocation;

// The stream format decoded the plain way: one token at a time, every back reference byte by
// byte, every check in its place. Empty `error` means success.
struct Reference {
  Bytes out;
  std::string error;
  std::size_t overlapping = 0;  // back references whose distance is below their length
  std::size_t long_refs = 0;
};

Reference reference_decode(const Bytes& in, std::size_t expected) {
  Reference r;
  std::size_t ip = 0;
  while (r.out.size() < expected && ip < in.size()) {
    const std::size_t c = in[ip];
    if (c < 0x20) {
      const std::size_t n = c + 1;
      if (ip + 1 + n > in.size() || r.out.size() + n > expected) {
        r.error = "LZF: literal run out of bounds";
        return r;
      }
      r.out.insert(r.out.end(), in.begin() + static_cast<std::ptrdiff_t>(ip + 1),
                   in.begin() + static_cast<std::ptrdiff_t>(ip + 1 + n));
      ip += 1 + n;
      continue;
    }
    if (r.out.size() <= (c & 0x1f) * 256) {
      r.error = "LZF: invalid back reference";
      return r;
    }
    std::size_t len = c >> 5;
    std::size_t pos = ip + 1;
    if (len == 7) {
      if (pos >= in.size()) {
        r.error = "LZF: truncated length byte";
        return r;
      }
      len += in[pos++];
      ++r.long_refs;
    }
    if (pos >= in.size()) {
      r.error = "LZF: truncated reference byte";
      return r;
    }
    const std::size_t offset = (c & 0x1f) * 256 + in[pos];
    if (offset + 1 > r.out.size()) {
      r.error = "LZF: invalid back reference";
      return r;
    }
    if (r.out.size() + len + 2 > expected) {
      r.error = "LZF: match run exceeds output bounds";
      return r;
    }
    if (offset + 1 < len + 2) ++r.overlapping;
    for (std::size_t i = 0; i < len + 2; ++i) r.out.push_back(r.out[r.out.size() - offset - 1]);
    ip = pos + 1;
  }
  if (r.out.size() != expected) {
    r.error = "LZF: decompressed length " + std::to_string(r.out.size()) + " != expected " +
              std::to_string(expected);
  }
  return r;
}

std::string display_of(const Result<Bytes>& got) {
  return got ? std::string("<ok>") : got.error().display();
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t n, unsigned alphabet = 256) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() % alphabet);
  return b;
}

// ---------------------------------------------------------------------------------------------
// Hand-built streams: each malformation, each boundary, and which message wins.

struct StreamCase {
  const char* name;
  Bytes in;
  std::size_t expected_len;
  Bytes out;            // when `message` is empty
  std::string message;  // the whole display text of the error
};

// Test names, not bytes, in failure reports.
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class LzfDecompressCase : public testing::TestWithParam<StreamCase> {};

TEST_P(LzfDecompressCase, Decodes) {
  const StreamCase& c = GetParam();
  const auto got = decompress(c.in, c.expected_len);
  if (c.message.empty()) {
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, c.out);
  } else {
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), c.message);
  }
  const Reference r = reference_decode(c.in, c.expected_len);
  EXPECT_EQ(r.error.empty() ? "" : "parse error: " + r.error, c.message);

  // As one cut among others of the same bytes, decided in the same pass.
  const LzfCut cuts[] = {{c.in.size() / 2, c.expected_len / 2},
                         {c.in.size(), c.expected_len},
                         {c.in.size(), c.expected_len + 1}};
  Result<void> outcomes[std::size(cuts)];
  std::vector<std::uint8_t> scratch;
  const auto kept = expand_cuts(c.in, cuts, c.expected_len, outcomes, scratch);
  ASSERT_TRUE(kept.has_value()) << kept.error().display();
  EXPECT_EQ(outcomes[1] ? "" : outcomes[1].error().display(), c.message);
  if (c.message.empty()) {
    ASSERT_GE(kept->size(), c.expected_len);
    EXPECT_EQ(Bytes(kept->begin(), kept->begin() + static_cast<std::ptrdiff_t>(c.expected_len)),
              c.out);
  }
}

Bytes repeat(std::uint8_t byte, std::size_t n) { return Bytes(n, byte); }

Bytes with_prefix_of(std::size_t produced, Bytes tail) {
  // A literal stream producing `produced` bytes 0, 1, 2, ..., then `tail`.
  Bytes lit(produced);
  for (std::size_t i = 0; i < produced; ++i) lit[i] = static_cast<std::uint8_t>(i);
  Bytes s;
  append_literals(s, lit);
  s.insert(s.end(), tail.begin(), tail.end());
  return s;
}

Bytes counting(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

std::vector<StreamCase> stream_cases() {
  const std::string oob = "parse error: LZF: literal run out of bounds";
  const std::string invalid = "parse error: LZF: invalid back reference";
  const std::string trunc_len = "parse error: LZF: truncated length byte";
  const std::string trunc_ref = "parse error: LZF: truncated reference byte";
  const std::string overrun = "parse error: LZF: match run exceeds output bounds";

  Bytes full_literal = {0x1f};
  const Bytes thirty_two = counting(32);
  full_literal.insert(full_literal.end(), thirty_two.begin(), thirty_two.end());

  Bytes at_distance_257 = counting(257);
  at_distance_257.insert(at_distance_257.end(), {0, 1, 2});
  Bytes at_distance_8192 = counting(8192);
  at_distance_8192.insert(at_distance_8192.end(), {0, 1, 2});

  return {
      // Nothing expected: no input byte is looked at.
      {"ZeroLengthEmptyInput", {}, 0, {}, ""},
      {"ZeroLengthIgnoresBackReference", {0x20}, 0, {}, ""},
      {"ZeroLengthIgnoresLongReference", {0xe0}, 0, {}, ""},
      {"ZeroLengthIgnoresShortLiteral", {0x1f, 0x00}, 0, {}, ""},
      {"ZeroLengthIgnoresGarbage", {0xff, 0xff, 0x3f, 0x00}, 0, {}, ""},
      // Running out of input before the output is full.
      {"EmptyInput", {}, 5, {}, "parse error: LZF: decompressed length 0 != expected 5"},
      {"InputEndsEarly", {0x00, 0x41}, 5, {},
       "parse error: LZF: decompressed length 1 != expected 5"},
      {"InputEndsAfterReference", {0x00, 0x41, 0x20, 0x00}, 7, {},
       "parse error: LZF: decompressed length 4 != expected 7"},
      // Well-formed streams.
      {"SingleLiteral", {0x00, 0x41}, 1, {0x41}, ""},
      {"ShortReferenceOverlapsItself", {0x00, 0x41, 0x20, 0x00}, 4, repeat(0x41, 4), ""},
      {"LongReferenceExtraZero", {0x00, 0x41, 0xe0, 0x00, 0x00}, 10, repeat(0x41, 10), ""},
      {"LongestReference", {0x00, 0x41, 0xe0, 0xff, 0x00}, 265, repeat(0x41, 265), ""},
      {"LongestLiteralRun", full_literal, 32, thirty_two, ""},
      {"ShortReferenceLengthEight", {0x00, 0x41, 0xc0, 0x00}, 9, repeat(0x41, 9), ""},
      {"DistanceTwoRepeatsPair", {0x01, 0x61, 0x62, 0x40, 0x01}, 6,
       {0x61, 0x62, 0x61, 0x62, 0x61, 0x62}, ""},
      {"DistanceEqualsOutputPosition", with_prefix_of(257, {0x21, 0x00}), 260, at_distance_257,
       ""},
      {"LargestDistance", with_prefix_of(8192, {0x3f, 0xff}), 8195, at_distance_8192, ""},
      // Trailing input once the output is full is never examined.
      {"TrailingByteIgnored", {0x00, 0x41, 0xff}, 1, {0x41}, ""},
      {"TrailingLiteralIgnored", {0x00, 0x41, 0x1f}, 1, {0x41}, ""},
      {"TrailingAfterReferenceIgnored", {0x00, 0x41, 0x20, 0x00, 0x20}, 4, repeat(0x41, 4), ""},
      // Literal runs.
      {"LiteralNeedsMoreInput", {0x05, 0x61}, 10, {}, oob},
      {"LiteralOneByteShortOfInput", {0x01, 0x61}, 10, {}, oob},
      {"LiteralPastOutput", {0x01, 0x61, 0x62}, 1, {}, oob},
      {"LiteralPastOutputAndInput", {0x05, 0x61}, 3, {}, oob},
      {"SecondLiteralPastOutput", {0x00, 0x61, 0x01, 0x62, 0x63}, 2, {}, oob},
      // Back references: the early distance test comes before any further byte is read.
      {"FirstTokenIsReference", {0x20}, 10, {}, invalid},
      {"FirstTokenIsReferenceWithOffset", {0x20, 0x00}, 10, {}, invalid},
      {"FirstTokenIsLongReference", {0xe0}, 10, {}, invalid},
      {"FirstTokenIsLongReferenceComplete", {0xe0, 0x00, 0x00}, 10, {}, invalid},
      {"HighOffsetBeforeTruncatedOffset", {0x00, 0x41, 0x21}, 10, {}, invalid},
      {"HighOffsetBeforeTruncatedLength", {0x00, 0x41, 0xe1}, 10, {}, invalid},
      {"HighOffsetEqualsOutputPosition", with_prefix_of(256, {0x21, 0x00}), 300, {}, invalid},
      {"TruncatedLengthByte", {0x00, 0x41, 0xe0}, 10, {}, trunc_len},
      {"TruncatedReferenceByte", {0x00, 0x41, 0x20}, 10, {}, trunc_ref},
      {"LongReferenceTruncatedReferenceByte", {0x00, 0x41, 0xe0, 0x00}, 10, {}, trunc_ref},
      {"TruncationBeforeLengthCheck", {0x00, 0x41, 0xe0, 0xff}, 10, {}, trunc_ref},
      {"DistanceBeyondOutput", {0x00, 0x41, 0x20, 0x01}, 10, {}, invalid},
      {"DistanceOnePastOutputPosition", with_prefix_of(257, {0x21, 0x01}), 300, {}, invalid},
      {"DistanceBeforeLength", {0x00, 0x61, 0x20, 0x01}, 2, {}, invalid},
      {"ShortReferencePastOutput", {0x00, 0x61, 0x20, 0x00}, 3, {}, overrun},
      {"LongReferencePastOutputByOne", {0x00, 0x41, 0xe0, 0x00, 0x00}, 9, {}, overrun},
      {"LongestReferencePastOutputByOne", {0x00, 0x41, 0xe0, 0xff, 0x00}, 264, {}, overrun},
  };
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LzfDecompressCase, testing::ValuesIn(stream_cases()),
    [](const testing::TestParamInfo<StreamCase>& p) { return std::string(p.param.name); });

// Random short streams, mostly malformed, often with input left over once the output is full:
// the decoder and the reference agree on the output or on the message, i.e. on which check
// fails first.
TEST(LzfDecompress, AgreesWithReferenceOnRandomStreams) {
  std::mt19937_64 rng(20240611);
  const std::uint8_t interesting[] = {0x00, 0x01, 0x05, 0x1f, 0x20, 0x21, 0x3f,
                                      0x40, 0xc0, 0xdf, 0xe0, 0xe1, 0xff};
  std::size_t successes = 0;
  for (int iteration = 0; iteration < 200000; ++iteration) {
    Bytes in(rng() % (iteration % 4 == 0 ? 80 : 24));
    for (auto& b : in) {
      b = rng() % 3 == 0 ? interesting[rng() % std::size(interesting)]
                         : static_cast<std::uint8_t>(rng() % 8);
    }
    const std::size_t expected =
        rng() % (iteration % 3 == 0 ? in.size() + 1 : in.size() * 12 + 2);
    const auto got = decompress(in, expected);
    const Reference r = reference_decode(in, expected);

    // The same through a larger scratch buffer, which must not be written past `expected`.
    std::vector<std::uint8_t> scratch(expected + 48, 0xee);
    const auto into = decompress_into(in, expected, scratch);
    ASSERT_EQ(into.has_value(), got.has_value());
    if (into) {
      ASSERT_EQ(Bytes(into->begin(), into->end()), *got);
    }
    for (std::size_t i = expected; i < scratch.size(); ++i) {
      ASSERT_EQ(scratch[i], 0xee) << "byte " << i << " written; expected length " << expected;
    }
    if (r.error.empty()) {
      ++successes;
      ASSERT_TRUE(got.has_value()) << "stream of " << in.size() << " bytes, expected " << expected
                                   << ": " << got.error().display();
      ASSERT_EQ(*got, r.out);
    } else {
      ASSERT_EQ(display_of(got), "parse error: " + r.error)
          << "stream of " << in.size() << " bytes, expected " << expected;
    }
  }
  EXPECT_GT(successes, 1000u);
}

// Producing only a prefix of the expansion changes nothing else: the outcome and message are
// those of the whole decode, the prefix holds its first bytes, and nothing past it is written.
// Nor does the stream's tail beyond 2 * expected + 2 bytes, which no check reaches. Cuts of one
// stream (input and expected lengths of their own) decided in one pass agree with decoding each.
TEST(LzfDecompress, PrefixAndCutsAgreeWithWholeDecodeOnRandomStreams) {
  std::mt19937_64 rng(20250107);
  std::size_t successes = 0;
  for (int iteration = 0; iteration < 100000; ++iteration) {
    Bytes in(rng() % 40);
    for (auto& b : in) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 8);
    if (iteration % 2 == 0) {
      // Whole tokens: one-byte literals, which consume the most input per output byte, and
      // short or long references to the last byte.
      in.clear();
      for (std::size_t t = rng() % 16; t > 0; --t) {
        const unsigned kind = static_cast<unsigned>(rng() % 3);
        if (kind == 0) in.insert(in.end(), {0x00, 0x5a});
        if (kind == 1) in.insert(in.end(), {0x20, 0x00});
        if (kind == 2) in.insert(in.end(), {0xe0, static_cast<std::uint8_t>(rng() % 4), 0x00});
      }
    }
    const std::size_t expected = rng() % (in.size() * 6 + 2);
    const std::size_t keep = rng() % (expected + 2);  // one past `expected`: clamped
    const Reference r = reference_decode(in, expected);
    const std::string whole = r.error.empty() ? "<ok>" : "parse error: " + r.error;

    std::vector<std::uint8_t> scratch(expected + 40, 0xee);
    const auto got = decompress_prefix_into(in, expected, keep, scratch);
    ASSERT_EQ(got ? std::string("<ok>") : got.error().display(), whole)
        << "stream of " << in.size() << " bytes, expected " << expected << ", keep " << keep;
    if (got) {
      ++successes;
      const std::size_t kept = std::min(keep, expected);
      ASSERT_EQ(Bytes(got->begin(), got->end()), Bytes(r.out.begin(), r.out.begin() + kept));
      for (std::size_t i = kept; i < scratch.size(); ++i) ASSERT_EQ(scratch[i], 0xee) << i;
    }

    const std::size_t reach = std::min(in.size(), 2 * expected + 2);
    const Bytes head(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(reach));
    ASSERT_EQ(display_of(decompress(head, expected)), whole) << "cut to " << reach;

    LzfCut cuts[5] = {{in.size(), expected}};
    for (std::size_t i = 1; i < std::size(cuts); ++i) {
      // Often one input or expected length shared with another cut, sometimes beyond the input.
      cuts[i] = {rng() % 3 == 0 ? cuts[i - 1].in_len : rng() % (in.size() + 2),
                 rng() % 3 == 0 ? cuts[i - 1].expected_len : rng() % (in.size() * 6 + 2)};
    }
    Result<void> outcomes[std::size(cuts)];
    const auto many = expand_cuts(in, cuts, keep, outcomes, scratch);
    ASSERT_TRUE(many.has_value()) << many.error().display();
    ASSERT_LE(many->size(), keep);
    for (std::size_t i = 0; i < std::size(cuts); ++i) {
      const Bytes cut(in.begin(),
                      in.begin() + static_cast<std::ptrdiff_t>(std::min(cuts[i].in_len, in.size())));
      const Reference ri = reference_decode(cut, cuts[i].expected_len);
      ASSERT_EQ(outcomes[i] ? std::string("<ok>") : outcomes[i].error().display(),
                ri.error.empty() ? "<ok>" : "parse error: " + ri.error)
          << "stream of " << in.size() << " bytes, cut " << i << " at " << cuts[i].in_len
          << ", expected " << cuts[i].expected_len;
      if (outcomes[i]) {
        const std::size_t kept = std::min(keep, cuts[i].expected_len);
        ASSERT_GE(many->size(), kept);
        ASSERT_EQ(Bytes(many->begin(), many->begin() + static_cast<std::ptrdiff_t>(kept)),
                  Bytes(ri.out.begin(), ri.out.begin() + static_cast<std::ptrdiff_t>(kept)))
            << "cut " << i;
      }
    }
  }
  EXPECT_GT(successes, 1000u);
}

// A stream that expands to far more than is kept costs a buffer of the kept bytes only.
TEST(LzfDecompress, PrefixOfALongExpansionCostsOnlyThePrefix) {
  Bytes in = {0x00, 0x7a};
  for (int i = 0; i < 4000; ++i) append_reference(in, 1, 264);
  const std::size_t expected = 1 + 264 * 4000;
  std::vector<std::uint8_t> scratch;
  const std::size_t largest = largest_allocation([&] {
    const auto got = decompress_prefix_into(in, expected, 20, scratch);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(Bytes(got->begin(), got->end()), repeat(0x7a, 20));
    const auto longer = decompress_prefix_into(in, expected + 1, 20, scratch);
    ASSERT_FALSE(longer.has_value());
    EXPECT_EQ(longer.error().display(),
              "parse error: LZF: decompressed length 1056001 != expected 1056002");
  });
  EXPECT_LT(largest, std::size_t{1} << 10);  // the scratch buffer and a message
}

// Asked to stop, a long expansion ends with EINTR once a MiB of its input is behind it, whether
// it writes or only checks.
TEST(LzfDecompress, StopRequestEndsALongExpansion) {
  struct Always final : Interrupt {
    int asked = 0;
    bool requested() noexcept override { return ++asked > 0; }
  };
  Bytes in = {0x00, 0x7a};
  for (int i = 0; i < 400000; ++i) append_reference(in, 1, 264);  // 1.2 MB
  const std::size_t expected = 1 + 264 * std::size_t{400000};
  for (const std::size_t keep : {std::size_t{20}, expected}) {
    SCOPED_TRACE(keep);
    Always stop;
    std::vector<std::uint8_t> scratch;
    const auto got = decompress_prefix_into(in, expected, keep, scratch, &stop);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), "I/O error: Interrupted system call (os error 4)");
    EXPECT_EQ(stop.asked, 1);
  }
}

// ---------------------------------------------------------------------------------------------
// Lengths no stream of the given size can reach fail with the ordinary messages, and cost a
// buffer in proportion to the stream, never to the claim.

TEST(LzfDecompress, UnreachableLengthsCostOnlyWhatTheStreamCouldFill) {
  struct Case {
    Bytes in;
    std::size_t expected_len;
    std::string message;
  };
  const Case cases[] = {
      {{0x00, 0x41}, 176, "parse error: LZF: decompressed length 1 != expected 176"},
      {{0x00, 0x41}, 177, "parse error: LZF: decompressed length 1 != expected 177"},
      {{0x00}, 88, "parse error: LZF: literal run out of bounds"},
      {{0x00}, 89, "parse error: LZF: literal run out of bounds"},
      {{0x20}, 89, "parse error: LZF: invalid back reference"},
      {{0x00, 0x41, 0xe0}, 4294967295u, "parse error: LZF: truncated length byte"},
      {Bytes(16, 0), 4294967295u, "parse error: LZF: decompressed length 8 != expected 4294967295"},
      {{0x00, 0x41}, std::numeric_limits<std::size_t>::max(),
       "parse error: LZF: decompressed length 1 != expected 18446744073709551615"},
      {{}, std::numeric_limits<std::size_t>::max(),
       "parse error: LZF: decompressed length 0 != expected 18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::uint8_t> scratch(7, 0xee);
    const std::size_t largest = largest_allocation([&] {
      EXPECT_EQ(display_of(decompress(c.in, c.expected_len)), c.message);
      const auto into = decompress_into(c.in, c.expected_len, scratch);
      ASSERT_FALSE(into.has_value());
      EXPECT_EQ(into.error().display(), c.message);
    });
    EXPECT_LE(largest, lzf_max_expansion * std::max<std::size_t>(c.in.size(), 1));
  }
}

// A long run of the longest references reaches close to the largest expansion, and the buffer
// bound must leave room for it.
TEST(LzfDecompress, StreamOfLongestReferencesDecodes) {
  // Close to the highest expansion a stream can have: 1 + 264 k bytes from 2 + 3 k.
  for (const std::size_t k : {1u, 2u, 100u, 4000u}) {
    SCOPED_TRACE(k);
    Bytes in = {0x00, 0x7a};
    for (std::size_t i = 0; i < k; ++i) append_reference(in, 1, 264);
    const std::size_t expected = 1 + 264 * k;
    ASSERT_LE(expected, lzf_max_expansion * in.size());
    const auto got = decompress(in, expected);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, repeat(0x7a, expected));
  }
}

// ---------------------------------------------------------------------------------------------
// Back references: every distance up to 20 (and some far ones) with every length, ending at
// the output end or a few bytes before it, against the byte-by-byte reference.

// Empty string when decompress and the reference agree on this layout.
std::string check_layout(std::size_t distance, std::size_t length, std::size_t prefix,
                         std::size_t tail, bool tail_is_reference) {
  Bytes lead(prefix);
  for (std::size_t i = 0; i < prefix; ++i) lead[i] = static_cast<std::uint8_t>(i * 37 + 11);
  Bytes in;
  append_literals(in, lead);
  append_reference(in, distance, length);
  if (tail_is_reference) {
    append_reference(in, 2 + tail % 3, tail);
  } else {
    Bytes lit(tail);
    for (std::size_t i = 0; i < tail; ++i) lit[i] = static_cast<std::uint8_t>(200 + i);
    append_literals(in, lit);
  }
  const std::size_t expected = prefix + length + tail;
  const Reference r = reference_decode(in, expected);
  if (!r.error.empty()) return "reference: " + r.error;
  const auto got = decompress(in, expected);
  if (!got) return got.error().display();
  if (*got != r.out) return "output differs";
  return {};
}

TEST(LzfDecompress, BackReferencesMatchByteByByteCopy) {
  std::size_t layouts = 0;
  for (std::size_t distance = 1; distance <= 20; ++distance) {
    for (std::size_t length = 3; length <= 264; ++length) {
      for (const std::size_t prefix : {distance, distance + 5}) {
        for (std::size_t tail = 0; tail <= 16; ++tail) {
          for (const bool tail_ref : {false, true}) {
            if (tail_ref && tail < 3) continue;
            ++layouts;
            const std::string e = check_layout(distance, length, prefix, tail, tail_ref);
            ASSERT_EQ(e, "") << "distance " << distance << ", length " << length << ", prefix "
                             << prefix << ", tail " << tail << (tail_ref ? " (reference)" : "");
          }
        }
      }
    }
  }
  EXPECT_GT(layouts, 100000u);
}

TEST(LzfDecompress, FarBackReferencesMatchByteByByteCopy) {
  for (const std::size_t distance : {31, 32, 33, 64, 255, 256, 257, 4097, 8191, 8192}) {
    for (std::size_t length = 3; length <= 264; ++length) {
      for (const std::size_t tail : {0, 1, 14, 15, 16, 17, 40}) {
        const std::string e = check_layout(distance, length, distance, tail, false);
        ASSERT_EQ(e, "") << "distance " << distance << ", length " << length << ", tail " << tail;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// decompress_into with a reused scratch buffer.

TEST(LzfDecompressInto, LargerScratchIsUsedInPlaceAndNotWrittenPastTheLength) {
  std::mt19937_64 rng(7);
  // Runs and short periods, so that the stream holds wide and overlapping copies.
  Bytes data;
  for (int i = 0; i < 40; ++i) {
    const Bytes piece = random_bytes(rng, 1 + rng() % 7);
    const std::size_t repeats = 1 + rng() % 40;
    for (std::size_t r = 0; r < repeats; ++r) data.insert(data.end(), piece.begin(), piece.end());
  }
  const Bytes stream = lzf_encode(data);

  std::vector<std::uint8_t> scratch(data.size() + 4096, 0xee);
  const std::size_t size_before = scratch.size();
  const auto got = decompress_into(stream, data.size(), scratch);
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(got->data(), scratch.data());
  EXPECT_EQ(Bytes(got->begin(), got->end()), data);
  EXPECT_EQ(scratch.size(), size_before);
  for (std::size_t i = data.size(); i < scratch.size(); ++i) {
    ASSERT_EQ(scratch[i], 0xee) << "byte " << i << " past the expected length was written";
  }
}

TEST(LzfDecompressInto, SmallerScratchGrowsAndIsReusedAcrossCalls) {
  std::mt19937_64 rng(8);
  const Bytes big = random_bytes(rng, 20000, 4);
  const Bytes small = random_bytes(rng, 300, 3);
  const Bytes big_stream = lzf_encode(big);
  const Bytes small_stream = lzf_encode(small);

  std::vector<std::uint8_t> scratch(10);
  auto first = decompress_into(big_stream, big.size(), scratch);
  ASSERT_TRUE(first.has_value()) << first.error().display();
  EXPECT_EQ(Bytes(first->begin(), first->end()), big);
  ASSERT_GE(scratch.size(), big.size());

  const std::uint8_t* storage = scratch.data();
  auto second = decompress_into(small_stream, small.size(), scratch);
  ASSERT_TRUE(second.has_value()) << second.error().display();
  EXPECT_EQ(second->size(), small.size());
  EXPECT_EQ(Bytes(second->begin(), second->end()), small);
  EXPECT_EQ(scratch.data(), storage);
  EXPECT_GE(scratch.size(), big.size());

  // A failure after a success leaves the buffer usable for the next call.
  const auto failed = decompress_into(small_stream, small.size() + 1, scratch);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "parse error: LZF: decompressed length " +
                                          std::to_string(small.size()) + " != expected " +
                                          std::to_string(small.size() + 1));
  auto third = decompress_into(big_stream, big.size(), scratch);
  ASSERT_TRUE(third.has_value()) << third.error().display();
  EXPECT_EQ(Bytes(third->begin(), third->end()), big);
}

// ---------------------------------------------------------------------------------------------
// Round trips through the test encoder.

TEST(LzfRoundTrip, EncodedInputsDecodeToThemselves) {
  std::mt19937_64 rng(99);
  std::size_t overlapping = 0;
  std::size_t long_refs = 0;
  for (std::size_t n = 0; n <= 3000; n += 1 + n / 16) {
    for (const unsigned alphabet : {256u, 16u, 2u, 1u}) {
      SCOPED_TRACE(testing::Message() << "length " << n << ", alphabet " << alphabet);
      Bytes data = random_bytes(rng, n, alphabet);
      // Splice in copies of earlier stretches, near and far.
      for (std::size_t i = 0; n > 600 && i < 3; ++i) {
        const std::size_t from = rng() % (n / 2);
        const std::size_t to = n / 2 + rng() % (n / 2 - 280);
        const std::size_t len = rng() % 280;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), len,
                    data.begin() + static_cast<std::ptrdiff_t>(to));
      }
      const Bytes stream = lzf_encode(data);
      const Reference r = reference_decode(stream, data.size());
      ASSERT_EQ(r.error, "");
      ASSERT_EQ(r.out, data);
      overlapping += r.overlapping;
      long_refs += r.long_refs;
      const auto got = decompress(stream, data.size());
      ASSERT_TRUE(got.has_value()) << got.error().display();
      ASSERT_EQ(*got, data);
    }
  }
  // The encoder did produce the token kinds the round trip is meant to exercise.
  EXPECT_GT(overlapping, 100u);
  EXPECT_GT(long_refs, 100u);
}

TEST(LzfRoundTrip, TruncatedEncodingsFail) {
  std::mt19937_64 rng(5);
  const Bytes data = random_bytes(rng, 2000, 8);
  const Bytes stream = lzf_encode(data);
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    const Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    const auto got = decompress(prefix, data.size());
    ASSERT_FALSE(got.has_value()) << "prefix of " << cut << " bytes";
    const Reference r = reference_decode(prefix, data.size());
    ASSERT_EQ(got.error().display(), "parse error: " + r.error) << "prefix of " << cut << " bytes";
  }
}

}  // namespace
}  // namespace kestrane::raw
