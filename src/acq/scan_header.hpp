// The header of MSScan.bin: layout version, spectrum-parameter blocks per record, data offset,
// and the format table that names each block format's file, compression and axes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/error.hpp"

namespace kestrane::acq {

inline constexpr std::uint32_t msscan_magic = 257;
inline constexpr std::size_t format_table_at = 92;

// Format entry words (their meanings fit every directory seen; see codecs.hpp for the
// combinations that are decoded).
inline constexpr std::uint32_t kind_profile = 2;  // block in MSProfile.bin
inline constexpr std::uint32_t kind_peak = 3;     // block in MSPeak.bin
inline constexpr std::uint32_t compression_none = 0;
inline constexpr std::uint32_t compression_lzf = 0x200;
inline constexpr std::uint32_t compression_run_length = 0x1000;
inline constexpr std::uint32_t storage_int32 = 3;
inline constexpr std::uint32_t storage_float32 = 5;
inline constexpr std::uint32_t storage_float64 = 6;
inline constexpr std::uint32_t spacing_explicit = 2;
inline constexpr std::uint32_t spacing_start_step = 3;
inline constexpr std::uint32_t quantity_mz = 5;
inline constexpr std::uint32_t quantity_flight_time = 7;
inline constexpr std::uint32_t quantity_abundance = 15;
inline constexpr std::uint32_t quantity_icp_counts = 8;
inline constexpr std::uint32_t quantity_icp_pulse = 41;
inline constexpr std::uint32_t quantity_icp_third = 40;

struct FormatAxis {
  std::uint32_t number = 0;
  std::uint32_t quantity = 0;
  double scale = 0.0;
  std::uint32_t storage = 0;
  std::uint32_t spacing = 0;
};

struct FormatEntry {
  std::uint32_t format_id = 0;
  std::uint32_t kind = 0;
  std::uint32_t compression = 0;
  std::uint32_t w3 = 0;  // meaning unknown; kept for display
  std::vector<FormatAxis> axes;
};

struct ScanHeader {
  std::uint32_t layout_version = 0;      // @68: 1, or 2 for 16-bit fields
  std::uint32_t unknown_72 = 0;          // @72: meaning unknown
  std::uint32_t blocks_per_record = 0;   // @76: n
  std::uint32_t data_offset = 0;         // @88
  std::vector<FormatEntry> formats;      // @92, `entry count` (@80) entries

  // The entry of `format_id`, or nullptr.
  const FormatEntry* find(std::uint32_t format_id) const noexcept;
};

// Parses the header of an MSScan.bin image. Parse errors, prefixed "MSScan.bin: ": "shorter
// than its 92-byte header (N bytes)", "magic N is not 257", "no spectrum-parameter blocks per
// record", "data offset N lies past the end of the file (N bytes)", "format table entry K
// runs past the data offset N", "format table ends at N, not at the data offset M", "format
// id N appears twice in the format table". The table is walked with each size checked against
// the bytes before the data offset, so a claim of 2^32 entries or axes costs nothing.
[[nodiscard]] Result<ScanHeader> parse_scan_header(std::span<const std::uint8_t> msscan);

}  // namespace kestrane::acq
