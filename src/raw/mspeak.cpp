#include "src/raw/mspeak.hpp"

#include <string>

#include "src/raw/le.hpp"

namespace kestrane::raw {

namespace {

constexpr std::uint64_t bytes_per_point = 12;  // f64 m/z and f32 intensity, in either layout
constexpr std::uint32_t format_interleaved = 3;
constexpr std::uint32_t format_split = 2;
// Format 2 stores m/z times 100; the decoded value is one IEEE division, not a product by 0.01.
constexpr double split_mz_scale = 100.0;

}  // namespace

Result<DecodedBlock> decode_peak_block(std::span<const std::uint8_t> block,
                                       const BlockDescriptor& descriptor,
                                       std::pmr::memory_resource* arrays) {
  const std::uint32_t format = descriptor.format_id;
  if (format != format_split && format != format_interleaved) {
    return parse_error("Unknown peak format ID: " + std::to_string(format));
  }
  const std::size_t n = descriptor.point_count;
  if (bytes_per_point * n > block.size()) return parse_error("Truncated MSPeak.bin block");

  DecodedBlock out{vornelle_core::Array<double>(arrays), vornelle_core::Array<float>(arrays)};
  if (n == 0) return out;
  out.mz.resize(n);
  out.intensity.resize(n);
  double* mz = out.mz.data();
  float* intensity = out.intensity.data();
  if (format == format_interleaved) {
    for (std::size_t k = 0; k < n; ++k) {
      mz[k] = load_le<double>(block, 12 * k);
      intensity[k] = load_le<float>(block, 12 * k + 8);
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) mz[k] = load_le<double>(block, 8 * k) / split_mz_scale;
    const auto intensities = block.subspan(8 * n);
    for (std::size_t k = 0; k < n; ++k) intensity[k] = load_le<float>(intensities, 4 * k);
  }
  return out;
}

}  // namespace kestrane::raw
