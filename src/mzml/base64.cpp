#include "src/mzml/base64.hpp"

#include <array>
#include <cstring>

namespace kestrane::mzml {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value: one lookup per half of a 3-byte group.
constexpr std::array<char, 2 * 4096> pair_table = [] {
  std::array<char, 2 * 4096> t{};
  for (std::size_t v = 0; v < 4096; ++v) {
    t[2 * v] = alphabet[v >> 6];
    t[2 * v + 1] = alphabet[v & 63];
  }
  return t;
}();

}  // namespace

void append_base64(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  const std::size_t n = bytes.size();
  const std::size_t length = start + base64_length(n);
  // The length is returned as computed here: libstdc++ 12 may pass the grown capacity instead.
  out.resize_and_overwrite(length, [&](char* p, std::size_t) {
    std::size_t in = 0;
    std::size_t o = start;
    for (; n - in >= 3; in += 3, o += 4) {
      const std::uint32_t v = std::uint32_t{bytes[in]} << 16 | std::uint32_t{bytes[in + 1]} << 8 |
                              std::uint32_t{bytes[in + 2]};
      std::memcpy(p + o, &pair_table[2 * (v >> 12)], 2);
      std::memcpy(p + o + 2, &pair_table[2 * (v & 4095)], 2);
    }
    if (n - in == 1) {
      const std::uint32_t v = std::uint32_t{bytes[in]} << 4;
      std::memcpy(p + o, &pair_table[2 * v], 2);
      p[o + 2] = '=';
      p[o + 3] = '=';
    } else if (n - in == 2) {
      const std::uint32_t v = std::uint32_t{bytes[in]} << 10 | std::uint32_t{bytes[in + 1]} << 2;
      std::memcpy(p + o, &pair_table[2 * (v >> 6)], 2);
      p[o + 2] = alphabet[v & 63];
      p[o + 3] = '=';
    }
    return length;
  });
}

}  // namespace kestrane::mzml
