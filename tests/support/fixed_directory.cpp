#include "tests/support/fixed_directory.hpp"

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace kestrane::test_support {

namespace {

template <class U>
void store_le(Bytes& b, std::size_t off, U v) {
  if (b.size() < off + sizeof v) b.resize(off + sizeof v);
  for (std::size_t i = 0; i < sizeof v; ++i) {
    b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// Record fields, relative to the record's first byte.
constexpr std::size_t scan_id_at = 0;
constexpr std::size_t mrm_channel_at = 4;
constexpr std::size_t retention_time_at = 12;
constexpr std::size_t ms_level_at = 20;
constexpr std::size_t precursor_mz_at = 84;
constexpr std::size_t mz_range_start_at = 244;
constexpr std::size_t mz_range_end_at = 252;
constexpr std::size_t second_descriptor_at = 220;

void store_descriptor(Bytes& b, std::size_t at, std::uint32_t stride, const Descriptor& d) {
  if (stride == 186) {
    // Packed: u16 format id, then the u64 offset and three u32 counts.
    store_u16(b, at, static_cast<std::uint16_t>(d.format_id));
    store_u64(b, at + 2, d.byte_offset);
    store_u32(b, at + 10, d.byte_count);
    store_u32(b, at + 14, d.point_count);
    store_u32(b, at + 18, d.uncompressed_byte_count);
  } else {
    store_u32(b, at, d.format_id);
    store_u64(b, at + 4, d.byte_offset);
    store_u32(b, at + 12, d.byte_count);
    store_u32(b, at + 16, d.point_count);
    store_u32(b, at + 20, d.uncompressed_byte_count);
  }
}

std::string hex64(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

std::string bits(double v) { return hex64(std::bit_cast<std::uint64_t>(v)); }

std::string bits(float v) { return hex64(std::bit_cast<std::uint32_t>(v)); }

template <class T>
std::string optional_bits(const std::optional<T>& v) {
  return v ? bits(*v) : std::string("-");
}

}  // namespace

void store_u16(Bytes& b, std::size_t off, std::uint16_t v) { store_le(b, off, v); }
void store_u32(Bytes& b, std::size_t off, std::uint32_t v) { store_le(b, off, v); }
void store_u64(Bytes& b, std::size_t off, std::uint64_t v) { store_le(b, off, v); }
void store_f32(Bytes& b, std::size_t off, float v) {
  store_le(b, off, std::bit_cast<std::uint32_t>(v));
}
void store_f64(Bytes& b, std::size_t off, double v) {
  store_le(b, off, std::bit_cast<std::uint64_t>(v));
}

std::size_t first_descriptor_position(std::uint32_t stride) {
  switch (stride) {
    case 284:
    case 220:
      return 156;
    case 216:
      return 152;
    case 196:
      return 144;
    case 186:
      return 136;
    default:
      throw std::invalid_argument("no such record stride: " + std::to_string(stride));
  }
}

Bytes encode_record(std::uint32_t stride, const Record& record) {
  const std::size_t descriptor_at = first_descriptor_position(stride);
  Bytes b(stride, 0);
  store_u32(b, scan_id_at, record.scan_id);
  store_u32(b, mrm_channel_at, record.mrm_channel);
  store_f64(b, retention_time_at, record.retention_time_min);
  store_u16(b, ms_level_at, record.ms_level);
  store_f64(b, precursor_mz_at, record.precursor_mz);
  if (record.first) store_descriptor(b, descriptor_at, stride, *record.first);
  if (stride == 284) {
    if (record.second) store_descriptor(b, second_descriptor_at, stride, *record.second);
    store_f64(b, mz_range_start_at, record.mz_range_start);
    store_f64(b, mz_range_end_at, record.mz_range_end);
  } else if (record.second) {
    throw std::invalid_argument("a second descriptor needs 284-byte records");
  }
  if (b.size() != stride) throw std::logic_error("record overran its stride");
  return b;
}

Bytes msscan_image(std::uint32_t stride, const std::vector<Record>& records,
                   std::uint32_t data_offset, std::uint32_t magic) {
  Bytes b(std::max<std::size_t>(92, data_offset + std::size_t{stride} * records.size()), 0);
  std::size_t at = data_offset;
  for (const Record& record : records) {
    const Bytes r = encode_record(stride, record);
    std::copy(r.begin(), r.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    at += stride;
  }
  store_u32(b, 0, magic);
  store_u32(b, 88, data_offset);
  return b;
}

Bytes msscan_header(std::uint32_t data_offset, std::size_t size, std::uint32_t magic) {
  Bytes b(size, 0);
  if (size >= 4) {
    store_u32(b, 0, magic);
  }
  if (size >= 92) store_u32(b, 88, data_offset);
  return b;
}

Bytes peak_block_interleaved(std::span<const double> mz, std::span<const float> intensity) {
  if (mz.size() != intensity.size()) throw std::invalid_argument("unequal peak arrays");
  Bytes b;
  for (std::size_t k = 0; k < mz.size(); ++k) {
    store_f64(b, 12 * k, mz[k]);
    store_f32(b, 12 * k + 8, intensity[k]);
  }
  return b;
}

Bytes peak_block_split(std::span<const double> stored_mz, std::span<const float> intensity) {
  if (stored_mz.size() != intensity.size()) throw std::invalid_argument("unequal peak arrays");
  const std::size_t n = stored_mz.size();
  Bytes b;
  for (std::size_t k = 0; k < n; ++k) store_f64(b, 8 * k, stored_mz[k]);
  for (std::size_t k = 0; k < n; ++k) store_f32(b, 8 * n + 4 * k, intensity[k]);
  return b;
}

Bytes lzf_literals(std::span<const std::uint8_t> data) {
  // A control byte below 32 announces that many plus one literal bytes.
  Bytes out;
  for (std::size_t at = 0; at < data.size(); at += 32) {
    const std::size_t run = std::min<std::size_t>(32, data.size() - at);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + run));
  }
  return out;
}

ProfileBlock profile_block(std::span<const std::uint32_t> intensities) {
  // The payload header and the preamble are not interpreted: fill them with recognisable junk.
  Bytes payload(16, 0xA5);
  for (std::size_t k = 0; k < intensities.size(); ++k) {
    store_u32(payload, 16 + 4 * k, intensities[k]);
  }
  ProfileBlock block;
  block.bytes.assign(16, 0x5A);
  const Bytes stream = lzf_literals(payload);
  block.bytes.insert(block.bytes.end(), stream.begin(), stream.end());
  block.uncompressed_byte_count = static_cast<std::uint32_t>(payload.size());
  return block;
}

DataFile::DataFile(std::size_t lead) : bytes_(lead, 0xEE) {}

Descriptor DataFile::add(const Bytes& block, std::uint32_t format_id, std::uint32_t point_count,
                         std::uint32_t uncompressed_byte_count) {
  Descriptor d;
  d.format_id = format_id;
  d.byte_offset = bytes_.size();
  d.byte_count = static_cast<std::uint32_t>(block.size());
  d.point_count = point_count;
  d.uncompressed_byte_count = uncompressed_byte_count;
  bytes_.insert(bytes_.end(), block.begin(), block.end());
  return d;
}

Descriptor DataFile::add_peak_interleaved(std::span<const double> mz,
                                          std::span<const float> intensity) {
  return add(peak_block_interleaved(mz, intensity), 3, static_cast<std::uint32_t>(mz.size()));
}

Descriptor DataFile::add_peak_split(std::span<const double> stored_mz,
                                    std::span<const float> intensity) {
  return add(peak_block_split(stored_mz, intensity), 2,
             static_cast<std::uint32_t>(stored_mz.size()));
}

Descriptor DataFile::add_profile(std::span<const std::uint32_t> intensities) {
  const ProfileBlock block = profile_block(intensities);
  return add(block.bytes, 1, static_cast<std::uint32_t>(intensities.size()),
             block.uncompressed_byte_count);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/kestrane-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  // remove_all does not follow symbolic links, so a link to a directory elsewhere is safe.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::join(std::string_view relative) const {
  if (relative.empty()) return path_;
  return path_ + "/" + std::string(relative);
}

void TempDir::make_dir(std::string_view relative) const {
  std::filesystem::create_directories(join(relative));
}

void TempDir::write_file(std::string_view relative, std::span<const std::uint8_t> bytes) const {
  const std::filesystem::path target = join(relative);
  std::filesystem::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + target.string());
}

std::string TempDir::write_acquisition(std::string_view dir,
                                       const Acquisition& acquisition) const {
  const std::string acq_data = dir.empty() ? "AcqData" : std::string(dir) + "/AcqData";
  make_dir(acq_data);
  if (acquisition.msscan) write_file(acq_data + "/MSScan.bin", *acquisition.msscan);
  if (acquisition.peak) write_file(acq_data + "/MSPeak.bin", *acquisition.peak);
  if (acquisition.profile) write_file(acq_data + "/MSProfile.bin", *acquisition.profile);
  return join(dir);
}

std::string describe(const vornelle_core::SpectrumRecord& r) {
  std::string text = "index=" + std::to_string(r.index) + " native_id=" + r.native_id +
                     " scan_id=" + std::to_string(r.scan_id) +
                     " ms_level=" + std::to_string(r.ms_level) +
                     " rt=" + bits(r.retention_time_sec) +
                     " range=" + optional_bits(r.mz_range_start) + ".." +
                     optional_bits(r.mz_range_end) + " precursor=";
  if (r.precursor) {
    text += optional_bits(r.precursor->mz) + "/" + r.precursor->reference.value_or("-");
  } else {
    text += "-";
  }
  text += " profile_decoded=" + std::to_string(r.profile_decoded) +
          " layout_class=" + std::to_string(r.layout_class) + " mz=[";
  for (const double v : r.mz) text += bits(v) + " ";
  text += "] intensity=[";
  for (const float v : r.intensity) text += bits(v) + " ";
  return text + "]";
}

}  // namespace kestrane::test_support
