// The scan index, MSScan.bin: a header and one fixed-size record per scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"

namespace kestrane::raw {

inline constexpr std::size_t min_header_size = 92;
inline constexpr std::uint32_t msscan_magic = 257;

// One block descriptor layout: field offsets within the descriptor and the width of the format id.
struct DescriptorLayout {
  std::size_t format_id_width;  // 4 (wide) or 2 (packed)
  std::size_t byte_offset;
  std::size_t byte_count;
  std::size_t point_count;
  std::size_t uncompressed_byte_count;
};
inline constexpr DescriptorLayout wide_layout{4, 4, 12, 16, 20};
inline constexpr DescriptorLayout packed_layout{2, 2, 10, 14, 18};

// What a record of each stride holds.
struct StrideLayout {
  std::uint32_t stride;
  std::size_t descriptor_positions[2];
  std::size_t descriptor_count;
  const DescriptorLayout* descriptor_layout;
  bool has_mrm_channel;
  bool has_precursor_mz;
  bool has_mz_range;
};
// The recognised record sizes, in the order stride detection tries them.
inline constexpr StrideLayout stride_layouts[] = {
    {284, {156, 220}, 2, &wide_layout, false, true, true},
    {220, {156, 0}, 1, &wide_layout, false, true, false},
    {216, {152, 0}, 1, &wide_layout, false, true, false},
    {196, {144, 0}, 1, &wide_layout, true, false, false},
    {186, {136, 0}, 1, &packed_layout, true, false, false},
};

struct MSScan {
  std::vector<ScanRecord> records;  // file order; never empty
  std::uint32_t data_offset = 0;
  std::uint32_t record_stride = 0;

  // Reads MSScan.bin whole and parses it. Io for read failures, otherwise as parse().
  [[nodiscard]] static Result<MSScan> from_path(const std::string& path,
                                                Interrupt* interrupt = nullptr);

  // Parses the bytes of an MSScan.bin image. Parse errors: "MSScan.bin too small for header",
  // "Invalid MSScan magic: N", "MSScan.bin truncated header",
  // "Cannot determine record stride for payload len N"; interrupted() on a stop request.
  [[nodiscard]] static Result<MSScan> parse(std::span<const std::uint8_t> bytes,
                                            Interrupt* interrupt = nullptr);
};

}  // namespace kestrane::raw
