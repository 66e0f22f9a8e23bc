// Plain values shared by the decoders of the three data files: where a block lies, what one
// index record holds, and the arrays a block decodes to.
#pragma once

#include <cstdint>
#include <optional>

#include "core/types.hpp"

namespace kestrane::raw {

// Where one scan's data block lies: format 1 in MSProfile.bin, 2 or 3 in MSPeak.bin.
struct BlockDescriptor {
  std::uint32_t format_id = 0;
  std::uint64_t byte_offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::optional<std::uint32_t> uncompressed_byte_count;  // present for format 1

  friend bool operator==(const BlockDescriptor&, const BlockDescriptor&) = default;
};

struct ScanRecord {
  std::uint32_t scan_id = 0;
  double retention_time_min = 0.0;
  std::uint32_t ms_level = 0;
  std::optional<std::uint32_t> mrm_channel;     // strides 196 and 186
  std::optional<double> precursor_mz;           // MS level >= 2, strides 284, 220, 216
  std::optional<double> mz_range_start;         // stride 284
  std::optional<double> mz_range_end;           // stride 284
  std::optional<BlockDescriptor> profile_block;
  std::optional<BlockDescriptor> peak_block;
};

// Parallel arrays of one decoded block, allocated once at their final size.
struct DecodedBlock {
  vornelle_core::Array<double> mz;
  vornelle_core::Array<float> intensity;
};

}  // namespace kestrane::raw
