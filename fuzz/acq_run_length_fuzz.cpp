// decode_run_length on arbitrary blocks, against a plain reference decoder written from the
// format rules. Input: u32 LE point count (taken modulo 2^20, so that a run allocates little),
// then the block. Invariants: the decoder and the reference agree on success, on every value
// and on the error message; values are integers in [0, 2^31); the float32 decode gives their
// roundings and says exact when no value lies above 2^24; a second decode into the dirty array
// gives the same bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/acq/codecs.hpp"
#include "src/raw/le.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "acq_run_length_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

// The rules, one token at a time: result values, or the message.
struct Reference {
  std::vector<double> values;
  std::string message;
};

Reference reference(std::span<const std::uint8_t> b, std::uint64_t claim) {
  using kestrane::raw::load_le;
  Reference r;
  const auto error = [&](std::string m) {
    r.message = "parse error: run-length: " + m;
    r.values.clear();
    return r;
  };
  if (b.size() < 24) return error("block shorter than its 24-byte head");
  const auto word = load_le<std::uint32_t>(b, 16);
  if (word >> 24 != 0x90) return error("point count word has no 0x90 tag");
  const std::uint64_t n = word & 0xFFFFFF;
  if (n != claim) {
    return error("block holds " + std::to_string(n) + " points, its record " + std::to_string(claim));
  }
  if (n > 16 * b.size()) {
    return error(std::to_string(n) + " points from a block of " + std::to_string(b.size()) +
                 " bytes, more than 16 a byte");
  }
  const auto lead = static_cast<std::int32_t>(load_le<std::uint32_t>(b, 20));
  if (lead > 0) return error("leading zero count is positive");
  if (static_cast<std::uint64_t>(-static_cast<std::int64_t>(lead)) > n) {
    return error("more leading zeros than points");
  }
  r.values.assign(n, 0.0);
  std::uint64_t pos = static_cast<std::uint64_t>(-static_cast<std::int64_t>(lead));
  std::size_t in = 24;
  unsigned w = 4;
  while (in < b.size()) {
    if (w > b.size() - in) return error("token cut short");
    std::int64_t v = 0;
    if (w == 1) v = static_cast<std::int8_t>(b[in]);
    if (w == 2) v = static_cast<std::int16_t>(load_le<std::uint16_t>(b, in));
    if (w == 4) v = static_cast<std::int32_t>(load_le<std::uint32_t>(b, in));
    in += w;
    if (v >= 0) {
      if (pos == n) return error("literal after the last point");
      r.values[pos++] = static_cast<double>(v);
      continue;
    }
    const std::int64_t q = (-v) / 4, f = (-v) % 4;
    if (f == 0) return error("width flag 0");
    if (static_cast<std::uint64_t>(q) > n - pos) return error("skip past the last point");
    pos += static_cast<std::uint64_t>(q);
    w = f == 3 ? 4 : static_cast<unsigned>(f);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::span<const std::uint8_t> input(data, size);
  const std::uint64_t claim = kestrane::raw::load_le<std::uint32_t>(input, 0) % (1u << 20);
  const std::span<const std::uint8_t> block(data + 4, size - 4);
  kestrane::acq::DoubleArray out;
  const auto axis = kestrane::acq::decode_run_length(block, claim, out);
  const Reference expected = reference(block, claim);
  kestrane::acq::FloatArray narrow;
  bool exact = false;
  const auto narrow_axis = kestrane::acq::decode_run_length(block, claim, narrow, exact);
  if (!axis) {
    if (axis.error().display() != expected.message) {
      fail("message differs:", axis.error().display() + " vs " + expected.message);
    }
    if (narrow_axis || narrow_axis.error().display() != expected.message) {
      fail("the float32 decode fails otherwise");
    }
    return 0;
  }
  if (!expected.message.empty()) fail("decoded a block the rules refuse:", expected.message);
  if (out.size() != expected.values.size() ||
      (!out.empty() && std::memcmp(out.data(), expected.values.data(), 8 * out.size()) != 0)) {
    fail("values differ from the rules");
  }
  for (const double v : out) {
    if (!(v >= 0.0 && v < 2147483648.0)) fail("value out of range");
  }
  // Decoded as float32: the same values, exact exactly when none lies above 2^24.
  if (!narrow_axis || narrow.size() != out.size()) {
    fail("the float32 decode differs");
  }
  bool holds = true;
  for (std::size_t k = 0; k < out.size(); ++k) {
    holds = holds && out[k] <= 16777216.0;
    if (narrow[k] != static_cast<float>(out[k])) fail("a float32 value differs");
  }
  if (exact != holds) fail("the float32 decode misjudges its exactness");
  static kestrane::acq::DoubleArray dirty;  // keeps values of earlier inputs
  if (!kestrane::acq::decode_run_length(block, claim, dirty) || dirty.size() != out.size() ||
      (!out.empty() && std::memcmp(dirty.data(), out.data(), 8 * out.size()) != 0)) {
    fail("a reused array changed the result");
  }
  return 0;
}
