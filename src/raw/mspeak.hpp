// Peak blocks of MSPeak.bin: 12 bytes a point, interleaved (format 3) or as two arrays (2).
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"

namespace kestrane::raw {

// Decodes the `point_count` points of a peak block. Parse errors: "Unknown peak format ID: N"
// (tested first), "Truncated MSPeak.bin block". Arrays come from `arrays`. Only the first
// 12 * point_count bytes of `block` are read. interrupted() on a stop request.
[[nodiscard]] Result<DecodedBlock> decode_peak_block(
    std::span<const std::uint8_t> block, const BlockDescriptor& descriptor,
    std::pmr::memory_resource* arrays = std::pmr::get_default_resource(),
    Interrupt* interrupt = nullptr);

}  // namespace kestrane::raw
