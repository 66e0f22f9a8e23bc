#include "src/raw/msprofile.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"

namespace kestrane::raw {

namespace {

constexpr std::size_t payload_header_size = 16;  // start of the expanded payload, not interpreted
constexpr std::size_t points_per_piece = std::size_t{1} << 20;  // between two stop checks

// Points [b, e) of the intensities, from the payload's u32 counts. The values come in as
// parameters, so no store through the array can be taken to change them.
void counts_to_intensities(std::span<const std::uint8_t> counts, float* intensity, std::size_t b,
                           std::size_t e) {
  for (std::size_t k = b; k < e; ++k) {
    intensity[k] = static_cast<float>(load_le<std::uint32_t>(counts, 4 * k));
  }
}

// Points [b, e) of an even axis from `first`: a product, then a separate sum (never fused).
void even_axis(double* mz, std::size_t b, std::size_t e, double step, double first) {
  // A 32-bit index converts to double in vector registers (a 64-bit one does not before
  // AVX-512); both conversions are exact, so the values are the same.
  if (e <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    const auto end = static_cast<std::int32_t>(e);
    for (auto k = static_cast<std::int32_t>(b); k < end; ++k) {
      mz[k] = static_cast<double>(k) * step + first;
    }
  } else {
    for (std::size_t k = b; k < e; ++k) mz[k] = static_cast<double>(k) * step + first;
  }
}

}  // namespace

Result<DecodedBlock> decode_profile_block(std::span<const std::uint8_t> block,
                                          const BlockDescriptor& descriptor, double first,
                                          double last, std::pmr::memory_resource* arrays,
                                          std::vector<std::uint8_t>& scratch,
                                          Interrupt* interrupt) {
  if (block.size() < profile_preamble_size) {
    return parse_error("MSProfile block too short for preamble");
  }
  if (!descriptor.uncompressed_byte_count) {
    return parse_error("Missing UncompressedByteCount for profile block");
  }
  const std::uint32_t n = descriptor.point_count;
  // No points: the stream is never expanded, so a malformed one goes unnoticed.
  if (n == 0) {
    return DecodedBlock{vornelle_core::Array<double>(arrays), vornelle_core::Array<float>(arrays)};
  }

  // Only the header and the counts are produced; the rest of the stream is checked. The
  // length check comes after the stream's, as if the whole payload had been expanded.
  const std::size_t expected_len = *descriptor.uncompressed_byte_count;
  const std::uint64_t needed = profile_payload_size(n);
  auto payload = decompress_prefix_into(block.subspan(profile_preamble_size), expected_len,
                                        static_cast<std::size_t>(std::min<std::uint64_t>(
                                            needed, expected_len)),
                                        scratch, interrupt);
  if (!payload) return std::unexpected(std::move(payload).error());
  if (expected_len < needed) {
    return parse_error("Decompressed profile block too short for point count");
  }
  return profile_arrays(*payload, n, first, last, arrays, interrupt);
}

Result<DecodedBlock> profile_arrays(std::span<const std::uint8_t> payload,
                                    std::uint32_t point_count, double first, double last,
                                    std::pmr::memory_resource* arrays, Interrupt* interrupt) {
  DecodedBlock out{vornelle_core::Array<double>(arrays), vornelle_core::Array<float>(arrays)};
  const std::size_t n = point_count;
  if (n == 0) return out;
  out.intensity.resize(n);
  float* intensity = out.intensity.data();
  const auto counts = payload.subspan(payload_header_size);
  // u32 to f32 rounds to nearest, ties to even: 16777217 becomes 16777216.0f.
  bool whole = for_pieces(n, points_per_piece, interrupt, [&](std::size_t b, std::size_t e) {
    counts_to_intensities(counts, intensity, b, e);
  });
  if (!whole) return std::unexpected(interrupted());

  out.mz.resize(n);
  double* mz = out.mz.data();
  const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
  whole = for_pieces(n, points_per_piece, interrupt,
                     [&](std::size_t b, std::size_t e) { even_axis(mz, b, e, step, first); });
  if (!whole) return std::unexpected(interrupted());
  return out;
}

Result<DecodedBlock> decode_profile_block(std::span<const std::uint8_t> block,
                                          const BlockDescriptor& descriptor, double first,
                                          double last, std::pmr::memory_resource* arrays) {
  std::vector<std::uint8_t> scratch;
  return decode_profile_block(block, descriptor, first, last, arrays, scratch);
}

}  // namespace kestrane::raw
