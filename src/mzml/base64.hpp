// Base64 (RFC 4648, standard alphabet, with padding) of binary arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrane::mzml {

// Characters of the encoding of n bytes: 4 per started group of 3.
constexpr std::size_t base64_length(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// Appends the encoding of `bytes` to `out`.
void append_base64(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace kestrane::mzml
