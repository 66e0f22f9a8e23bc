#include "src/acq/acquisition.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

#include "src/acq/array_pool.hpp"
#include "src/acq/codecs.hpp"
#include "src/acq/icp.hpp"
#include "src/acq/io.hpp"
#include "src/acq/msts.hpp"
#include "src/acq/schema.hpp"
#include "src/acq/xml.hpp"

namespace kestrane::acq {

namespace {

constexpr std::uint64_t index_limit = std::uint64_t{1} << 34;
constexpr std::uint64_t mass_cal_limit = std::uint64_t{1} << 30;
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
  std::vector<std::uint8_t> index;
  RecordLayout layout;
  std::size_t records = 0;

  // Fields looked up once; nullptr when the layout has none.
  const Field *scan_id = nullptr, *scan_method_id = nullptr, *time_segment_id = nullptr,
              *scan_time = nullptr, *ms_level = nullptr, *scan_type = nullptr,
              *ion_polarity = nullptr, *mz_of_interest = nullptr, *collision_energy = nullptr,
              *fragmentor = nullptr, *isolation_width = nullptr, *tic = nullptr,
              *base_peak_mz = nullptr, *base_peak_value = nullptr, *calibration_id = nullptr,
              *mass_cal_offset = nullptr, *xspecific_offset = nullptr,
              *xspecific_byte_count = nullptr;
  const Field *format_id = nullptr, *spectrum_offset = nullptr, *byte_count = nullptr,
              *point_count = nullptr;

  std::vector<std::optional<BlockFormat>> formats;  // parallel to info.formats
  std::optional<DataFile> profile_file, peak_file, xspecific_file;
  std::vector<CalibrationChoice> calibrations;      // per record, when a format is flight time
  std::optional<ChannelMap> channel_map;
  bool channel_map_broken = false;
  MassSettings mass_settings;
  std::vector<RecordBlocks> blocks;

  std::span<const std::uint8_t> record_bytes(std::size_t i) const noexcept {
    return std::span<const std::uint8_t>(index).subspan(
        static_cast<std::size_t>(info.data_offset + i * layout.stride),
        static_cast<std::size_t>(layout.stride));
  }

  std::optional<FieldValue> get(std::size_t i, const Field* f) const noexcept {
    if (f == nullptr) return std::nullopt;
    return load_field(record_bytes(i), 0, *f);
  }

  Block block(std::size_t i, std::uint32_t j) const noexcept {
    const auto bytes = record_bytes(i);
    const std::uint64_t base = layout.blocks_at + std::uint64_t{j} * layout.block_size;
    return {*as_integer(load_field(bytes, base, *format_id)),
            *as_integer(load_field(bytes, base, *spectrum_offset)),
            *as_integer(load_field(bytes, base, *byte_count)),
            *as_integer(load_field(bytes, base, *point_count))};
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

  // The checks made without decoding, in the order that decides the status.
  Status precheck(std::size_t i, const Block& b) const noexcept {
    if (b.empty()) return Status::empty;
    const auto* format = format_of(b);
    if (format == nullptr || !*format) return Status::unknown_format;
    const DataFile* file = file_of((*format)->kind);
    if (file == nullptr) return Status::file_absent;
    if (b.offset < 0 || b.byte_count < 0 || b.point_count < 0) return Status::malformed;
    const auto offset = static_cast<std::uint64_t>(b.offset);
    const auto count = static_cast<std::uint64_t>(b.byte_count);
    if (offset > file->size() || count > file->size() - offset) return Status::past_end;
    if ((*format)->x_quantity == quantity_flight_time &&
        (calibrations.empty() ||
         calibrations[i].source == CalibrationSource::uncalibrated)) {
      return Status::uncalibrated;
    }
    if ((*format)->codec == Codec::channels && channel_map_broken) return Status::malformed;
    return Status::ok;
  }

  Status decode(std::size_t i, const Block& b, Spectrum& out, ReadScratch& scratch) const;
  void channels(std::size_t i, Spectrum& out, ReadScratch& scratch) const;
};

namespace {

// Reads a block's bytes into the scratch; false when the file has shrunk or cannot be read.
bool read_block(const DataFile& file, const Block& b, ReadScratch& scratch,
                std::span<const std::uint8_t>& bytes, Status& failure) {
  const auto size = static_cast<std::size_t>(b.byte_count);
  if (scratch.capacity < size) {
    scratch.block.reset(new std::uint8_t[size]);
    scratch.capacity = size;
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

Status Acquisition::State::decode(std::size_t i, const Block& b, Spectrum& out,
                                  ReadScratch& scratch) const {
  const BlockFormat& format = **format_of(b);
  std::span<const std::uint8_t> bytes;
  Status failure = Status::malformed;
  if (!read_block(*file_of(format.kind), b, scratch, bytes, failure)) return failure;
  const auto n = static_cast<std::uint64_t>(b.point_count);
  const bool flight = format.x_quantity == quantity_flight_time;
  const Calibration* cal = flight ? &calibrations[i].calibration : nullptr;

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
      if (cal != nullptr) calibrate_values(*cal, out.mz);
      out.representation = Representation::centroid;
      out.calibration = flight ? calibrations[i].source : CalibrationSource::axis;
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
    calibrate_axis(*cal, axis->start, axis->step, out.mz);
  } else {
    for (std::size_t k = 0; k < points; ++k) {
      out.mz[k] = axis->start + static_cast<double>(k) * axis->step;
    }
  }
  out.representation = Representation::profile;
  out.calibration = flight ? calibrations[i].source : CalibrationSource::axis;
  return points == 0 ? Status::empty : Status::ok;
}

void Acquisition::State::channels(std::size_t i, Spectrum& out, ReadScratch& scratch) const {
  const std::int64_t segment = as_integer(get(i, time_segment_id)).value_or(0);
  const std::size_t n = out.mz.size();
  // The X values stay in `intensity`'s twin until the masses are known.
  vornelle_core::Array<double> x(out.mz.begin(), out.mz.end());
  if (channel_map) {
    const auto it = channel_map->find(segment);
    out.precursor_mz.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const ChannelMass* found = nullptr;
      if (it != channel_map->end() && x[k] == std::floor(x[k])) {
        for (const auto& m : it->second) {
          if (static_cast<double>(m.index) == x[k]) found = &m;
        }
      }
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
  const auto xs_offset = as_integer(get(i, xspecific_offset));
  const auto xs_count = as_integer(get(i, xspecific_byte_count));
  if (xspecific_file && xs_offset && xs_count && *xs_offset >= 0 && *xs_count >= 0 &&
      static_cast<std::uint64_t>(*xs_count) == xspecific_record_size * n &&
      static_cast<std::uint64_t>(*xs_offset) <= xspecific_file->size() &&
      static_cast<std::uint64_t>(*xs_count) <=
          xspecific_file->size() - static_cast<std::uint64_t>(*xs_offset)) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*xs_count));
    if (xspecific_file->read_at(static_cast<std::uint64_t>(*xs_offset), bytes)) {
      if (auto modes = decode_xspecific(bytes, x)) out.detector_mode = std::move(*modes);
    }
  }
  (void)scratch;
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
  auto index = read_small_file(dir + "MSScan.bin", "MSScan.bin", index_limit);
  if (!index) return std::unexpected(std::move(index).error());
  if (!*index) return std::unexpected(Error::io_os(ENOENT).with_path(dir + "MSScan.bin"));
  s->index = std::move(**index);
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
  auto xspecific = DataFile::open_if_present(dir + "MSScan_XSpecific.bin");
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
  s->scan_id = l.find("ScanID");
  s->scan_method_id = l.find("ScanMethodID");
  s->time_segment_id = l.find("TimeSegmentID");
  s->scan_time = l.find("ScanTime");
  s->ms_level = l.find("MSLevel");
  s->scan_type = l.find("ScanType");
  s->ion_polarity = l.find("IonPolarity");
  s->mz_of_interest = l.find("MzOfInterest");
  s->collision_energy = l.find("CollisionEnergy");
  s->fragmentor = l.find("Fragmentor");
  s->isolation_width = l.find("MzIsolationWidth");
  s->tic = l.find("TIC");
  s->base_peak_mz = l.find("BasePeakMZ");
  s->base_peak_value = l.find("BasePeakValue");
  s->calibration_id = l.find("CalibrationID");
  s->mass_cal_offset = l.find("MassCalOffset");
  s->xspecific_offset = l.find("XSpecificParamType.Offset");
  s->xspecific_byte_count = l.find("XSpecificParamType.ByteCount");
  s->format_id = l.find_block("SpectrumFormatID");
  s->spectrum_offset = l.find_block("SpectrumOffset");
  s->byte_count = l.find_block("ByteCount");
  s->point_count = l.find_block("PointCount");

  // Decoders of the format table.
  bool flight_time = false, channels = false;
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
    auto file = DataFile::open_if_present(dir + name);
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
        const auto offset = as_integer(s->get(i, s->mass_cal_offset));
        any_valid_offset = offset && rows->row_at(*offset).has_value();
      }
    }
    const bool by_index = rows && !any_valid_offset && rows->row_count() == s->records;
    s->calibrations.reserve(s->records);
    for (std::size_t i = 0; i < s->records; ++i) {
      s->calibrations.push_back(choose_calibration(
          rows ? &*rows : nullptr, defaults ? &*defaults : nullptr,
          as_integer(s->get(i, s->calibration_id)), as_integer(s->get(i, s->mass_cal_offset)),
          by_index, i));
    }
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
        all_past = all_past && s->precheck(i, b) == Status::past_end;
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

RecordView Acquisition::record(std::size_t i) const noexcept {
  return RecordView(s_->record_bytes(i), s_->layout);
}

CalibrationChoice Acquisition::calibration(std::size_t i) const noexcept {
  if (i >= s_->calibrations.size()) return {};
  return s_->calibrations[i];
}

ScanInfo Acquisition::scan(std::size_t i) const {
  const State& s = *s_;
  ScanInfo info;
  info.index = i;
  const auto integer = [&](const Field* f) { return as_integer(s.get(i, f)); };
  const auto real = [&](const Field* f) { return as_real(s.get(i, f)); };
  const auto int32 = [](std::optional<std::int64_t> v) -> std::optional<std::int32_t> {
    if (!v) return std::nullopt;
    return static_cast<std::int32_t>(*v);
  };
  info.scan_id = integer(s.scan_id).value_or(0);
  info.scan_method_id = integer(s.scan_method_id).value_or(0);
  info.time_segment_id = integer(s.time_segment_id).value_or(0);
  info.retention_time_min = real(s.scan_time).value_or(0.0);
  info.ms_level = int32(integer(s.ms_level)).value_or(0);
  info.scan_type = int32(integer(s.scan_type));
  if (const auto p = integer(s.ion_polarity)) {
    if (*p == 0) info.polarity = Polarity::positive;
    if (*p == 1) info.polarity = Polarity::negative;
  }
  if (const auto mz = real(s.mz_of_interest); mz && info.ms_level >= 2 && *mz > 0.0) {
    info.precursor_mz = mz;
  }
  info.collision_energy = real(s.collision_energy);
  info.fragmentor = real(s.fragmentor);
  info.isolation_width = real(s.isolation_width);
  info.tic = real(s.tic);
  info.base_peak_mz = real(s.base_peak_mz);
  info.base_peak_value = real(s.base_peak_value);
  info.calibration_id = int32(integer(s.calibration_id));
  const RecordBlocks& rb = s.blocks[i];
  const auto points = [&](std::int32_t j) -> std::uint64_t {
    if (j < 0) return 0;
    const auto n = s.block(i, static_cast<std::uint32_t>(j)).point_count;
    return n > 0 ? static_cast<std::uint64_t>(n) : 0;
  };
  info.profile_points = points(rb.profile);
  info.centroid_points = points(rb.centroid);
  info.incomplete = rb.incomplete;
  return info;
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
  Block blocks[2];
  for (int k = 0; k < 2; ++k) {
    if (order[k] < 0) continue;
    blocks[k] = s.block(i, static_cast<std::uint32_t>(order[k]));
    *slots[k] = s.precheck(i, blocks[k]);
  }
  for (int k = 0; k < 2; ++k) {
    if (order[k] < 0 || *slots[k] != Status::ok) continue;
    Status st = s.decode(i, blocks[k], out, scratch);
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
