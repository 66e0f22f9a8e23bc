#include "src/raw/mspeak.hpp"

#include <string>

#include "src/raw/le.hpp"

namespace kestrane::raw {

namespace {

constexpr std::uint32_t format_interleaved = 3;
constexpr std::uint32_t format_split = 2;
// Format 2 stores m/z times 100; the decoded value is one IEEE division, not a product by 0.01.
constexpr double split_mz_scale = 100.0;
constexpr std::size_t points_per_piece = std::size_t{1} << 20;  // between two stop checks

}  // namespace

bool is_peak_format(std::uint32_t format_id) noexcept {
  return format_id == format_split || format_id == format_interleaved;
}

Result<DecodedBlock> decode_peak_block(std::span<const std::uint8_t> block,
                                       const BlockDescriptor& descriptor,
                                       std::pmr::memory_resource* arrays,
                                       Interrupt* interrupt) {
  const std::uint32_t format = descriptor.format_id;
  if (!is_peak_format(format)) {
    return parse_error("Unknown peak format ID: " + std::to_string(format));
  }
  const std::size_t n = descriptor.point_count;
  if (peak_bytes_per_point * n > block.size()) return parse_error("Truncated MSPeak.bin block");

  DecodedBlock out{vornelle_core::Array<double>(arrays), vornelle_core::Array<float>(arrays)};
  if (n == 0) return out;
  out.mz.resize(n);
  out.intensity.resize(n);
  double* mz = out.mz.data();
  float* intensity = out.intensity.data();
  const auto intensities = block.subspan(8 * n);  // format 2 only
  const bool whole = for_pieces(n, points_per_piece, interrupt, [&](std::size_t b, std::size_t e) {
    if (format == format_interleaved) {
      for (std::size_t k = b; k < e; ++k) {
        mz[k] = load_le<double>(block, 12 * k);
        intensity[k] = load_le<float>(block, 12 * k + 8);
      }
    } else {
      for (std::size_t k = b; k < e; ++k) mz[k] = load_le<double>(block, 8 * k) / split_mz_scale;
      for (std::size_t k = b; k < e; ++k) intensity[k] = load_le<float>(intensities, 4 * k);
    }
  });
  if (!whole) return std::unexpected(interrupted());
  return out;
}

}  // namespace kestrane::raw
