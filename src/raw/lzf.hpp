// LZF stream expansion to an exact, known length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"

namespace kestrane::raw {

// The most output bytes one input byte can account for: a 3-byte long back reference yields
// 264 bytes, 88 per byte; literals and short references yield less.
inline constexpr std::size_t lzf_max_expansion = 88;

// Expands `in` to exactly `expected_len` bytes. Parse errors, one per malformation:
// "LZF: truncated length byte", "LZF: literal run out of bounds", "LZF: truncated reference
// byte", "LZF: invalid back reference", "LZF: match run exceeds output bounds",
// "LZF: decompressed length N != expected M". Memory is bounded by the input, not the claim:
// an expected length beyond lzf_max_expansion bytes per input byte cannot be reached, and the
// buffer for such a stream is only as large as the stream could ever fill.
[[nodiscard]] Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> in,
                                                           std::size_t expected_len);

// As decompress, into `scratch`, which grows when it is too small and never shrinks, so that
// one buffer serves many calls. Returns the expanded bytes, a view of `scratch`.
[[nodiscard]] Result<std::span<const std::uint8_t>> decompress_into(
    std::span<const std::uint8_t> in, std::size_t expected_len,
    std::vector<std::uint8_t>& scratch);

// As decompress_into, but only the first `keep` bytes of the expansion (at most expected_len)
// are produced: the rest of the stream is checked, control bytes and distances, without writing
// it, so the outcome and every message are those of decompress while the output costs `keep`
// bytes. Returns the first `keep` bytes, a view of `scratch`; interrupted() on a stop request.
[[nodiscard]] Result<std::span<const std::uint8_t>> decompress_prefix_into(
    std::span<const std::uint8_t> in, std::size_t expected_len, std::size_t keep,
    std::vector<std::uint8_t>& scratch, Interrupt* interrupt = nullptr);

// One expansion of a stream that several descriptors share: its first `in_len` bytes expanded
// to `expected_len`.
struct LzfCut {
  std::size_t in_len = 0;
  std::size_t expected_len = 0;
};

// The outcome of every cut of `in`, found in one pass over it whatever the number of cuts:
// outcomes[i] is what decompress(in.first(cuts[i].in_len), cuts[i].expected_len) gives (an
// in_len beyond in.size() counts as in.size()). The first `keep` bytes of the expansion are
// produced as by decompress_prefix_into, the rest only checked; they are the same for every cut
// that succeeds. Returns a view of scratch holding at least min(keep, expected_len) valid bytes
// for each cut that succeeds, and at most `keep`; interrupted() on a stop request.
[[nodiscard]] Result<std::span<const std::uint8_t>> expand_cuts(
    std::span<const std::uint8_t> in, std::span<const LzfCut> cuts, std::size_t keep,
    std::span<Result<void>> outcomes, std::vector<std::uint8_t>& scratch,
    Interrupt* interrupt = nullptr);

}  // namespace kestrane::raw
