// read() and read_into(): a record's blocks decoded on demand, with their statuses.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/acq/array_pool.hpp"
#include "src/acq/codecs.hpp"
#include "src/acq/icp.hpp"
#include "src/acq/state.hpp"

namespace kestrane::acq {

namespace {

// A block's bytes: a view of the file's whole copy when it has one, else read into the
// scratch; false when the file has shrunk or cannot be read.
bool read_block(const DataFile& file, const Block& b, ReadScratch& scratch,
                std::span<const std::uint8_t>& bytes, Status& failure) {
  const auto size = static_cast<std::size_t>(b.byte_count);
  if (const auto whole = file.whole()) {
    bytes = whole->subspan(static_cast<std::size_t>(b.offset), size);  // precheck: in bounds
    return true;
  }
  if (scratch.capacity < size) {
    // With room to spare, so that blocks a little larger than the last reuse the buffer.
    constexpr std::size_t granule = std::size_t{64} << 10;
    const std::size_t spare = size / 8 + granule;
    const std::size_t capacity =
        size <= SIZE_MAX - spare ? (size + spare) / granule * granule : size;
    scratch.block.reset(new std::uint8_t[capacity]);
    scratch.capacity = capacity;
  }
  const std::span<std::uint8_t> target(scratch.block.get(), size);
  auto done = file.read_at(static_cast<std::uint64_t>(b.offset), target);
  if (!done) {
    failure = done.error().is_io() && done.error().os_errno() == 0 ? Status::past_end
                                                                    : Status::malformed;
    return false;
  }
  bytes = target;
  return true;
}

void clear_arrays(Spectrum& out) {
  out.mz.clear();
  out.intensity.clear();
  out.intensity32.clear();
  out.precursor_mz.clear();
  out.accumulation_time_sec.clear();
  out.detector_mode.clear();
}

}  // namespace

namespace {

std::atomic<std::uint64_t> decoded_count{0};

// What a block's bytes decode to before calibration: the intensities in out.intensity (or
// out.intensity32, for `float32` run-length and LZF counts that it holds exactly), the x
// values of centroid and channel blocks in out.mz, the axis of a profile. ok or malformed.
Status decode_values(const BlockFormat& format, std::span<const std::uint8_t> bytes,
                     std::uint64_t n, bool float32, Spectrum& out, ReadScratch& scratch,
                     LinearAxis& axis) {
  decoded_count.fetch_add(1, std::memory_order_relaxed);
  Result<LinearAxis> decoded = LinearAxis{};
  switch (format.codec) {
    case Codec::run_length_profile:
      if (n > run_length_max_points) return Status::malformed;
      if (float32) {
        bool exact = false;
        decoded = decode_run_length(bytes, n, out.intensity32, exact);
        if (exact || !decoded) break;
        out.intensity32.clear();
      }
      decoded = decode_run_length(bytes, n, out.intensity);
      break;
    case Codec::lzf_profile:
      if (float32) {
        bool exact = false;
        decoded = decode_lzf_profile(bytes, n, out.intensity32, scratch.expanded, exact);
        if (exact || !decoded) break;
        out.intensity32.clear();
      }
      decoded = decode_lzf_profile(bytes, n, out.intensity, scratch.expanded);
      break;
    case Codec::raw_profile:
      decoded = decode_raw_profile(bytes, n, out.intensity);
      break;
    case Codec::centroid:
      if (!decode_centroid(bytes, n, format.y_storage, out.mz, out.intensity)) {
        return Status::malformed;
      }
      return Status::ok;
    case Codec::channels:
      if (!decode_channels(bytes, n, out.mz, out.intensity)) return Status::malformed;
      return Status::ok;
  }
  if (!decoded) return Status::malformed;
  axis = *decoded;
  return Status::ok;
}

bool holds(const DecodedBlock& d, std::uint64_t serial, const Block& b) noexcept {
  return d.serial == serial && d.format_id == b.format_id && d.offset == b.offset &&
         d.byte_count == b.byte_count && d.point_count == b.point_count;
}

}  // namespace

std::uint64_t blocks_decoded() noexcept { return decoded_count.load(std::memory_order_relaxed); }

Status Acquisition::State::decode(const Block& b, bool shared, const CalibrationChoice& choice,
                                  Spectrum& out, ReadScratch& scratch) const {
  const BlockFormat& format = **format_of(b);
  const auto n = static_cast<std::uint64_t>(b.point_count);
  const bool flight = format.x_quantity == quantity_flight_time;
  const Calibration* cal = flight ? &choice.calibration : nullptr;
  const bool has_x = format.codec == Codec::centroid || format.codec == Codec::channels;

  LinearAxis axis;
  Status decoded = Status::malformed;
  DecodedBlock& last = scratch.last_block;
  if (shared && holds(last, serial, b)) {
    decoded = last.status;
    axis = {last.start, last.step};
    if (decoded == Status::ok) {
      out.intensity.assign(last.y.begin(), last.y.end());
      if (has_x) out.mz.assign(last.x.begin(), last.x.end());
    }
  } else {
    std::span<const std::uint8_t> bytes;
    Status failure = Status::malformed;
    if (!read_block(*file_of(format.kind), b, scratch, bytes, failure)) return failure;
    // The shared block's cache holds float64 values: its records are decoded as float64.
    decoded = decode_values(format, bytes, n, out.float32_counts && !shared, out, scratch, axis);
    if (shared) {
      last.serial = 0;  // holds nothing until complete
      if (decoded == Status::ok) {
        last.y.assign(out.intensity.begin(), out.intensity.end());
        if (has_x) last.x.assign(out.mz.begin(), out.mz.end());
      }
      last.format_id = b.format_id;
      last.offset = b.offset;
      last.byte_count = b.byte_count;
      last.point_count = b.point_count;
      last.status = decoded;
      last.start = axis.start;
      last.step = axis.step;
      last.serial = serial;
    }
  }
  if (decoded != Status::ok) return decoded;

  switch (format.codec) {
    case Codec::centroid:
      if (cal != nullptr && !calibrate_values(*cal, out.mz)) return Status::uncalibrated;
      out.representation = Representation::centroid;
      out.calibration = flight ? choice.source : CalibrationSource::axis;
      return out.mz.empty() ? Status::empty : Status::ok;
    case Codec::channels:
      return Status::ok;  // channels() maps the masses
    default:
      break;
  }
  const std::size_t points =
      out.intensity32.empty() ? out.intensity.size() : out.intensity32.size();
  out.mz.resize(points);
  if (cal != nullptr) {
    if (!calibrate_axis(*cal, axis.start, axis.step, out.mz)) return Status::uncalibrated;
  } else {
    for (std::size_t k = 0; k < points; ++k) {
      out.mz[k] = axis.start + static_cast<double>(k) * axis.step;
    }
  }
  out.representation = Representation::profile;
  out.calibration = flight ? choice.source : CalibrationSource::axis;
  return points == 0 ? Status::empty : Status::ok;
}

void Acquisition::State::channels(std::size_t i, Spectrum& out, ReadScratch& scratch) const {
  const std::int64_t segment = integer(i, time_segment_id).value_or(0);
  const std::size_t n = out.mz.size();
  // The X values, kept while `mz` takes the masses.
  std::vector<double>& x = scratch.channel_x;
  x.assign(out.mz.begin(), out.mz.end());
  if (channel_map) {
    const auto it = channel_map->find(segment);
    out.precursor_mz.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const ChannelMass* found =
          it != channel_map->end() ? find_channel(it->second, x[k]) : nullptr;
      if (found == nullptr) {
        clear_arrays(out);
        out.status = Status::malformed;
        return;
      }
      out.mz[k] = found->product_mz;
      out.precursor_mz[k] = found->precursor_mz;
    }
  }
  if (const auto it = mass_settings.find(segment);
      it != mass_settings.end() && it->second.size() == n) {
    bool same = true;
    for (std::size_t k = 0; k < n; ++k) same = same && it->second[k].mass == x[k];
    if (same) {
      out.accumulation_time_sec.resize(n);
      for (std::size_t k = 0; k < n; ++k) {
        out.accumulation_time_sec[k] = it->second[k].accumulation_time_sec;
      }
    }
  }
  const auto xs_offset = integer(i, xspecific_offset);
  const auto xs_count = integer(i, xspecific_byte_count);
  if (xspecific_file && xs_offset && xs_count && *xs_offset >= 0 && *xs_count >= 0 &&
      static_cast<std::uint64_t>(*xs_count) == xspecific_record_size * n &&
      static_cast<std::uint64_t>(*xs_offset) <= xspecific_file->size() &&
      static_cast<std::uint64_t>(*xs_count) <=
          xspecific_file->size() - static_cast<std::uint64_t>(*xs_offset)) {
    const auto at = static_cast<std::size_t>(*xs_offset);
    const auto count = static_cast<std::size_t>(*xs_count);
    std::optional<vornelle_core::Array<std::int32_t>> modes;
    if (const auto whole = xspecific_file->whole()) {
      modes = decode_xspecific(whole->subspan(at, count), x);
    } else {
      std::vector<std::uint8_t> bytes(count);
      if (xspecific_file->read_at(at, bytes)) modes = decode_xspecific(bytes, x);
    }
    if (modes) out.detector_mode = std::move(*modes);
  }
  out.representation = Representation::channels;
  out.calibration = CalibrationSource::axis;
  out.status = n == 0 ? Status::empty : Status::ok;
}

Spectrum Acquisition::read(std::size_t i, Prefer prefer) const {
  Spectrum out;
  std::pmr::memory_resource* arrays = spectrum_array_resource();
  out.mz = vornelle_core::Array<double>(arrays);
  out.intensity = vornelle_core::Array<double>(arrays);
  out.precursor_mz = vornelle_core::Array<double>(arrays);
  out.accumulation_time_sec = vornelle_core::Array<double>(arrays);
  out.detector_mode = vornelle_core::Array<std::int32_t>(arrays);
  ReadScratch scratch;
  read_into(i, prefer, out, scratch);
  return out;
}

void Acquisition::read_into(std::size_t i, Prefer prefer, Spectrum& out,
                            ReadScratch& scratch) const {
  const State& s = *s_;
  out.index = i;
  out.representation.reset();
  out.calibration.reset();
  out.profile_status.reset();
  out.centroid_status.reset();
  out.status = Status::empty;
  clear_arrays(out);
  if (i >= s.records) {
    out.status = Status::malformed;
    return;
  }
  const RecordBlocks& rb = s.blocks[i];
  const bool profile_first = prefer == Prefer::profile;
  const std::int32_t order[2] = {profile_first ? rb.profile : rb.centroid,
                                 profile_first ? rb.centroid : rb.profile};
  std::optional<Status>* slots[2] = {profile_first ? &out.profile_status : &out.centroid_status,
                                     profile_first ? &out.centroid_status : &out.profile_status};
  const CalibrationChoice cal = s.calibration_of(i);
  Block blocks[2];
  for (int k = 0; k < 2; ++k) {
    if (order[k] < 0) continue;
    blocks[k] = s.block(i, static_cast<std::uint32_t>(order[k]));
    *slots[k] = s.precheck(blocks[k], cal);
  }
  for (int k = 0; k < 2; ++k) {
    if (order[k] < 0 || *slots[k] != Status::ok) continue;
    const auto* format = s.format_of(blocks[k]);
    const bool profile = (*format)->kind == kind_profile;
    Status st = s.decode(blocks[k], profile ? rb.profile_shared : rb.centroid_shared, cal, out,
                         scratch);
    const Codec codec = (*format)->codec;
    if (st == Status::ok && codec == Codec::channels) {
      s.channels(i, out, scratch);
      st = out.status;
    }
    *slots[k] = st;
    if (st == Status::ok) {
      out.status = Status::ok;
      // Run-length and LZF blocks store counts of at least zero.
      if (codec != Codec::run_length_profile && codec != Codec::lzf_profile) {
        s.findings->note(i, profile ? IntensityFindings::profile_file : IntensityFindings::peak_file,
                         out.intensity);
      }
      return;
    }
    clear_arrays(out);
    out.representation.reset();
    out.calibration.reset();
  }
  // Nothing emitted: say why, the preferred block's failure first.
  if (rb.incomplete) {
    out.status = Status::incomplete;
    return;
  }
  out.status = Status::empty;
  for (int k = 0; k < 2; ++k) {
    if (*slots[k] && **slots[k] != Status::empty) {
      out.status = **slots[k];
      break;
    }
  }
  if (out.status == Status::empty && rb.unknown) out.status = Status::unknown_format;
  if (out.status == Status::uncalibrated) out.calibration = CalibrationSource::uncalibrated;
}

}  // namespace kestrane::acq
