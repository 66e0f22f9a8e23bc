#include "src/mzml/binary.hpp"

#include <libdeflate.h>

#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kestrane::mzml {

// Narrowing out-of-range values to float is then defined: it gives infinity, which fails the check.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

namespace {

template <class T>
std::span<const std::uint8_t> little_endian_bytes(std::span<const T> values,
                                                  std::vector<std::uint8_t>& scratch) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(values.data()),
                                            values.size_bytes());
  if constexpr (std::endian::native == std::endian::little) {
    return bytes;
  } else {
    using U = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    scratch.resize(bytes.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const U u = std::byteswap(std::bit_cast<U>(values[i]));
      std::memcpy(scratch.data() + i * sizeof(U), &u, sizeof(U));
    }
    return scratch;
  }
}

}  // namespace

bool narrow_exactly(std::span<const double> values, std::vector<float>& out) {
  out.resize(values.size());
  bool exact = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float f = static_cast<float>(values[i]);
    out[i] = f;
    exact &= std::bit_cast<std::uint64_t>(static_cast<double>(f)) ==
             std::bit_cast<std::uint64_t>(values[i]);
  }
  return exact;
}

ArrayEncoder::ArrayEncoder(int compression_level, NumpressCodes numpress)
    : numpress_codes_(numpress) {
  if (compression_level > 0) {
    compressor_ = libdeflate_alloc_compressor(compression_level);
    if (compressor_ == nullptr) throw std::bad_alloc();
  }
}

ArrayEncoder::ArrayEncoder(ArrayEncoder&& other) noexcept
    : compressor_(std::exchange(other.compressor_, nullptr)),
      narrow_(std::move(other.narrow_)),
      little_endian_(std::move(other.little_endian_)),
      compressed_(std::move(other.compressed_)) {}

ArrayEncoder::~ArrayEncoder() {
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
}

PackedArray ArrayEncoder::pack(std::span<const double> values, bool allow_float32,
                               Numpress code) {
  PackedArray packed{Width::float64, false, {}};
  if (code != Numpress::none && numpress::encode(code, values, numpress_)) {
    packed.numpress = code;
    packed.bytes = numpress_;
  } else if (allow_float32 && narrow_exactly(values, narrow_)) {
    packed.width = Width::float32;
    packed.bytes = little_endian_bytes(std::span<const float>(narrow_), little_endian_);
  } else {
    packed.bytes = little_endian_bytes(values, little_endian_);
  }
  compress(packed);
  return packed;
}

void ArrayEncoder::compress(PackedArray& packed) {
  if (compressor_ == nullptr || packed.bytes.empty()) return;
  const std::size_t bound =
      libdeflate_zlib_compress_bound(compressor_, packed.bytes.size());
  if (compressed_.size() < bound) compressed_.resize(bound);
  const std::size_t n = libdeflate_zlib_compress(compressor_, packed.bytes.data(),
                                                 packed.bytes.size(), compressed_.data(), bound);
  // n == 0 means the bound did not hold; the array then goes out uncompressed, still exact.
  if (n != 0) {
    packed.compressed = true;
    packed.bytes = std::span<const std::uint8_t>(compressed_).first(n);
  }
}

}  // namespace kestrane::mzml
