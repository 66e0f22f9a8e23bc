#include "src/acq/acquisition.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <memory>
#include <memory_resource>
#include <type_traits>
#include <string>

#include "src/acq/array_pool.hpp"
#include "src/acq/codecs.hpp"
#include "src/acq/icp.hpp"
#include "src/acq/io.hpp"
#include "src/acq/msts.hpp"
#include "src/acq/schema.hpp"
#include "src/acq/xml.hpp"
#include "src/raw/le.hpp"

namespace kestrane::acq {

using raw::load_le;

namespace {

constexpr std::uint64_t index_limit = std::uint64_t{1} << 34;
constexpr std::uint64_t mass_cal_limit = std::uint64_t{1} << 30;
// Data files up to this size are read whole on their first read and served from memory: one
// read instead of one per block. Larger ones are read block by block.
constexpr std::uint64_t whole_file_limit = std::uint64_t{8} << 20;
constexpr std::uint64_t builtin_icp_stride = 136;
constexpr const char* builtin_icp_source = "built-in ICP layout";

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_not_of('/');
  if (slash == std::string::npos) return "/";
  const auto cut = path.rfind('/', slash);
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

std::string hex(std::uint32_t v) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + out;
}

std::string_view codec_name(Codec c) {
  switch (c) {
    case Codec::run_length_profile:
      return "run-length profile";
    case Codec::lzf_profile:
      return "LZF profile";
    case Codec::raw_profile:
      return "raw profile";
    case Codec::channels:
      return "ICP channels";
    case Codec::centroid:
      return "centroid";
  }
  return "?";
}

// A block's descriptor as the record gives it.
struct Block {
  std::int64_t format_id = 0;
  std::int64_t offset = 0;
  std::int64_t byte_count = 0;
  std::int64_t point_count = 0;

  bool empty() const noexcept { return byte_count == 0 && point_count == 0; }
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
};

}  // namespace

struct Acquisition::State {
  AcqInfo info;
  std::vector<std::string> warnings;
  PooledBytes index_bytes;              // MSScan.bin
  std::span<const std::uint8_t> index;  // its bytes
  RecordLayout layout;
  std::size_t records = 0;

  // Fields resolved once; absent when the layout has none. Block fields are relative to their
  // block.
  Loader scan_id, scan_method_id, time_segment_id, scan_time, ms_level, scan_type, ion_polarity,
      mz_of_interest, collision_energy, fragmentor, isolation_width, tic, base_peak_mz,
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

  Status decode(const Block& b, const CalibrationChoice& choice, Spectrum& out,
                ReadScratch& scratch) const;
  void channels(std::size_t i, Spectrum& out, ReadScratch& scratch) const;
};

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
  out.precursor_mz.clear();
  out.accumulation_time_sec.clear();
  out.detector_mode.clear();
}

}  // namespace

Status Acquisition::State::decode(const Block& b, const CalibrationChoice& choice, Spectrum& out,
                                  ReadScratch& scratch) const {
  const BlockFormat& format = **format_of(b);
  std::span<const std::uint8_t> bytes;
  Status failure = Status::malformed;
  if (!read_block(*file_of(format.kind), b, scratch, bytes, failure)) return failure;
  const auto n = static_cast<std::uint64_t>(b.point_count);
  const bool flight = format.x_quantity == quantity_flight_time;
  const Calibration* cal = flight ? &choice.calibration : nullptr;

  Result<LinearAxis> axis = LinearAxis{};
  switch (format.codec) {
    case Codec::run_length_profile:
      if (n > run_length_max_points) return Status::malformed;
      axis = decode_run_length(bytes, n, out.intensity);
      break;
    case Codec::lzf_profile:
      axis = decode_lzf_profile(bytes, n, out.intensity, scratch.expanded);
      break;
    case Codec::raw_profile:
      axis = decode_raw_profile(bytes, n, out.intensity);
      break;
    case Codec::centroid: {
      if (auto done = decode_centroid(bytes, n, format.y_storage, out.mz, out.intensity); !done) {
        return Status::malformed;
      }
      if (cal != nullptr && !calibrate_values(*cal, out.mz)) return Status::uncalibrated;
      out.representation = Representation::centroid;
      out.calibration = flight ? choice.source : CalibrationSource::axis;
      return out.mz.empty() ? Status::empty : Status::ok;
    }
    case Codec::channels: {
      if (auto done = decode_channels(bytes, n, out.mz, out.intensity); !done) {
        return Status::malformed;
      }
      return Status::ok;  // channels() maps the masses
    }
  }
  if (!axis) return Status::malformed;
  const std::size_t points = out.intensity.size();
  out.mz.resize(points);
  if (cal != nullptr) {
    if (!calibrate_axis(*cal, axis->start, axis->step, out.mz)) return Status::uncalibrated;
  } else {
    for (std::size_t k = 0; k < points; ++k) {
      out.mz[k] = axis->start + static_cast<double>(k) * axis->step;
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

// --- open --------------------------------------------------------------------------------------

Result<Acquisition> Acquisition::open(const std::string& path) {
  auto s = std::make_shared<State>();
  AcqInfo& info = s->info;
  info.path = path;
  std::string root = path;
  if (is_directory(path + "/AcqData")) {
    info.acq_data = path + "/AcqData";
  } else if (is_regular(path + "/MSScan.bin")) {
    info.acq_data = path;
    root = parent_of(path);
  } else {
    info.acq_data = path + "/AcqData";
  }
  const std::string dir = info.acq_data + "/";
  const auto warn = [&](std::string text) { s->warnings.push_back(std::move(text)); };

  // Index and header.
  auto index = read_pooled_file(dir + "MSScan.bin", "MSScan.bin", index_limit);
  if (!index) return std::unexpected(std::move(index).error());
  if (!*index) return std::unexpected(Error::io_os(ENOENT).with_path(dir + "MSScan.bin"));
  s->index_bytes = std::move(**index);
  s->index = std::as_const(s->index_bytes).bytes();
  auto header = parse_scan_header(s->index);
  if (!header) return std::unexpected(std::move(header).error().with_path(dir + "MSScan.bin"));
  info.layout_version = header->layout_version;
  info.blocks_per_record = header->blocks_per_record;
  info.data_offset = header->data_offset;
  info.formats = header->formats;
  const std::uint64_t payload = s->index.size() - header->data_offset;

  // Record layout: the schema, or the built-in ICP layout under its conditions.
  auto xsd = read_small_file(dir + "MSScan.xsd", "MSScan.xsd", xml_max_bytes);
  if (!xsd) return std::unexpected(std::move(xsd).error());
  Result<RecordLayout> layout = RecordLayout{};
  auto xspecific = DataFile::open_if_present(dir + "MSScan_XSpecific.bin", whole_file_limit);
  if (!xspecific) return std::unexpected(std::move(xspecific).error());
  if (*xsd) {
    auto schema = parse_schema(**xsd);
    if (!schema) return std::unexpected(std::move(schema).error().with_path(dir + "MSScan.xsd"));
    info.schema_source = "MSScan.xsd";
    info.schema_version = schema->version;
    layout = make_layout(*schema, header->blocks_per_record, "MSScan.xsd");
  } else {
    std::string unmet;
    if (header->layout_version != 1) {
      unmet = "layout version " + std::to_string(header->layout_version) + ", not 1";
    } else if (header->formats.size() != 1 || header->formats[0].kind != kind_profile ||
               header->formats[0].axes.size() != 4) {
      unmet = "the format table is not one profile entry with 4 axes";
    } else if (header->blocks_per_record != 1) {
      unmet = std::to_string(header->blocks_per_record) + " blocks per record, not 1";
    } else if (!*xspecific) {
      unmet = "no MSScan_XSpecific.bin";
    } else if (payload % builtin_icp_stride != 0) {
      unmet = "a payload of " + std::to_string(payload) + " bytes is not a multiple of 136";
    }
    if (!unmet.empty()) {
      return std::unexpected(Error::parse("MSScan.xsd: missing, and the built-in ICP layout "
                                          "does not apply (" + unmet + ")")
                                 .with_path(dir + "MSScan.xsd"));
    }
    info.schema_source = builtin_icp_source;
    layout = make_layout(builtin_icp_schema(), 1, builtin_icp_source);
  }
  if (!layout) return std::unexpected(std::move(layout).error());
  s->layout = std::move(*layout);
  info.stride = s->layout.stride;
  if (payload % s->layout.stride != 0) {
    return std::unexpected(
        Error::parse("MSScan.bin: a payload of " + std::to_string(payload) +
                     " bytes is not a multiple of the record stride " +
                     std::to_string(s->layout.stride) + " (from " + info.schema_source + ")")
            .with_path(dir + "MSScan.bin"));
  }
  s->records = static_cast<std::size_t>(payload / s->layout.stride);
  if (info.schema_version) {
    const std::string expected = std::to_string(header->layout_version) + ".0";
    if (*info.schema_version != expected) {
      warn("MSScan.xsd: version " + *info.schema_version + ", MSScan.bin layout version " +
           std::to_string(header->layout_version));
    }
  }

  const RecordLayout& l = s->layout;
  s->scan_id = Loader::of(l.find("ScanID"));
  s->scan_method_id = Loader::of(l.find("ScanMethodID"));
  s->time_segment_id = Loader::of(l.find("TimeSegmentID"));
  s->scan_time = Loader::of(l.find("ScanTime"));
  s->ms_level = Loader::of(l.find("MSLevel"));
  s->scan_type = Loader::of(l.find("ScanType"));
  s->ion_polarity = Loader::of(l.find("IonPolarity"));
  s->mz_of_interest = Loader::of(l.find("MzOfInterest"));
  s->collision_energy = Loader::of(l.find("CollisionEnergy"));
  s->fragmentor = Loader::of(l.find("Fragmentor"));
  s->isolation_width = Loader::of(l.find("MzIsolationWidth"));
  s->tic = Loader::of(l.find("TIC"));
  s->base_peak_mz = Loader::of(l.find("BasePeakMZ"));
  s->base_peak_value = Loader::of(l.find("BasePeakValue"));
  s->calibration_id = Loader::of(l.find("CalibrationID"));
  s->mass_cal_offset = Loader::of(l.find("MassCalOffset"));
  s->xspecific_offset = Loader::of(l.find("XSpecificParamType.Offset"));
  s->xspecific_byte_count = Loader::of(l.find("XSpecificParamType.ByteCount"));
  s->format_id = Loader::of(l.find_block("SpectrumFormatID"));
  s->spectrum_offset = Loader::of(l.find_block("SpectrumOffset"));
  s->byte_count = Loader::of(l.find_block("ByteCount"));
  s->point_count = Loader::of(l.find_block("PointCount"));

  // Decoders of the format table.
  bool flight_time = false, channels = false;  // some format holds flight times, channels
  for (const auto& entry : info.formats) {
    s->formats.push_back(classify(entry));
    const auto& f = s->formats.back();
    if (!f) {
      warn("MSScan.bin: format " + std::to_string(entry.format_id) + " (kind " +
           std::to_string(entry.kind) + ", compression " + hex(entry.compression) + ", " +
           std::to_string(entry.axes.size()) + " axes) is not a known combination");
      continue;
    }
    flight_time = flight_time || f->x_quantity == quantity_flight_time;
    channels = channels || f->codec == Codec::channels;
    const std::string_view name = codec_name(f->codec);
    if (info.family.find(name) == std::string::npos) {
      info.family += (info.family.empty() ? "" : ", ") + std::string(name);
    }
  }

  // Data files, held open.
  for (auto [name, slot, present] :
       {std::tuple{"MSProfile.bin", &s->profile_file, &info.has_profile_file},
        std::tuple{"MSPeak.bin", &s->peak_file, &info.has_peak_file}}) {
    auto file = DataFile::open_if_present(dir + name, whole_file_limit);
    if (!file) return std::unexpected(std::move(file).error());
    *slot = std::move(*file);
    *present = slot->has_value();
  }

  // The time segments: a cross-check.
  auto msts = read_small_file(dir + "MSTS.xml", "MSTS.xml", xml_max_bytes);
  if (!msts) return std::unexpected(std::move(msts).error());
  if (*msts) {
    info.has_msts = true;
    auto segments = parse_msts(**msts);
    if (!segments) {
      warn(segments.error().display());
    } else {
      for (auto& w : msts_warnings(*segments, s->records)) warn(std::move(w));
    }
  }

  // Calibration, when some block holds flight times.
  if (flight_time) {
    std::optional<MassCalFile> rows;
    auto mass_cal = read_small_file(dir + "MSMassCal.bin", "MSMassCal.bin", mass_cal_limit);
    if (!mass_cal) return std::unexpected(std::move(mass_cal).error());
    if (*mass_cal) {
      info.has_mass_cal = true;
      auto parsed = MassCalFile::parse(std::move(**mass_cal));
      if (!parsed) {
        warn(parsed.error().display() + "; its rows are not used");
      } else {
        if (const auto bad = parsed->non_finite_rows(); bad > 0) {
          warn("MSMassCal.bin: " + std::to_string(bad) +
               " rows hold values that are not finite; their scans use the next calibration step");
        }
        rows = std::move(*parsed);
      }
    }
    std::optional<DefaultCalibrations> defaults;
    auto default_xml =
        read_small_file(dir + "DefaultMassCal.xml", "DefaultMassCal.xml", xml_max_bytes);
    if (!default_xml) return std::unexpected(std::move(default_xml).error());
    if (*default_xml) {
      info.has_default_mass_cal = true;
      auto parsed = parse_default_mass_cal(**default_xml);
      if (!parsed) {
        warn(parsed.error().display());
      } else {
        for (auto& w : parsed->warnings) warn(std::move(w));
        defaults = std::move(*parsed);
      }
    }
    if (rows && !defaults) warn("MSMassCal.bin: unused, DefaultMassCal.xml gives no orders");
    bool any_valid_offset = false;
    if (rows) {
      for (std::size_t i = 0; i < s->records && !any_valid_offset; ++i) {
        const auto offset = s->integer(i, s->mass_cal_offset);
        any_valid_offset = offset && rows->row_at(*offset).has_value();
      }
    }
    s->flight_time = true;
    s->cal_by_index = rows && !any_valid_offset && rows->row_count() == s->records;
    s->mass_cal_rows = std::move(rows);
    s->default_cals = std::move(defaults);
  }

  // ICP companions.
  if (channels) {
    auto xaddition = read_small_file(root + "/MSTS_XAddition.xml", "MSTS_XAddition.xml",
                                     xml_max_bytes);
    if (!xaddition) return std::unexpected(std::move(xaddition).error());
    if (*xaddition) {
      info.has_xaddition = true;
      auto parsed = parse_xaddition(**xaddition);
      if (!parsed) {
        warn(parsed.error().display() + "; channel spectra are not emitted");
        s->channel_map_broken = true;
      } else {
        s->channel_map = std::move(*parsed);
      }
    }
    auto settings = read_small_file(dir + "MSTS_XSpecific.xml", "MSTS_XSpecific.xml",
                                    xml_max_bytes);
    if (!settings) return std::unexpected(std::move(settings).error());
    if (*settings) {
      info.has_xspecific_settings = true;
      auto parsed = parse_xspecific_settings(**settings);
      if (!parsed) {
        warn(parsed.error().display() + "; accumulation times are not known");
      } else {
        s->mass_settings = std::move(*parsed);
      }
    }
    s->xspecific_file = std::move(*xspecific);
    info.has_xspecific_records = s->xspecific_file.has_value();
  }

  // Each record's blocks, by kind, and whether it was cut off.
  std::uint64_t unplaced = 0, doubled = 0, incomplete = 0;
  s->blocks.resize(s->records);
  for (std::size_t i = 0; i < s->records; ++i) {
    RecordBlocks& rb = s->blocks[i];
    bool any = false, all_past = true;
    for (std::uint32_t j = 0; j < l.block_count; ++j) {
      const Block b = s->block(i, j);
      const auto* format = s->format_of(b);
      const bool placed = format != nullptr && *format &&
                          ((*format)->kind == kind_profile || (*format)->kind == kind_peak);
      if (!b.empty()) {
        any = true;
        all_past = all_past && s->bounds_of(b, format) == Status::past_end;
      }
      if (!placed) {
        if (!b.empty()) {
          rb.unknown = true;
          ++unplaced;
        }
        continue;
      }
      std::int32_t& slot = (*format)->kind == kind_profile ? rb.profile : rb.centroid;
      if (slot < 0) {
        slot = static_cast<std::int32_t>(j);
      } else if (!b.empty()) {
        if (s->block(i, static_cast<std::uint32_t>(slot)).empty()) {
          slot = static_cast<std::int32_t>(j);
        } else {
          ++doubled;
        }
      }
    }
    rb.incomplete = any && all_past;
    incomplete += rb.incomplete;
  }
  if (unplaced > 0) {
    warn("MSScan.bin: " + std::to_string(unplaced) +
         " non-empty blocks name a format that is absent from the table or not decoded");
  }
  if (doubled > 0) {
    warn("MSScan.bin: " + std::to_string(doubled) +
         " non-empty blocks repeat a kind their record already has; only the first is read");
  }
  if (incomplete > 0) {
    warn("MSScan.bin: " + std::to_string(incomplete) +
         " records lie past the end of their data files (incomplete)");
  }
  return Acquisition(std::move(s));
}

// --- access ------------------------------------------------------------------------------------

std::size_t Acquisition::size() const noexcept { return s_->records; }
const AcqInfo& Acquisition::info() const noexcept { return s_->info; }
const std::vector<std::string>& Acquisition::warnings() const noexcept { return s_->warnings; }
const RecordLayout& Acquisition::layout() const noexcept { return s_->layout; }

bool Acquisition::data_loaded() const noexcept {
  for (const auto* f : {&s_->profile_file, &s_->peak_file, &s_->xspecific_file}) {
    if (*f && !(*f)->loaded()) return false;
  }
  return true;
}

RecordView Acquisition::record(std::size_t i) const noexcept {
  return RecordView(s_->record_bytes(i), s_->layout);
}

CalibrationChoice Acquisition::calibration(std::size_t i) const noexcept {
  return s_->calibration_of(i);
}

namespace {

std::optional<std::int32_t> narrow(std::optional<std::int64_t> v) noexcept {
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

}  // namespace

ScanInfo Acquisition::scan(std::size_t i) const {
  const State& s = *s_;
  const std::span<const std::uint8_t> b = s.index;
  const std::size_t at = s.record_at(i);
  ScanInfo info;
  info.index = i;
  info.scan_id = s.scan_id.integer(b, at).value_or(0);
  info.scan_method_id = s.scan_method_id.integer(b, at).value_or(0);
  info.time_segment_id = s.time_segment_id.integer(b, at).value_or(0);
  info.retention_time_min = s.scan_time.real(b, at).value_or(0.0);
  info.ms_level = narrow(s.ms_level.integer(b, at)).value_or(0);
  info.scan_type = narrow(s.scan_type.integer(b, at));
  if (const auto p = s.ion_polarity.integer(b, at)) {
    if (*p == 0) info.polarity = Polarity::positive;
    if (*p == 1) info.polarity = Polarity::negative;
  }
  if (const auto mz = s.mz_of_interest.real(b, at); mz && info.ms_level >= 2 && *mz > 0.0) {
    info.precursor_mz = mz;
  }
  info.collision_energy = s.collision_energy.real(b, at);
  info.fragmentor = s.fragmentor.real(b, at);
  info.isolation_width = s.isolation_width.real(b, at);
  info.tic = s.tic.real(b, at);
  info.base_peak_mz = s.base_peak_mz.real(b, at);
  info.base_peak_value = s.base_peak_value.real(b, at);
  info.calibration_id = narrow(s.calibration_id.integer(b, at));
  const RecordBlocks& rb = s.blocks[i];
  info.profile_points = s.points(i, rb.profile);
  info.centroid_points = s.points(i, rb.centroid);
  info.incomplete = rb.incomplete;
  return info;
}

namespace {

// sink(i, v) for records 0..n-1 with the value stored at `at` + i * stride as `Stored`: integers
// as std::int64_t, floating values widened to double.
template <class Stored, class Sink>
void each_stored(std::span<const std::uint8_t> b, std::size_t at, std::size_t stride,
                 std::size_t n, Sink& sink) {
  for (std::size_t i = 0; i < n; ++i, at += stride) {
    if constexpr (std::is_same_v<Stored, std::int8_t>) {
      sink(i, std::int64_t{static_cast<std::int8_t>(b[at])});
    } else if constexpr (std::is_floating_point_v<Stored>) {
      sink(i, static_cast<double>(load_le<Stored>(b, at)));
    } else {
      sink(i, std::int64_t{static_cast<Stored>(load_le<std::make_unsigned_t<Stored>>(b, at))});
    }
  }
}

// The same for field `f` of records starting at `first`, the type switched on once; nothing
// when the layout lacks the field.
template <class Sink>
void each_value(const Loader& f, std::span<const std::uint8_t> b, std::size_t first,
                std::size_t stride, std::size_t n, Sink sink) {
  if (!f.present) return;
  const std::size_t at = first + static_cast<std::size_t>(f.offset);
  switch (f.type) {
    case FieldType::i8:
      return each_stored<std::int8_t>(b, at, stride, n, sink);
    case FieldType::i16:
      return each_stored<std::int16_t>(b, at, stride, n, sink);
    case FieldType::i32:
      return each_stored<std::int32_t>(b, at, stride, n, sink);
    case FieldType::i64:
      return each_stored<std::int64_t>(b, at, stride, n, sink);
    case FieldType::f32:
      return each_stored<float>(b, at, stride, n, sink);
    case FieldType::f64:
      return each_stored<double>(b, at, stride, n, sink);
  }
}

// The columns of n records in one allocation, widest elements first so that each column is
// aligned; the caller writes every element.
ScanTable make_table(std::size_t n) {
  std::pmr::memory_resource* resource = spectrum_array_resource();
  const std::size_t bytes = std::max<std::size_t>(n * (11 * 8 + 2 * 4 + 2), 1);
  void* base = resource->allocate(bytes, alignof(std::max_align_t));
  ScanTable t;
  t.storage = std::shared_ptr<void>(base, [resource, bytes](void* p) {
    resource->deallocate(p, bytes, alignof(std::max_align_t));
  });
  auto* at = static_cast<unsigned char*>(base);
  const auto carve = [&]<class T>(std::span<T>& column) {
    T* const start = static_cast<T*>(static_cast<void*>(at));
    T* const first = std::uninitialized_default_construct_n(start, n) - n;
    column = std::span<T>(first, n);
    at += n * sizeof(T);
  };
  for (auto* c : {&t.scan_id, &t.scan_method_id, &t.time_segment_id}) carve(*c);
  for (auto* c : {&t.retention_time_min, &t.precursor_mz, &t.collision_energy, &t.tic,
                  &t.base_peak_mz, &t.base_peak_value}) {
    carve(*c);
  }
  carve(t.profile_points);
  carve(t.centroid_points);
  carve(t.ms_level);
  carve(t.scan_type);
  carve(t.polarity);
  carve(t.incomplete);
  return t;
}

}  // namespace

ScanTable Acquisition::scan_table() const {
  const State& s = *s_;
  const std::size_t n = s.records;
  const std::span<const std::uint8_t> b = s.index;
  const auto stride = static_cast<std::size_t>(s.layout.stride);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Records a chunk at a time, so that the chunk's index bytes stay in cache across columns.
  constexpr std::size_t chunk = 64;
  ScanTable t = make_table(n);
  std::size_t c0 = 0, m = 0;  // the chunk: records c0 .. c0 + m - 1
  const auto each = [&](const Loader& f, auto sink) {
    each_value(f, b, s.record_at(c0), stride, m,
               [&](std::size_t i, auto v) { sink(c0 + i, v); });
  };
  // Integer columns take integer fields only (0 otherwise), as scan() does.
  const auto integers = [&](auto& column, const Loader& f) {
    using T = typename std::remove_reference_t<decltype(column)>::value_type;
    std::fill_n(column.begin() + static_cast<std::ptrdiff_t>(c0), m, T{0});
    each(f, [&](std::size_t i, auto v) {
      if constexpr (std::is_integral_v<decltype(v)>) column[i] = static_cast<T>(v);
    });
  };
  const auto reals = [&](std::span<double> column, const Loader& f, double absent) {
    std::fill_n(column.begin() + static_cast<std::ptrdiff_t>(c0), m, absent);
    each(f, [&](std::size_t i, auto v) { column[i] = static_cast<double>(v); });
  };
  for (; c0 < n; c0 += m) {
    m = std::min(chunk, n - c0);
    integers(t.scan_id, s.scan_id);
    integers(t.scan_method_id, s.scan_method_id);
    integers(t.time_segment_id, s.time_segment_id);
    reals(t.retention_time_min, s.scan_time, 0.0);
    integers(t.ms_level, s.ms_level);
    integers(t.scan_type, s.scan_type);
    integers(t.polarity, Loader{});
    each(s.ion_polarity, [&](std::size_t i, auto v) {
      if constexpr (std::is_integral_v<decltype(v)>) t.polarity[i] = v == 0 ? 1 : v == 1 ? -1 : 0;
    });
    reals(t.precursor_mz, s.mz_of_interest, nan);
    for (std::size_t i = c0; i < c0 + m; ++i) {
      if (!(t.ms_level[i] >= 2 && t.precursor_mz[i] > 0.0)) t.precursor_mz[i] = nan;
    }
    reals(t.collision_energy, s.collision_energy, nan);
    reals(t.tic, s.tic, nan);
    reals(t.base_peak_mz, s.base_peak_mz, nan);
    reals(t.base_peak_value, s.base_peak_value, nan);
    for (std::size_t i = c0; i < c0 + m; ++i) {
      const RecordBlocks& rb = s.blocks[i];
      t.profile_points[i] = s.points(i, rb.profile);
      t.centroid_points[i] = s.points(i, rb.centroid);
      t.incomplete[i] = rb.incomplete ? 1 : 0;
    }
  }
  return t;
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
    Status st = s.decode(blocks[k], cal, out, scratch);
    const auto* format = s.format_of(blocks[k]);
    if (st == Status::ok && (*format)->codec == Codec::channels) {
      s.channels(i, out, scratch);
      st = out.status;
    }
    *slots[k] = st;
    if (st == Status::ok) {
      out.status = Status::ok;
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
