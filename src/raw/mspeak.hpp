// Peak blocks of MSPeak.bin: 12 bytes a point, interleaved (format 3) or as two arrays (2).
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"

namespace kestrane::raw {

// Bytes a point takes in either layout: f64 m/z and f32 intensity.
inline constexpr std::uint64_t peak_bytes_per_point = 12;

// Whether decode_peak_block knows the format: 2 (two arrays) or 3 (interleaved).
bool is_peak_format(std::uint32_t format_id) noexcept;

// Decodes the `point_count` points of a peak block. Parse errors: "Unknown peak format ID: N"
// (tested first), "Truncated MSPeak.bin block". Arrays come from `arrays`. Only the first
// 12 * point_count bytes of `block` are read. interrupted() on a stop request.
[[nodiscard]] Result<DecodedBlock> decode_peak_block(
    std::span<const std::uint8_t> block, const BlockDescriptor& descriptor,
    std::pmr::memory_resource* arrays = std::pmr::get_default_resource(),
    Interrupt* interrupt = nullptr);

}  // namespace kestrane::raw
