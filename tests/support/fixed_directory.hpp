// Builders of synthetic acquisition data for the C++ tests: MSScan.bin images with records of
// every stride, peak and profile blocks, data files assembled from blocks, and temporary
// acquisition directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.hpp"

namespace kestrane::test_support {

using Bytes = std::vector<std::uint8_t>;

// Little-endian stores at any byte position; the buffer grows to hold the value.
void store_u16(Bytes& b, std::size_t off, std::uint16_t v);
void store_u32(Bytes& b, std::size_t off, std::uint32_t v);
void store_u64(Bytes& b, std::size_t off, std::uint64_t v);
void store_f32(Bytes& b, std::size_t off, float v);
void store_f64(Bytes& b, std::size_t off, double v);

// The record sizes of MSScan.bin, in the order the parser tries them.
inline constexpr std::uint32_t all_strides[] = {284, 220, 216, 196, 186};

// A block descriptor as written into a record. Every field is written, the uncompressed byte
// count too whatever the format id (so a test sees whether the parser reads it), in the wide
// layout for strides 284, 220, 216 and 196 and in the packed one (u16 format id) for 186.
struct Descriptor {
  std::uint32_t format_id = 0;
  std::uint64_t byte_offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::uint32_t uncompressed_byte_count = 0;
};

// One scan index record. The MRM channel (4) and precursor m/z (84) are written under every
// stride, so a parser that reads them where it should not is caught; the m/z range (244, 252)
// and the second descriptor (220) exist in 284-byte records only.
struct Record {
  std::uint32_t scan_id = 0;
  std::uint32_t mrm_channel = 0;
  double retention_time_min = 0.0;
  std::uint16_t ms_level = 1;
  double precursor_mz = 0.0;
  double mz_range_start = 0.0;
  double mz_range_end = 0.0;
  std::optional<Descriptor> first;   // at 156 (284, 220), 152 (216), 144 (196), 136 (186)
  std::optional<Descriptor> second;  // at 220, stride 284 only
};

// A record with only a scan id and an MS level.
inline Record plain(std::uint32_t scan_id, std::uint16_t ms_level = 1) {
  Record r;
  r.scan_id = scan_id;
  r.ms_level = ms_level;
  return r;
}

// Position of the first descriptor in a record of `stride` bytes.
std::size_t first_descriptor_position(std::uint32_t stride);

// One record of exactly `stride` bytes; bytes no field covers are zero.
Bytes encode_record(std::uint32_t stride, const Record& record);

// An MSScan.bin image: the records laid back to back from `data_offset`, then the magic at 0 and
// the data offset at 88 written over whatever lies there (with a data offset below 92 the header
// and the first record share bytes). The image is at least 92 bytes long.
Bytes msscan_image(std::uint32_t stride, const std::vector<Record>& records,
                   std::uint32_t data_offset = 92, std::uint32_t magic = 257);

// A header alone: `size` zero bytes with the magic at 0 and the data offset at 88 (when they fit).
Bytes msscan_header(std::uint32_t data_offset, std::size_t size = 92, std::uint32_t magic = 257);

// Peak block, format 3: per point an f64 m/z then an f32 intensity.
Bytes peak_block_interleaved(std::span<const double> mz, std::span<const float> intensity);
// Peak block, format 2: every stored m/z (100 times the value decoded) as f64, then every
// intensity as f32.
Bytes peak_block_split(std::span<const double> stored_mz, std::span<const float> intensity);

// An LZF stream of literal runs only (at most 32 bytes each) that expands to `data`.
Bytes lzf_literals(std::span<const std::uint8_t> data);

// A profile block: 16 preamble bytes, then the LZF stream of a 16-byte header followed by one u32
// intensity per point.
struct ProfileBlock {
  Bytes bytes;
  std::uint32_t uncompressed_byte_count = 0;
};
ProfileBlock profile_block(std::span<const std::uint32_t> intensities);

// A data file (MSPeak.bin or MSProfile.bin) assembled block by block. It starts with `lead`
// filler bytes, so that no block lies at offset 0 and offsets are unaligned.
class DataFile {
 public:
  explicit DataFile(std::size_t lead = 7);

  // Appends `block`; the descriptor names its offset and size with the given other fields.
  Descriptor add(const Bytes& block, std::uint32_t format_id, std::uint32_t point_count,
                 std::uint32_t uncompressed_byte_count = 0);
  Descriptor add_peak_interleaved(std::span<const double> mz, std::span<const float> intensity);
  Descriptor add_peak_split(std::span<const double> stored_mz, std::span<const float> intensity);
  Descriptor add_profile(std::span<const std::uint32_t> intensities);

  const Bytes& bytes() const noexcept { return bytes_; }

 private:
  Bytes bytes_;
};

// The three files of AcqData; a file left empty (nullopt) is not written.
struct Acquisition {
  std::optional<Bytes> msscan;
  std::optional<Bytes> peak;
  std::optional<Bytes> profile;
};

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
// Builder failures throw std::runtime_error, which GoogleTest reports as a failed test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const noexcept { return path_; }
  // path() + "/" + relative, or path() itself for an empty `relative`.
  std::string join(std::string_view relative) const;

  // Creates path()/relative and its missing parents.
  void make_dir(std::string_view relative) const;
  // Writes path()/relative, creating missing parents, replacing an existing file.
  void write_file(std::string_view relative, std::span<const std::uint8_t> bytes) const;
  // Writes `dir`/AcqData/MSScan.bin, MSPeak.bin and MSProfile.bin below path(); returns the
  // data directory's path (path() itself when `dir` is empty).
  std::string write_acquisition(std::string_view dir, const Acquisition& acquisition) const;

 private:
  std::string path_;
};

// Every field of a record in one line, floating-point values as bit patterns, so that two
// records compare equal as texts exactly when they hold the same values.
std::string describe(const vornelle_core::SpectrumRecord& record);

}  // namespace kestrane::test_support
