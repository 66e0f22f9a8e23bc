#include "src/raw/msprofile.hpp"

#include <limits>

#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"

namespace kestrane::raw {

namespace {

constexpr std::size_t preamble_size = 16;        // before the LZF stream, not interpreted
constexpr std::size_t payload_header_size = 16;  // start of the expanded payload, not interpreted

}  // namespace

Result<DecodedBlock> decode_profile_block(std::span<const std::uint8_t> block,
                                          const BlockDescriptor& descriptor, double first,
                                          double last, std::pmr::memory_resource* arrays,
                                          std::vector<std::uint8_t>& scratch) {
  if (block.size() < preamble_size) return parse_error("MSProfile block too short for preamble");
  if (!descriptor.uncompressed_byte_count) {
    return parse_error("Missing UncompressedByteCount for profile block");
  }
  DecodedBlock out{vornelle_core::Array<double>(arrays), vornelle_core::Array<float>(arrays)};
  const std::size_t n = descriptor.point_count;
  // No points: the stream is never expanded, so a malformed one goes unnoticed.
  if (n == 0) return out;

  auto payload = decompress_into(block.subspan(preamble_size),
                                 *descriptor.uncompressed_byte_count, scratch);
  if (!payload) return std::unexpected(std::move(payload).error());
  if (payload->size() < payload_header_size + std::uint64_t{4} * n) {
    return parse_error("Decompressed profile block too short for point count");
  }

  out.intensity.resize(n);
  float* intensity = out.intensity.data();
  const auto counts = payload->subspan(payload_header_size);
  // u32 to f32 rounds to nearest, ties to even: 16777217 becomes 16777216.0f.
  for (std::size_t k = 0; k < n; ++k) {
    intensity[k] = static_cast<float>(load_le<std::uint32_t>(counts, 4 * k));
  }

  // An even axis from `first`: a product, then a separate sum (never fused).
  out.mz.resize(n);
  double* mz = out.mz.data();
  const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
  // A 32-bit index converts to double in vector registers (a 64-bit one does not before
  // AVX-512); both conversions are exact, so the values are the same.
  if (n <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    const auto m = static_cast<std::int32_t>(n);
    for (std::int32_t k = 0; k < m; ++k) mz[k] = static_cast<double>(k) * step + first;
  } else {
    for (std::size_t k = 0; k < n; ++k) mz[k] = static_cast<double>(k) * step + first;
  }
  return out;
}

Result<DecodedBlock> decode_profile_block(std::span<const std::uint8_t> block,
                                          const BlockDescriptor& descriptor, double first,
                                          double last, std::pmr::memory_resource* arrays) {
  std::vector<std::uint8_t> scratch;
  return decode_profile_block(block, descriptor, first, last, arrays, scratch);
}

}  // namespace kestrane::raw
