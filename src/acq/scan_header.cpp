#include "src/acq/scan_header.hpp"

#include <string>

#include "src/raw/le.hpp"

namespace kestrane::acq {

namespace {

using raw::load_le;

// Header words, from the start of MSScan.bin.
constexpr std::size_t magic_at = 0;
constexpr std::size_t layout_version_at = 68;
constexpr std::size_t unknown_72_at = 72;
constexpr std::size_t blocks_per_record_at = 76;
constexpr std::size_t entry_count_at = 80;
constexpr std::size_t data_offset_at = 88;
// Format entries: a 20-byte head (format id, kind, compression, w3, axis count), then 24 bytes
// per axis (number, quantity, f64 scale, storage, spacing).
constexpr std::size_t entry_head_size = 20;
constexpr std::size_t axis_size = 24;

Result<ScanHeader> fail(std::string reason) { return parse_error("MSScan.bin: " + reason); }

}  // namespace

const FormatEntry* ScanHeader::find(std::uint32_t format_id) const noexcept {
  for (const auto& f : formats) {
    if (f.format_id == format_id) return &f;
  }
  return nullptr;
}

Result<ScanHeader> parse_scan_header(std::span<const std::uint8_t> b) {
  if (b.size() < format_table_at) {
    return fail("shorter than its 92-byte header (" + std::to_string(b.size()) + " bytes)");
  }
  const auto magic = load_le<std::uint32_t>(b, magic_at);
  if (magic != msscan_magic) return fail("magic " + std::to_string(magic) + " is not 257");
  ScanHeader h;
  h.layout_version = load_le<std::uint32_t>(b, layout_version_at);
  h.unknown_72 = load_le<std::uint32_t>(b, unknown_72_at);
  h.blocks_per_record = load_le<std::uint32_t>(b, blocks_per_record_at);
  const auto entries = load_le<std::uint32_t>(b, entry_count_at);
  h.data_offset = load_le<std::uint32_t>(b, data_offset_at);
  if (h.blocks_per_record == 0) return fail("no spectrum-parameter blocks per record");
  if (h.data_offset > b.size()) {
    return fail("data offset " + std::to_string(h.data_offset) +
                " lies past the end of the file (" + std::to_string(b.size()) + " bytes)");
  }
  if (h.data_offset < format_table_at) {
    return fail("format table ends at 92, not at the data offset " +
                std::to_string(h.data_offset));
  }

  const std::size_t end = h.data_offset;
  std::size_t pos = format_table_at;  // invariant: pos <= end
  for (std::uint32_t e = 0; e < entries; ++e) {
    if (entry_head_size > end - pos) {
      return fail("format table entry " + std::to_string(e) + " runs past the data offset " +
                  std::to_string(end));
    }
    FormatEntry f;
    f.format_id = load_le<std::uint32_t>(b, pos);
    f.kind = load_le<std::uint32_t>(b, pos + 4);
    f.compression = load_le<std::uint32_t>(b, pos + 8);
    f.w3 = load_le<std::uint32_t>(b, pos + 12);
    const std::uint64_t axes = load_le<std::uint32_t>(b, pos + 16);
    pos += entry_head_size;
    if (axes * axis_size > end - pos) {
      return fail("format table entry " + std::to_string(e) + " runs past the data offset " +
                  std::to_string(end));
    }
    f.axes.reserve(static_cast<std::size_t>(axes));
    for (std::uint64_t a = 0; a < axes; ++a, pos += axis_size) {
      f.axes.push_back({load_le<std::uint32_t>(b, pos), load_le<std::uint32_t>(b, pos + 4),
                        load_le<double>(b, pos + 8), load_le<std::uint32_t>(b, pos + 16),
                        load_le<std::uint32_t>(b, pos + 20)});
    }
    if (h.find(f.format_id) != nullptr) {
      return fail("format id " + std::to_string(f.format_id) +
                  " appears twice in the format table");
    }
    h.formats.push_back(std::move(f));
  }
  if (pos != end) {
    return fail("format table ends at " + std::to_string(pos) + ", not at the data offset " +
                std::to_string(end));
  }
  return h;
}

}  // namespace kestrane::acq
