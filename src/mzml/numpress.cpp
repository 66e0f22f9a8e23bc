#include "src/mzml/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace kestrane::mzml::numpress {

namespace {

constexpr double int32_max = 2147483647.0;
constexpr double uint16_max = 65535.0;
// Scaled values stay below this, so that their second differences are exact in 64 bits.
constexpr double scaled_limit = 0x1p61;

bool all_finite_non_negative(std::span<const double> values) {
  return std::all_of(values.begin(), values.end(),
                     [](double x) { return std::isfinite(x) && x >= 0.0; });
}

// The fixed point: the 8 bytes of the double, most significant first.
void put_fixed_point(std::vector<std::uint8_t>& out, double fixed_point) {
  const auto bits = std::bit_cast<std::uint64_t>(fixed_point);
  for (int shift = 56; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
}

void put_uint32_le(std::vector<std::uint8_t>& out, std::uint32_t u) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(u >> shift));
}

// A stream of half-bytes, the first of each byte in its high half; a last odd half-byte is
// followed by a zero one, which decoders read as the end.
class HalfBytes {
 public:
  explicit HalfBytes(std::vector<std::uint8_t>& out) : out_(out) {}

  void put(std::uint32_t nibble) {
    const auto h = static_cast<std::uint8_t>(nibble & 0xf);
    if (high_) {
      out_.push_back(static_cast<std::uint8_t>(h << 4));
    } else {
      out_.back() = static_cast<std::uint8_t>(out_.back() | h);
    }
    high_ = !high_;
  }

  // A 32-bit integer: a head half-byte giving the leading half-bytes left out (0 to 8 zero ones,
  // or 8 + 0 to 7 ones of 0xf for negative numbers), then the others, least significant first.
  void put_int(std::uint32_t u) {
    const std::uint32_t top = u >> 28;
    unsigned skipped = 0;
    std::uint32_t head = 0;
    const auto nibble = [u](unsigned from_top) { return (u >> (28 - 4 * from_top)) & 0xf; };
    if (top == 0) {
      while (skipped < 8 && nibble(skipped) == 0) ++skipped;
      head = skipped;
    } else if (top == 0xf) {
      while (skipped < 7 && nibble(skipped) == 0xf) ++skipped;
      head = 8 + skipped;
    }
    put(head);
    for (unsigned i = 0; i < 8 - skipped; ++i) put(u >> (4 * i));
  }

 private:
  std::vector<std::uint8_t>& out_;
  bool high_ = true;
};

bool encode_linear(std::span<const double> values, std::vector<std::uint8_t>& out) {
  // Decoders refuse the 12 bytes of a single value.
  if (values.size() < 2) return false;
  const double fixed_point = linear_fixed_point(values);
  if (!(fixed_point >= 1.0)) return false;
  // Each value scaled and rounded; the decoder gives back scaled / fixed_point.
  const auto scaled = [fixed_point](double x, std::int64_t& q) {
    const double s = std::round(x * fixed_point);
    if (!(s < scaled_limit)) return false;
    q = static_cast<std::int64_t>(s);
    const double decoded = static_cast<double>(q) / fixed_point;
    return std::fabs(decoded - x) <= linear_tolerance * std::max(x, 1.0);
  };
  put_fixed_point(out, fixed_point);
  // The first two scaled values as 32-bit integers, then the residuals of the prediction
  // x[i-1] + (x[i-1] - x[i-2]) as half-byte integers.
  HalfBytes stream(out);
  std::int64_t q[3] = {0, 0, 0};  // two values before, one before, this one
  for (std::size_t i = 0; i < values.size(); ++i) {
    q[0] = q[1];
    q[1] = q[2];
    if (!scaled(values[i], q[2])) return false;
    if (i < 2) {
      if (q[2] > static_cast<std::int64_t>(int32_max)) return false;
      put_uint32_le(out, static_cast<std::uint32_t>(q[2]));
      continue;
    }
    const std::int64_t residual = q[2] - (2 * q[1] - q[0]);
    if (residual < INT32_MIN || residual > INT32_MAX) return false;
    stream.put_int(static_cast<std::uint32_t>(static_cast<std::int32_t>(residual)));
  }
  return true;
}

bool encode_pic(std::span<const double> values, std::vector<std::uint8_t>& out) {
  HalfBytes stream(out);
  for (const double x : values) {
    // Round half away from zero: x + 0.5 would round 0.49999999999999994 up.
    const double count = std::round(x);
    if (count > int32_max) return false;
    stream.put_int(static_cast<std::uint32_t>(count));
  }
  return true;
}

bool encode_slof(std::span<const double> values, std::vector<std::uint8_t>& out) {
  const double fixed_point = slof_fixed_point(values);
  put_fixed_point(out, fixed_point);
  for (const double x : values) {
    const double s = std::round(std::log1p(x) * fixed_point);
    if (!(s <= uint16_max)) return false;
    const double decoded = std::exp(s / fixed_point) - 1.0;
    if (!(std::fabs(decoded - x) <= slof_tolerance * (x + 1.0))) return false;
    const auto u = static_cast<std::uint16_t>(s);
    out.push_back(static_cast<std::uint8_t>(u));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return true;
}

}  // namespace

double linear_fixed_point(std::span<const double> values) {
  double m = 1.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i < 2) {
      m = std::max(m, values[i]);
    } else {
      const double residual = values[i] - (2.0 * values[i - 1] - values[i - 2]);
      m = std::max(m, std::ceil(std::fabs(residual) + 1.0));
    }
  }
  return std::floor(int32_max / m);
}

double slof_fixed_point(std::span<const double> values) {
  double m = 1.0;
  for (const double x : values) m = std::max(m, std::log1p(x));
  return std::floor(uint16_max / m);
}

bool encode(Numpress code, std::span<const double> values, std::vector<std::uint8_t>& out) {
  out.clear();
  if (values.empty() || !all_finite_non_negative(values)) return false;
  switch (code) {
    case Numpress::linear: return encode_linear(values, out);
    case Numpress::pic: return encode_pic(values, out);
    case Numpress::slof: return encode_slof(values, out);
    case Numpress::none: break;
  }
  return false;
}

}  // namespace kestrane::mzml::numpress
