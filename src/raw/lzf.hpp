// LZF stream expansion to an exact, known length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "src/error.hpp"

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

}  // namespace kestrane::raw
