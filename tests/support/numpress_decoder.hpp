// Test-only MS-Numpress decoders, from the format's description: the values a reader gets back
// from the bytes of numpress::encode. nullopt for bytes no encoder would write.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/mzml/numpress.hpp"

namespace kestrane::test {

// Half-bytes, the high one of each byte first; a last lone zero half-byte is padding.
class HalfByteReader {
 public:
  explicit HalfByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool at_end() const {
    const std::size_t left = 2 * bytes_.size() - pos_;
    return left == 0 || (left == 1 && nibble(pos_) == 0);
  }

  // A head half-byte (0-8: that many leading zero half-bytes left out, 9-15: that many minus 8
  // leading 0xf ones), then the others, least significant first.
  std::optional<std::uint32_t> read_int() {
    if (at_end()) return std::nullopt;
    const std::uint32_t head = nibble(pos_++);
    const unsigned skipped = head <= 8 ? head : head - 8;
    std::uint32_t u = head <= 8 ? 0 : ~std::uint32_t{0} << (32 - 4 * skipped);
    if (8 - skipped > 2 * bytes_.size() - pos_) return std::nullopt;
    for (unsigned i = 0; i < 8 - skipped; ++i) u |= nibble(pos_++) << (4 * i);
    return u;
  }

 private:
  std::uint32_t nibble(std::size_t i) const {
    const std::uint8_t b = bytes_[i / 2];
    return i % 2 == 0 ? b >> 4 : b & 0xfu;
  }
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

inline double numpress_fixed_point(std::span<const std::uint8_t> bytes) {
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < 8; ++i) u = u << 8 | bytes[i];
  return std::bit_cast<double>(u);
}

inline std::optional<std::vector<double>> numpress_decode(mzml::Numpress code,
                                                          std::span<const std::uint8_t> bytes) {
  std::vector<double> out;
  if (code == mzml::Numpress::pic) {
    HalfByteReader in(bytes);
    while (!in.at_end()) {
      const auto u = in.read_int();
      if (!u) return std::nullopt;
      out.push_back(static_cast<double>(*u));
    }
    return out;
  }
  if (bytes.size() < 8) return std::nullopt;
  const double fixed_point = numpress_fixed_point(bytes);
  if (code == mzml::Numpress::slof) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 8; i < bytes.size(); i += 2) {
      const unsigned u = bytes[i] | unsigned{bytes[i + 1]} << 8;
      out.push_back(std::exp(u / fixed_point) - 1.0);
    }
    return out;
  }
  // Linear: two 32-bit little-endian scaled values, then residuals of 2 q[i-1] - q[i-2].
  std::int64_t q[3] = {0, 0, 0};
  for (std::size_t i = 8; i < 16 && i < bytes.size(); i += 4) {
    if (bytes.size() - i < 4) return std::nullopt;
    q[0] = q[1];
    q[1] = q[2];
    q[2] = std::int64_t{bytes[i]} | std::int64_t{bytes[i + 1]} << 8 |
           std::int64_t{bytes[i + 2]} << 16 | std::int64_t{bytes[i + 3]} << 24;
    out.push_back(static_cast<double>(q[2]) / fixed_point);
  }
  if (bytes.size() <= 16) return out;
  HalfByteReader in(bytes.subspan(16));
  while (!in.at_end()) {
    const auto u = in.read_int();
    if (!u) return std::nullopt;
    q[0] = q[1];
    q[1] = q[2];
    q[2] = 2 * q[1] - q[0] + static_cast<std::int32_t>(*u);
    out.push_back(static_cast<double>(q[2]) / fixed_point);
  }
  return out;
}

}  // namespace kestrane::test
