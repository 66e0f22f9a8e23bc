#include "src/raw/msscan.hpp"

#include <string>

#include "src/raw/le.hpp"
#include "src/raw/read_bytes.hpp"

namespace kestrane::raw {

namespace {

// Header fields.
constexpr std::size_t magic_offset = 0;
constexpr std::size_t data_offset_offset = 88;

// Record fields, relative to the record's first byte.
constexpr std::size_t scan_id_offset = 0;
constexpr std::size_t mrm_channel_offset = 4;
constexpr std::size_t retention_time_offset = 12;
constexpr std::size_t ms_level_offset = 20;
constexpr std::size_t precursor_mz_offset = 84;
constexpr std::size_t mz_range_start_offset = 244;
constexpr std::size_t mz_range_end_offset = 252;

// Stride detection: the second record's scan id must lie below the first's plus this limit.
constexpr std::uint64_t scan_id_window = 100000;

constexpr std::size_t records_per_piece = std::size_t{1} << 16;  // between two stop checks

// The layout of the payload's records, or nullptr when no stride fits. `payload` starts at the
// data offset.
const StrideLayout* detect_stride(std::span<const std::uint8_t> payload) {
  if (payload.empty()) return nullptr;
  for (const StrideLayout& layout : stride_layouts) {
    const std::size_t stride = layout.stride;
    if (payload.size() % stride != 0) continue;
    if (payload.size() == stride) return &layout;
    // At least two records: the first's scan id and the second's id and MS level decide.
    const std::uint64_t first_id = load_le<std::uint32_t>(payload, scan_id_offset);
    const std::uint64_t second_id = load_le<std::uint32_t>(payload, stride + scan_id_offset);
    const std::uint16_t second_level = load_le<std::uint16_t>(payload, stride + ms_level_offset);
    // The limit is computed in 64 bits, so a first id near the top of u32 still admits ids above it.
    if (second_id > first_id && second_id < first_id + scan_id_window &&
        (second_level == 1 || second_level == 2)) {
      return &layout;
    }
  }
  return nullptr;
}

// The descriptor at `d`, an offset into `r`; the caller has checked that it lies inside.
BlockDescriptor decode_descriptor(std::span<const std::uint8_t> r, std::size_t d,
                                  const DescriptorLayout& layout) {
  BlockDescriptor descriptor;
  descriptor.format_id = layout.format_id_width == 4 ? load_le<std::uint32_t>(r, d)
                                                     : load_le<std::uint16_t>(r, d);
  descriptor.byte_offset = load_le<std::uint64_t>(r, d + layout.byte_offset);
  descriptor.byte_count = load_le<std::uint32_t>(r, d + layout.byte_count);
  descriptor.point_count = load_le<std::uint32_t>(r, d + layout.point_count);
  return descriptor;
}

// One record: `r` holds exactly layout.stride bytes.
ScanRecord decode_record(std::span<const std::uint8_t> r, const StrideLayout& layout) {
  ScanRecord record;
  record.scan_id = load_le<std::uint32_t>(r, scan_id_offset);
  record.retention_time_min = load_le<double>(r, retention_time_offset);
  record.ms_level = load_le<std::uint16_t>(r, ms_level_offset);
  if (layout.has_mrm_channel) record.mrm_channel = load_le<std::uint32_t>(r, mrm_channel_offset);
  if (layout.has_mz_range) {
    record.mz_range_start = load_le<double>(r, mz_range_start_offset);
    record.mz_range_end = load_le<double>(r, mz_range_end_offset);
  }
  // Later descriptors replace earlier ones of the same class.
  for (std::size_t i = 0; i < layout.descriptor_count; ++i) {
    const std::size_t d = layout.descriptor_positions[i];
    BlockDescriptor descriptor = decode_descriptor(r, d, *layout.descriptor_layout);
    if (descriptor.format_id == 1) {
      descriptor.uncompressed_byte_count =
          load_le<std::uint32_t>(r, d + layout.descriptor_layout->uncompressed_byte_count);
      record.profile_block = descriptor;
    } else if (descriptor.format_id == 2 || descriptor.format_id == 3) {
      record.peak_block = descriptor;
    }
  }
  if (record.ms_level >= 2 && layout.has_precursor_mz) {
    record.precursor_mz = load_le<double>(r, precursor_mz_offset);
  }
  return record;
}

}  // namespace

Result<MSScan> MSScan::parse(std::span<const std::uint8_t> bytes, Interrupt* interrupt) {
  if (bytes.size() < min_header_size) return parse_error("MSScan.bin too small for header");
  const std::uint32_t magic = load_le<std::uint32_t>(bytes, magic_offset);
  if (magic != msscan_magic) return parse_error("Invalid MSScan magic: " + std::to_string(magic));
  const std::uint32_t data_offset = load_le<std::uint32_t>(bytes, data_offset_offset);
  if (data_offset > bytes.size()) return parse_error("MSScan.bin truncated header");

  const auto payload = bytes.subspan(data_offset);
  const StrideLayout* layout = detect_stride(payload);
  if (layout == nullptr) {
    return parse_error("Cannot determine record stride for payload len " +
                       std::to_string(payload.size()));
  }

  const std::size_t stride = layout->stride;
  const std::size_t count = payload.size() / stride;
  MSScan scan;
  scan.data_offset = data_offset;
  scan.record_stride = layout->stride;
  scan.records.reserve(count);
  const bool whole =
      for_pieces(count, records_per_piece, interrupt, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
          scan.records.push_back(decode_record(payload.subspan(i * stride, stride), *layout));
        }
      });
  if (!whole) return std::unexpected(interrupted());
  return scan;
}

Result<MSScan> MSScan::from_path(const std::string& path, Interrupt* interrupt) {
  auto bytes = read_file(path, interrupt);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  return parse(*bytes, interrupt);
}

}  // namespace kestrane::raw
