// MSScan::parse on arbitrary MSScan.bin images (the input is the whole file).
// Invariants: a success covers the payload exactly with records of one of the five strides, and
// each record's optional fields are present exactly as its stride, MS level and descriptor format
// ids decide; a failure is a parse error with one of the four messages.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "src/raw/le.hpp"
#include "src/raw/msscan.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "msscan_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

void check_descriptor(const kestrane::raw::BlockDescriptor& d, bool profile) {
  if (profile) {
    if (d.format_id != 1 || !d.uncompressed_byte_count) fail("malformed profile descriptor");
  } else {
    if ((d.format_id != 2 && d.format_id != 3) || d.uncompressed_byte_count) {
      fail("malformed peak descriptor");
    }
  }
}

// Descriptor positions within a record; 0 marks an unused slot.
std::array<std::size_t, 2> descriptor_positions(std::uint32_t stride) {
  switch (stride) {
    case 284: return {156, 220};
    case 220: return {156, 0};
    case 216: return {152, 0};
    case 196: return {144, 0};
    default: return {136, 0};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto scan = kestrane::raw::MSScan::parse(bytes);
  if (!scan) {
    const std::string text = scan.error().display();
    if (!scan.error().is_parse()) fail("parse returned a non-parse error");
    if (text != "parse error: MSScan.bin too small for header" &&
        text != "parse error: MSScan.bin truncated header" &&
        !starts_with(text, "parse error: Invalid MSScan magic: ") &&
        !starts_with(text, "parse error: Cannot determine record stride for payload len ")) {
      fail("unknown message:", text);
    }
    if (size >= kestrane::raw::min_header_size &&
        text == "parse error: MSScan.bin too small for header") {
      fail("a header-sized file was refused as too small");
    }
    return 0;
  }

  const std::uint32_t stride = scan->record_stride;
  const auto& layouts = kestrane::raw::stride_layouts;
  if (std::none_of(std::begin(layouts), std::end(layouts),
                   [&](const auto& layout) { return layout.stride == stride; })) {
    fail("unrecognised stride", std::to_string(stride));
  }
  if (size < kestrane::raw::min_header_size || scan->data_offset > size) {
    fail("accepted a file without a complete header");
  }
  if (scan->data_offset != kestrane::raw::load_le<std::uint32_t>(bytes, 88)) {
    fail("data offset differs from the header's");
  }
  const std::size_t payload = size - scan->data_offset;
  if (scan->records.empty()) fail("no records");
  if (scan->records.size() * stride != payload) fail("records do not cover the payload exactly");

  const bool mrm = stride == 196 || stride == 186;
  const bool mz_range = stride == 284;
  const bool precursor_stride = !mrm;
  for (std::size_t i = 0; i < scan->records.size(); ++i) {
    const auto& r = scan->records[i];
    const auto at = bytes.subspan(scan->data_offset + i * stride, stride);
    if (r.scan_id != kestrane::raw::load_le<std::uint32_t>(at, 0)) fail("scan id misread");
    if (r.ms_level != kestrane::raw::load_le<std::uint16_t>(at, 20)) fail("MS level misread");
    if (r.mrm_channel.has_value() != mrm) fail("MRM channel presence wrong for the stride");
    if (r.mz_range_start.has_value() != mz_range || r.mz_range_end.has_value() != mz_range) {
      fail("m/z range presence wrong for the stride");
    }
    if (r.precursor_mz.has_value() != (precursor_stride && r.ms_level >= 2)) {
      fail("precursor m/z presence wrong");
    }
    if (r.profile_block) check_descriptor(*r.profile_block, true);
    if (r.peak_block) check_descriptor(*r.peak_block, false);

    // Which classes of block the record's descriptors announce.
    bool has_profile = false;
    bool has_peak = false;
    for (const std::size_t pos : descriptor_positions(stride)) {
      if (pos == 0) continue;
      const std::uint32_t format = stride == 186 ? kestrane::raw::load_le<std::uint16_t>(at, pos)
                                                 : kestrane::raw::load_le<std::uint32_t>(at, pos);
      has_profile |= format == 1;
      has_peak |= format == 2 || format == 3;
    }
    if (r.profile_block.has_value() != has_profile) fail("profile block presence wrong");
    if (r.peak_block.has_value() != has_peak) fail("peak block presence wrong");
  }
  return 0;
}
