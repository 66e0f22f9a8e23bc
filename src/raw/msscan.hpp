// The scan index, MSScan.bin: a header and one fixed-size record per scan.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../error.hpp"

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

inline constexpr std::size_t min_header_size = 92;
inline constexpr std::uint32_t msscan_magic = 257;
// Recognised record sizes, in the order stride detection tries them.
inline constexpr std::uint32_t record_strides[] = {284, 220, 216, 196, 186};

struct MSScan {
  std::vector<ScanRecord> records;  // file order; never empty
  std::uint32_t data_offset = 0;
  std::uint32_t record_stride = 0;

  // Reads MSScan.bin whole and parses it. Io for read failures, otherwise as parse().
  [[nodiscard]] static Result<MSScan> from_path(const std::string& path);

  // Parses the bytes of an MSScan.bin image. Parse errors: "MSScan.bin too small for header",
  // "Invalid MSScan magic: N", "MSScan.bin truncated header",
  // "Cannot determine record stride for payload len N".
  [[nodiscard]] static Result<MSScan> parse(std::span<const std::uint8_t> bytes);
};

}  // namespace kestrane::raw
