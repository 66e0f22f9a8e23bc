#include "msscan.hpp"

#include <string>

#include "le.hpp"
#include "read_bytes.hpp"

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

// One block descriptor layout: field offsets within the descriptor and the width of the format id.
struct DescriptorLayout {
  std::size_t format_id_width;  // 4 (wide) or 2 (packed)
  std::size_t byte_offset;
  std::size_t byte_count;
  std::size_t point_count;
  std::size_t uncompressed_byte_count;
};
constexpr DescriptorLayout wide_layout{4, 4, 12, 16, 20};
constexpr DescriptorLayout packed_layout{2, 2, 10, 14, 18};

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
constexpr StrideLayout stride_layouts[] = {
    {284, {156, 220}, 2, &wide_layout, false, true, true},
    {220, {156, 0}, 1, &wide_layout, false, true, false},
    {216, {152, 0}, 1, &wide_layout, false, true, false},
    {196, {144, 0}, 1, &wide_layout, true, false, false},
    {186, {136, 0}, 1, &packed_layout, true, false, false},
};

const StrideLayout& layout_of(std::uint32_t stride) {
  for (const auto& layout : stride_layouts) {
    if (layout.stride == stride) return layout;
  }
  return stride_layouts[0];  // unreachable: strides come from record_strides
}

// Returns 0 when no candidate fits. `payload` starts at the data offset.
std::uint32_t detect_stride(std::span<const std::uint8_t> payload) {
  if (payload.empty()) return 0;
  for (const std::uint32_t stride : record_strides) {
    if (payload.size() % stride != 0) continue;
    if (payload.size() == stride) return stride;
    // At least two records: the first's scan id and the second's id and MS level decide.
    const std::uint64_t first_id = load_le<std::uint32_t>(payload, scan_id_offset);
    const std::uint64_t second_id = load_le<std::uint32_t>(payload, stride + scan_id_offset);
    const std::uint16_t second_level = load_le<std::uint16_t>(payload, stride + ms_level_offset);
    // The limit is computed in 64 bits, so a first id near the top of u32 still admits ids above it.
    if (second_id > first_id && second_id < first_id + scan_id_window &&
        (second_level == 1 || second_level == 2)) {
      return stride;
    }
  }
  return 0;
}

BlockDescriptor decode_descriptor(const std::uint8_t* d, const DescriptorLayout& layout) {
  BlockDescriptor descriptor;
  descriptor.format_id = layout.format_id_width == 4 ? load_le<std::uint32_t>(d)
                                                     : load_le<std::uint16_t>(d);
  descriptor.byte_offset = load_le<std::uint64_t>(d + layout.byte_offset);
  descriptor.byte_count = load_le<std::uint32_t>(d + layout.byte_count);
  descriptor.point_count = load_le<std::uint32_t>(d + layout.point_count);
  return descriptor;
}

ScanRecord decode_record(const std::uint8_t* r, const StrideLayout& layout) {
  ScanRecord record;
  record.scan_id = load_le<std::uint32_t>(r + scan_id_offset);
  record.retention_time_min = load_le<double>(r + retention_time_offset);
  record.ms_level = load_le<std::uint16_t>(r + ms_level_offset);
  if (layout.has_mrm_channel) record.mrm_channel = load_le<std::uint32_t>(r + mrm_channel_offset);
  if (layout.has_mz_range) {
    record.mz_range_start = load_le<double>(r + mz_range_start_offset);
    record.mz_range_end = load_le<double>(r + mz_range_end_offset);
  }
  // Later descriptors replace earlier ones of the same class.
  for (std::size_t i = 0; i < layout.descriptor_count; ++i) {
    const std::uint8_t* d = r + layout.descriptor_positions[i];
    BlockDescriptor descriptor = decode_descriptor(d, *layout.descriptor_layout);
    if (descriptor.format_id == 1) {
      descriptor.uncompressed_byte_count =
          load_le<std::uint32_t>(d + layout.descriptor_layout->uncompressed_byte_count);
      record.profile_block = descriptor;
    } else if (descriptor.format_id == 2 || descriptor.format_id == 3) {
      record.peak_block = descriptor;
    }
  }
  if (record.ms_level >= 2 && layout.has_precursor_mz) {
    record.precursor_mz = load_le<double>(r + precursor_mz_offset);
  }
  return record;
}

}  // namespace

Result<MSScan> MSScan::parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < min_header_size) return parse_error("MSScan.bin too small for header");
  const std::uint32_t magic = load_le<std::uint32_t>(bytes, magic_offset);
  if (magic != msscan_magic) return parse_error("Invalid MSScan magic: " + std::to_string(magic));
  const std::uint32_t data_offset = load_le<std::uint32_t>(bytes, data_offset_offset);
  if (data_offset > bytes.size()) return parse_error("MSScan.bin truncated header");

  const auto payload = bytes.subspan(data_offset);
  const std::uint32_t stride = detect_stride(payload);
  if (stride == 0) {
    return parse_error("Cannot determine record stride for payload len " +
                       std::to_string(payload.size()));
  }

  const StrideLayout& layout = layout_of(stride);
  const std::size_t count = payload.size() / stride;
  MSScan scan;
  scan.data_offset = data_offset;
  scan.record_stride = stride;
  scan.records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    scan.records.push_back(decode_record(payload.data() + i * stride, layout));
  }
  return scan;
}

Result<MSScan> MSScan::from_path(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  return parse(*bytes);
}

}  // namespace kestrane::raw
