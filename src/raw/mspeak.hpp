// Peak blocks of MSPeak.bin: 12 bytes a point, interleaved (format 3) or as two arrays (2).
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "../../core/types.hpp"
#include "../error.hpp"
#include "msscan.hpp"

namespace kestrane::raw {

// Parallel arrays of one decoded block, allocated once at their final size.
struct DecodedBlock {
  vornelle_core::Array<double> mz;
  vornelle_core::Array<float> intensity;
};

// Decodes the `point_count` points of a peak block. Parse errors: "Unknown peak format ID: N"
// (tested first), "Truncated MSPeak.bin block". Arrays come from `arrays`.
[[nodiscard]] Result<DecodedBlock> decode_peak_block(
    std::span<const std::uint8_t> block, const BlockDescriptor& descriptor,
    std::pmr::memory_resource* arrays = std::pmr::get_default_resource());

}  // namespace kestrane::raw
