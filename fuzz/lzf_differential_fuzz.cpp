// decompress against liblzf's lzf_decompress. Input: u32 LE expected length, then the stream.
// The two decoders differ by design in one respect: ours stops once the output is full and never
// looks at the bytes after that, where liblzf decodes every token of its input. So:
//  - when ours succeeds, liblzf expands the prefix that ours consumed to the same bytes;
//  - when liblzf expands the whole stream to exactly the expected length, ours gives those bytes;
//  - when liblzf runs out of input after r bytes (0 < r < expected), ours reports r.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <lzf.h>

#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "lzf_differential_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

// The length of the token prefix whose output is exactly `expected` bytes, if there is one. Only
// token sizes are looked at, not whether references are valid.
std::optional<std::size_t> prefix_filling(std::span<const std::uint8_t> in,
                                          std::size_t expected) {
  std::size_t ip = 0;
  std::size_t produced = 0;
  while (ip < in.size() && produced < expected) {
    const unsigned c = in[ip];
    std::size_t token = 2;
    std::size_t len;
    if (c < 0x20) {
      token = 1 + std::size_t{c} + 1;
      len = std::size_t{c} + 1;
    } else if ((c >> 5) == 7) {
      token = 3;
      if (ip + 1 >= in.size()) return std::nullopt;
      len = 7 + std::size_t{in[ip + 1]} + 2;
    } else {
      len = (c >> 5) + 2;
    }
    if (token > in.size() - ip) return std::nullopt;
    ip += token;
    produced += len;
  }
  if (produced != expected) return std::nullopt;
  return ip;
}

// liblzf's output for `in` into a buffer of `out_len` bytes; nullopt when it reports an error.
// liblzf reads its first control byte unconditionally, so `in` must not be empty.
std::optional<std::vector<std::uint8_t>> liblzf_expand(std::span<const std::uint8_t> in,
                                                       std::size_t out_len) {
  std::vector<std::uint8_t> out(out_len);
  const unsigned got =
      lzf_decompress(in.data(), static_cast<unsigned>(in.size()), out.data(),
                     static_cast<unsigned>(out_len));
  if (got == 0) return std::nullopt;
  out.resize(got);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::span<const std::uint8_t> input(data, size);
  const std::size_t expected = kestrane::raw::load_le<std::uint32_t>(input, 0);
  const auto in = input.subspan(4);

  auto ours = kestrane::raw::decompress(in, expected);
  if (expected == 0) {
    if (!ours || !ours->empty()) fail("expected length 0 must give an empty output");
    return 0;
  }
  if (in.empty()) {
    if (ours) fail("an empty stream expanded to a non-empty output");
    return 0;
  }
  if (expected > kestrane::raw::lzf_max_expansion * in.size()) {
    // Unreachable by any stream of this size, so it must fail; liblzf is not asked, since it
    // would need a buffer of the claimed size.
    if (ours) fail("decoded a length beyond the maximal expansion");
    return 0;
  }

  if (ours) {
    const auto prefix = prefix_filling(in, expected);
    if (!prefix) fail("ours succeeded, but no token prefix fills the expected length");
    const auto theirs = liblzf_expand(in.first(*prefix), expected);
    if (!theirs) fail("ours succeeded where liblzf refuses the consumed prefix");
    if (*theirs != *ours) fail("ours and liblzf expand the consumed prefix differently");
  }

  const auto theirs = liblzf_expand(in, expected);
  if (theirs && theirs->size() == expected) {
    if (!ours) fail("liblzf expands the stream, ours fails:", ours.error().display());
    if (*ours != *theirs) fail("ours and liblzf expand the stream differently");
  } else if (theirs) {
    // liblzf used up the input early; ours must report exactly that shortfall.
    const std::string want = "parse error: LZF: decompressed length " +
                             std::to_string(theirs->size()) + " != expected " +
                             std::to_string(expected);
    if (ours) fail("ours succeeded where the input runs out early");
    if (ours.error().display() != want) {
      fail("wrong shortfall message:", ours.error().display() + " (want " + want + ")");
    }
  }
  return 0;
}
