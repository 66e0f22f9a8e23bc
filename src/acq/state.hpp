// The state an Acquisition shares between its copies, built by open() (open.cpp) and read by
// scan(), scan_table() and read() (acquisition.cpp, scan_table.cpp, read.cpp). Immutable after
// open but for what reads find in intensities (IntensityFindings, which locks for itself), so
// reads need no lock. Private to src/acq/.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/acq/calibration.hpp"
#include "src/acq/codecs.hpp"
#include "src/acq/findings.hpp"
#include "src/acq/icp.hpp"
#include "src/acq/io.hpp"
#include "src/acq/record.hpp"
#include "src/acq/scan_header.hpp"

namespace kestrane::acq {

// A block's descriptor as the record gives it.
struct Block {
  std::int64_t format_id = 0;
  std::int64_t offset = 0;
  std::int64_t byte_count = 0;
  std::int64_t point_count = 0;

  bool empty() const noexcept { return byte_count == 0 && point_count == 0; }
  bool operator==(const Block&) const = default;
};

// A field resolved once from the layout: its offset within the record (or within a block) and
// its type, loaded without a name lookup or a variant. Integer fields load as integers only;
// any numeric field loads as a double (record.hpp's load_integer and load_real).
struct Loader {
  std::uint64_t offset = 0;
  FieldType type = FieldType::i32;
  bool present = false;

  static Loader of(const Field* f) noexcept {
    if (f == nullptr) return {};
    return {f->offset, f->type, true};
  }

  // The caller has checked that the field lies inside `b` from `at` (a layout's fields lie in
  // its stride).
  [[gnu::always_inline]] std::optional<std::int64_t> integer(std::span<const std::uint8_t> b,
                                                              std::size_t at) const noexcept {
    if (!present) return std::nullopt;
    return load_integer(b, at + static_cast<std::size_t>(offset), type);
  }

  [[gnu::always_inline]] std::optional<double> real(std::span<const std::uint8_t> b,
                                                    std::size_t at) const noexcept {
    if (!present) return std::nullopt;
    return load_real(b, at + static_cast<std::size_t>(offset), type);
  }
};

// The blocks a read may decode: the first non-empty block of each kind (or the first, when all
// of that kind are empty).
struct RecordBlocks {
  std::int32_t profile = -1;
  std::int32_t centroid = -1;
  bool unknown = false;     // a non-empty block of a format this reader cannot place
  bool incomplete = false;
  // The block equals the one of its kind in the record before or after: reads keep its decoded
  // values for the next record (ReadScratch::last_block).
  bool profile_shared = false;
  bool centroid_shared = false;
};

struct Acquisition::State {
  AcqInfo info;
  std::uint64_t serial = 0;  // this open's number in the process, from 1: never reused
  std::vector<std::string> warnings;
  // What reads find in the intensities they emit; the one part of the state that reads change
  // (it locks for itself).
  std::unique_ptr<IntensityFindings> findings;
  PooledBytes index_bytes;              // MSScan.bin
  std::span<const std::uint8_t> index;  // its bytes
  RecordLayout layout;
  std::size_t records = 0;

  // Fields resolved once; absent when the layout has none. Block fields are relative to their
  // block.
  Loader scan_id, scan_method_id, time_segment_id, scan_time, ms_level, scan_type, ion_polarity,
      mz_of_interest, collision_energy, fragmentor, isolation_width, charge_state, tic, base_peak_mz,
      base_peak_value, calibration_id, mass_cal_offset, xspecific_offset, xspecific_byte_count;
  Loader format_id, spectrum_offset, byte_count, point_count;

  std::vector<std::optional<BlockFormat>> formats;  // parallel to info.formats
  std::optional<DataFile> profile_file, peak_file, xspecific_file;
  // Calibration, when a format holds flight times: each record's choice is made when it is
  // read, from these (immutable after open, so reads need no lock).
  bool flight_time = false;
  std::optional<MassCalFile> mass_cal_rows;
  std::optional<DefaultCalibrations> default_cals;
  bool cal_by_index = false;
  std::optional<ChannelMap> channel_map;
  bool channel_map_broken = false;
  MassSettings mass_settings;
  std::vector<RecordBlocks> blocks;

  std::span<const std::uint8_t> record_bytes(std::size_t i) const noexcept {
    return index.subspan(
        static_cast<std::size_t>(info.data_offset + i * layout.stride),
        static_cast<std::size_t>(layout.stride));
  }

  // The offset of record i in `index`.
  std::size_t record_at(std::size_t i) const noexcept {
    return static_cast<std::size_t>(info.data_offset + i * layout.stride);
  }

  [[gnu::always_inline]] std::optional<std::int64_t> integer(std::size_t i,
                                                              const Loader& f) const noexcept {
    return f.integer(index, record_at(i));
  }

  [[gnu::always_inline]] std::optional<double> real(std::size_t i,
                                                     const Loader& f) const noexcept {
    return f.real(index, record_at(i));
  }

  // The block fields are of integer types (make_layout checks them).
  [[gnu::always_inline]] Block block(std::size_t i, std::uint32_t j) const noexcept {
    const std::size_t at =
        record_at(i) + static_cast<std::size_t>(layout.blocks_at + j * layout.block_size);
    return {format_id.integer(index, at).value_or(0),
            spectrum_offset.integer(index, at).value_or(0),
            byte_count.integer(index, at).value_or(0), point_count.integer(index, at).value_or(0)};
  }

  // PointCount of block j of record i; 0 for no block (j < 0) or a negative count.
  std::uint64_t points(std::size_t i, std::int32_t j) const noexcept {
    if (j < 0) return 0;
    const std::uint64_t block_at =
        layout.blocks_at + std::uint64_t{static_cast<std::uint32_t>(j)} * layout.block_size;
    const std::int64_t n =
        point_count.integer(index, record_at(i) + static_cast<std::size_t>(block_at)).value_or(0);
    return n > 0 ? static_cast<std::uint64_t>(n) : 0;
  }

  // Record i's calibration; uncalibrated when no format holds flight times.
  CalibrationChoice calibration_of(std::size_t i) const noexcept {
    if (!flight_time || i >= records) return {};
    return choose_calibration(mass_cal_rows ? &*mass_cal_rows : nullptr,
                              default_cals ? &*default_cals : nullptr, integer(i, calibration_id),
                              integer(i, mass_cal_offset), cal_by_index, i);
  }

  // The format entry of a block and its decoder (nullptr / nullopt when unknown).
  const std::optional<BlockFormat>* format_of(const Block& b) const noexcept {
    if (b.format_id < 0 || b.format_id > 0xFFFFFFFF) return nullptr;
    for (std::size_t e = 0; e < info.formats.size(); ++e) {
      if (info.formats[e].format_id == static_cast<std::uint32_t>(b.format_id)) {
        return &formats[e];
      }
    }
    return nullptr;
  }

  const DataFile* file_of(std::uint32_t kind) const noexcept {
    const auto& f = kind == kind_profile ? profile_file : peak_file;
    return f ? &*f : nullptr;
  }

  // The checks made without decoding, in the order that decides the status. `cal` is the
  // record's calibration, needed for flight-time blocks only.
  Status precheck(const Block& b, const CalibrationChoice& cal) const noexcept {
    const Status bounds = precheck_bounds(b);
    if (bounds != Status::ok) return bounds;
    const auto& format = *format_of(b);
    if (format->x_quantity == quantity_flight_time &&
        cal.source == CalibrationSource::uncalibrated) {
      return Status::uncalibrated;
    }
    if (format->codec == Codec::channels && channel_map_broken) return Status::malformed;
    return Status::ok;
  }

  // The first checks of precheck: format, file and bounds.
  Status precheck_bounds(const Block& b) const noexcept { return bounds_of(b, format_of(b)); }

  // The same, given the block's format entry (format_of(b)).
  Status bounds_of(const Block& b, const std::optional<BlockFormat>* format) const noexcept {
    if (b.empty()) return Status::empty;
    if (format == nullptr || !*format) return Status::unknown_format;
    const DataFile* file = file_of((*format)->kind);
    if (file == nullptr) return Status::file_absent;
    if (b.offset < 0 || b.byte_count < 0 || b.point_count < 0) return Status::malformed;
    const auto offset = static_cast<std::uint64_t>(b.offset);
    const auto count = static_cast<std::uint64_t>(b.byte_count);
    if (offset > file->size() || count > file->size() - offset) return Status::past_end;
    return Status::ok;
  }

  // Decodes block `b` into `out`; `shared`: the block is shared with a neighbour record, its
  // values are taken from or kept in scratch.last_block.
  Status decode(const Block& b, bool shared, const CalibrationChoice& choice, Spectrum& out,
                ReadScratch& scratch) const;
  void channels(std::size_t i, Spectrum& out, ReadScratch& scratch) const;
};

}  // namespace kestrane::acq
