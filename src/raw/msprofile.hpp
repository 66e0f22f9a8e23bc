// Profile blocks of MSProfile.bin: a 16-byte preamble, then an LZF stream of a 16-byte header
// and one u32 intensity per point; m/z values form an even axis from `first` to `last`.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"

namespace kestrane::raw {

// Bytes before a profile block's LZF stream, not interpreted.
inline constexpr std::size_t profile_preamble_size = 16;

// The expanded payload that `point_count` points need: a 16-byte header, then one u32 each.
constexpr std::uint64_t profile_payload_size(std::uint32_t point_count) {
  return 16 + std::uint64_t{4} * point_count;
}

// Decodes a profile block. Parse errors: "MSProfile block too short for preamble",
// "Missing UncompressedByteCount for profile block", any decompress() error, then
// "Decompressed profile block too short for point count". Arrays come from `arrays`.
[[nodiscard]] Result<DecodedBlock> decode_profile_block(
    std::span<const std::uint8_t> block, const BlockDescriptor& descriptor, double first,
    double last, std::pmr::memory_resource* arrays = std::pmr::get_default_resource());

// As decode_profile_block, expanding through `scratch`, whose capacity is reused across calls;
// interrupted() on a stop request.
[[nodiscard]] Result<DecodedBlock> decode_profile_block(
    std::span<const std::uint8_t> block, const BlockDescriptor& descriptor, double first,
    double last, std::pmr::memory_resource* arrays, std::vector<std::uint8_t>& scratch,
    Interrupt* interrupt = nullptr);

// The arrays of `point_count` points from the start of an expanded payload, which holds at
// least profile_payload_size(point_count) bytes: the counts as intensities, and an even m/z axis
// from `first` to `last`. interrupted() on a stop request.
[[nodiscard]] Result<DecodedBlock> profile_arrays(std::span<const std::uint8_t> payload,
                                                  std::uint32_t point_count, double first,
                                                  double last, std::pmr::memory_resource* arrays,
                                                  Interrupt* interrupt = nullptr);

}  // namespace kestrane::raw
