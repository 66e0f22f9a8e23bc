// decompress on arbitrary streams. Input: u32 LE expected length, then the stream.
// Invariants: a success has exactly the expected length; a failure is a parse error with one of
// the decoder's messages; decompress_into with a reused, dirty scratch buffer agrees with
// decompress byte for byte and error for error; so does decompress_prefix_into, over a prefix
// of the output whose length the stream's last byte picks, and so does decompress on the stream
// cut after 2 * expected + 2 bytes, a part no check goes beyond; expand_cuts decides cuts of the
// stream (input and expected lengths picked by its first bytes) as decompress decides each.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "lzf_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool known_message(const std::string& text) {
  static constexpr std::string_view fixed[] = {
      "parse error: LZF: truncated length byte",   "parse error: LZF: literal run out of bounds",
      "parse error: LZF: truncated reference byte", "parse error: LZF: invalid back reference",
      "parse error: LZF: match run exceeds output bounds",
  };
  for (const auto message : fixed) {
    if (text == message) return true;
  }
  return starts_with(text, "parse error: LZF: decompressed length ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::span<const std::uint8_t> input(data, size);
  const std::size_t expected = kestrane::raw::load_le<std::uint32_t>(input, 0);
  const auto stream = input.subspan(4);

  auto out = kestrane::raw::decompress(stream, expected);
  if (out) {
    if (out->size() != expected) fail("output length differs from the expected length");
  } else {
    if (!out.error().is_parse()) fail("decompress returned a non-parse error");
    if (!known_message(out.error().display())) fail("unknown message:", out.error().display());
  }

  // A scratch buffer that outlives the call and holds bytes of earlier inputs.
  static std::vector<std::uint8_t> scratch;
  auto view = kestrane::raw::decompress_into(stream, expected, scratch);
  if (out.has_value() != view.has_value()) fail("decompress and decompress_into disagree");
  if (out) {
    if (view->size() != expected) fail("decompress_into: wrong output length");
    if (!std::equal(view->begin(), view->end(), out->begin())) {
      fail("decompress_into produced other bytes than decompress");
    }
  } else if (out.error().display() != view.error().display()) {
    fail("decompress and decompress_into report different errors:",
         out.error().display() + " / " + view.error().display());
  }

  const std::size_t keep = stream.empty() ? 0 : expected * stream.back() / 255;
  auto prefix = kestrane::raw::decompress_prefix_into(stream, expected, keep, scratch);
  if (out.has_value() != prefix.has_value()) fail("decompress and its prefix disagree");
  if (out) {
    if (prefix->size() != keep || !std::equal(prefix->begin(), prefix->end(), out->begin())) {
      fail("the prefix differs from the start of the output");
    }
  } else if (out.error().display() != prefix.error().display()) {
    fail("decompress and its prefix report different errors:", prefix.error().display());
  }

  const auto head = stream.first(std::min<std::size_t>(stream.size(), 2 * expected + 2));
  auto cut = kestrane::raw::decompress(head, expected);
  if (out.has_value() != cut.has_value() ||
      (!out && out.error().display() != cut.error().display())) {
    fail("a stream cut after 2 * expected + 2 bytes decodes otherwise");
  }

  const auto pick = [&](std::size_t i, std::size_t whole) {
    return i < stream.size() ? whole * stream[i] / 255 : whole;
  };
  const kestrane::raw::LzfCut cuts[] = {{stream.size(), expected},
                                        {pick(0, stream.size()), expected},
                                        {stream.size(), pick(1, expected)},
                                        {pick(2, stream.size()), pick(3, 2 * expected)}};
  kestrane::Result<void> outcomes[std::size(cuts)];
  auto kept = kestrane::raw::expand_cuts(stream, cuts, keep, outcomes, scratch);
  if (!kept) fail("expand_cuts failed:", kept.error().display());
  for (std::size_t i = 0; i < std::size(cuts); ++i) {
    auto one = kestrane::raw::decompress(stream.first(cuts[i].in_len), cuts[i].expected_len);
    if (one.has_value() != outcomes[i].has_value() ||
        (!one && one.error().display() != outcomes[i].error().display())) {
      fail("a cut is decided otherwise than by decompress:", std::to_string(i));
    }
    const std::size_t want = std::min(keep, cuts[i].expected_len);
    if (one && (kept->size() < want || !std::equal(one->begin(), one->begin() + want,
                                                    kept->begin()))) {
      fail("the kept bytes differ from the start of a cut's output:", std::to_string(i));
    }
  }
  return 0;
}
