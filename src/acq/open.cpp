// Acquisition::open(): the directory, MSScan.bin and its layout, the format table, the data
// files and the small companion files, one step each, in the order that decides which error
// and which warning comes first. No block is decoded.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "src/acq/acquisition.hpp"
#include "src/acq/calibration.hpp"
#include "src/acq/codecs.hpp"
#include "src/acq/icp.hpp"
#include "src/acq/io.hpp"
#include "src/acq/msts.hpp"
#include "src/acq/schema.hpp"
#include "src/acq/state.hpp"
#include "src/acq/xml.hpp"

namespace kestrane::acq {

namespace {

using State = Acquisition::State;

constexpr std::uint64_t index_limit = std::uint64_t{1} << 34;
constexpr std::uint64_t mass_cal_limit = std::uint64_t{1} << 30;
// Data files up to this size are read whole on their first read and served from memory: one
// read instead of one per block. Larger ones are read block by block.
constexpr std::uint64_t whole_file_limit = std::uint64_t{8} << 20;
constexpr std::uint64_t builtin_icp_stride = 136;
constexpr const char* builtin_icp_source = "built-in ICP layout";
// Records walked between two looks at the stop request: well under a millisecond of work.
constexpr std::size_t records_per_check = std::size_t{1} << 16;

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

// What the steps share: the state they fill and the directories they read from.
struct Opening {
  State& s;
  std::string root;  // the folder holding AcqData; MSTS_XAddition.xml lies there
  std::string dir;   // AcqData, with a trailing slash
  Interrupt* interrupt = nullptr;

  void warn(std::string text) { s.warnings.push_back(std::move(text)); }
};

// "not an acquisition directory: <path> (no AcqData/MSScan.bin)".
Error not_acquisition(const std::string& path) {
  return Error::parse("not an acquisition directory: " + path + " (no AcqData/MSScan.bin)")
      .with_path(path);
}

// The AcqData directory: `path`/AcqData, or `path` itself when it holds MSScan.bin. A missing
// or non-directory path is the system's error about that path; a directory without an index is
// not an acquisition directory.
Result<Opening> locate(State& s, const std::string& path, Interrupt* interrupt) {
  AcqInfo& info = s.info;
  info.path = path;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(Error::io_os(errno).with_path(path));
  if (!S_ISDIR(st.st_mode)) return std::unexpected(Error::io_os(ENOTDIR).with_path(path));
  std::string root = path;
  if (is_directory(path + "/AcqData")) {
    info.acq_data = path + "/AcqData";
  } else if (is_regular(path + "/MSScan.bin")) {
    info.acq_data = path;
    root = parent_of(path);
  } else {
    return std::unexpected(not_acquisition(path));
  }
  return Opening{s, std::move(root), info.acq_data + "/", interrupt};
}

// MSScan.bin, read whole, and its header.
Result<ScanHeader> read_header(Opening& o) {
  State& s = o.s;
  const std::string& dir = o.dir;
  auto index = read_pooled_file(dir + "MSScan.bin", "MSScan.bin", index_limit, o.interrupt);
  if (!index) return std::unexpected(std::move(index).error());
  if (!*index) return std::unexpected(not_acquisition(s.info.path));
  s.index_bytes = std::move(**index);
  s.index = std::as_const(s.index_bytes).bytes();
  auto header = parse_scan_header(s.index);
  if (!header) return std::unexpected(std::move(header).error().with_path(dir + "MSScan.bin"));
  s.info.layout_version = header->layout_version;
  s.info.blocks_per_record = header->blocks_per_record;
  s.info.data_offset = header->data_offset;
  s.info.formats = header->formats;
  return header;
}

// The record layout: the schema, or the built-in ICP layout under its conditions; then the
// record count. `xspecific` receives MSScan_XSpecific.bin when present (one of the conditions).
Result<void> read_layout(Opening& o, const ScanHeader& header,
                         std::optional<DataFile>& xspecific) {
  State& s = o.s;
  AcqInfo& info = s.info;
  const std::string& dir = o.dir;
  const std::uint64_t payload = s.index.size() - header.data_offset;
  auto xsd = read_small_file(dir + "MSScan.xsd", "MSScan.xsd", xml_max_bytes);
  if (!xsd) return std::unexpected(std::move(xsd).error());
  Result<RecordLayout> layout = RecordLayout{};
  auto xspecific_file = DataFile::open_if_present(dir + "MSScan_XSpecific.bin", whole_file_limit);
  if (!xspecific_file) return std::unexpected(std::move(xspecific_file).error());
  xspecific = std::move(*xspecific_file);
  if (*xsd) {
    auto schema = parse_schema(**xsd, o.interrupt);
    if (!schema) return std::unexpected(std::move(schema).error().with_path(dir + "MSScan.xsd"));
    info.schema_source = "MSScan.xsd";
    info.schema_version = schema->version;
    layout = make_layout(*schema, header.blocks_per_record, "MSScan.xsd");
  } else {
    std::string unmet;
    if (header.layout_version != 1) {
      unmet = "layout version " + std::to_string(header.layout_version) + ", not 1";
    } else if (header.formats.size() != 1 || header.formats[0].kind != kind_profile ||
               header.formats[0].axes.size() != 4) {
      unmet = "the format table is not one profile entry with 4 axes";
    } else if (header.blocks_per_record != 1) {
      unmet = std::to_string(header.blocks_per_record) + " blocks per record, not 1";
    } else if (!xspecific) {
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
  s.layout = std::move(*layout);
  info.stride = s.layout.stride;
  // A run stopped while writing a record leaves it cut: the whole records are read.
  s.records = static_cast<std::size_t>(payload / s.layout.stride);
  if (const std::uint64_t cut = payload % s.layout.stride; cut != 0) {
    o.warn("MSScan.bin: ends " + std::to_string(cut) + " bytes into a record of " +
           std::to_string(s.layout.stride) + " (from " + info.schema_source + "); the " +
           std::to_string(s.records) + " whole records are read");
  }
  if (info.schema_version) {
    const std::string expected = std::to_string(header.layout_version) + ".0";
    if (*info.schema_version != expected) {
      o.warn("MSScan.xsd: version " + *info.schema_version + ", MSScan.bin layout version " +
             std::to_string(header.layout_version));
    }
  }
  return {};
}

// The fields scan(), scan_table() and read() load, resolved once by name.
void resolve_fields(State& s) {
  const RecordLayout& l = s.layout;
  s.scan_id = Loader::of(l.find("ScanID"));
  s.scan_method_id = Loader::of(l.find("ScanMethodID"));
  s.time_segment_id = Loader::of(l.find("TimeSegmentID"));
  s.scan_time = Loader::of(l.find("ScanTime"));
  s.ms_level = Loader::of(l.find("MSLevel"));
  s.scan_type = Loader::of(l.find("ScanType"));
  s.ion_polarity = Loader::of(l.find("IonPolarity"));
  s.mz_of_interest = Loader::of(l.find("MzOfInterest"));
  s.collision_energy = Loader::of(l.find("CollisionEnergy"));
  s.fragmentor = Loader::of(l.find("Fragmentor"));
  s.isolation_width = Loader::of(l.find("MzIsolationWidth"));
  s.charge_state = Loader::of(l.find("ChargeState"));
  s.tic = Loader::of(l.find("TIC"));
  s.base_peak_mz = Loader::of(l.find("BasePeakMZ"));
  s.base_peak_value = Loader::of(l.find("BasePeakValue"));
  s.calibration_id = Loader::of(l.find("CalibrationID"));
  s.mass_cal_offset = Loader::of(l.find("MassCalOffset"));
  s.xspecific_offset = Loader::of(l.find("XSpecificParamType.Offset"));
  s.xspecific_byte_count = Loader::of(l.find("XSpecificParamType.ByteCount"));
  s.format_id = Loader::of(l.find_block("SpectrumFormatID"));
  s.spectrum_offset = Loader::of(l.find_block("SpectrumOffset"));
  s.byte_count = Loader::of(l.find_block("ByteCount"));
  s.point_count = Loader::of(l.find_block("PointCount"));
}

// What the format table's decoders need beyond the blocks.
struct FormatUse {
  bool flight_time = false;  // some format holds flight times: calibration is read
  bool channels = false;     // some format holds ICP channels: their companions are read
};

// Each format's decoder, nullopt (with a warning) for an unknown combination; the family named
// after the decoders.
FormatUse classify_formats(Opening& o) {
  State& s = o.s;
  AcqInfo& info = s.info;
  FormatUse use;
  for (const auto& entry : info.formats) {
    s.formats.push_back(classify(entry));
    const auto& f = s.formats.back();
    if (!f) {
      o.warn("MSScan.bin: format " + std::to_string(entry.format_id) + " (kind " +
             std::to_string(entry.kind) + ", compression " + hex(entry.compression) + ", " +
             std::to_string(entry.axes.size()) + " axes) is not a known combination");
      continue;
    }
    use.flight_time = use.flight_time || f->x_quantity == quantity_flight_time;
    use.channels = use.channels || f->codec == Codec::channels;
    const std::string_view name = codec_name(f->codec);
    if (info.family.find(name) == std::string::npos) {
      info.family += (info.family.empty() ? "" : ", ") + std::string(name);
    }
  }
  return use;
}

// MSProfile.bin and MSPeak.bin, held open when present.
Result<void> open_data_files(Opening& o) {
  State& s = o.s;
  for (auto [name, slot, present] :
       {std::tuple{"MSProfile.bin", &s.profile_file, &s.info.has_profile_file},
        std::tuple{"MSPeak.bin", &s.peak_file, &s.info.has_peak_file}}) {
    auto file = DataFile::open_if_present(o.dir + name, whole_file_limit);
    if (!file) return std::unexpected(std::move(file).error());
    *slot = std::move(*file);
    *present = slot->has_value();
  }
  return {};
}

// The time segments of MSTS.xml: a cross-check, giving warnings only.
Result<void> read_msts(Opening& o) {
  auto msts = read_small_file(o.dir + "MSTS.xml", "MSTS.xml", xml_max_bytes);
  if (!msts) return std::unexpected(std::move(msts).error());
  if (*msts) {
    o.s.info.has_msts = true;
    auto segments = parse_msts(**msts);
    if (!segments) {
      o.warn(segments.error().display());
    } else {
      for (auto& w : msts_warnings(*segments, o.s.records)) o.warn(std::move(w));
    }
  }
  return {};
}

// The calibration of flight times: MSMassCal.bin's rows, DefaultMassCal.xml's entries, and
// whether rows go by record index (no record's MassCalOffset names a row, one row per record).
Result<void> read_calibration(Opening& o) {
  State& s = o.s;
  AcqInfo& info = s.info;
  const std::string& dir = o.dir;
  std::optional<MassCalFile> rows;
  auto mass_cal = read_small_file(dir + "MSMassCal.bin", "MSMassCal.bin", mass_cal_limit);
  if (!mass_cal) return std::unexpected(std::move(mass_cal).error());
  if (*mass_cal) {
    info.has_mass_cal = true;
    auto parsed = MassCalFile::parse(std::move(**mass_cal));
    if (!parsed) {
      o.warn(parsed.error().display() + "; its rows are not used");
    } else {
      if (const auto bad = parsed->non_finite_rows(); bad > 0) {
        o.warn("MSMassCal.bin: " + std::to_string(bad) +
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
      o.warn(parsed.error().display());
    } else {
      for (auto& w : parsed->warnings) o.warn(std::move(w));
      defaults = std::move(*parsed);
    }
  }
  if (rows && !defaults) o.warn("MSMassCal.bin: unused, DefaultMassCal.xml gives no orders");
  bool any_valid_offset = false;
  if (rows) {
    const bool walked =
        for_pieces(s.records, records_per_check, o.interrupt, [&](std::size_t b, std::size_t e) {
          for (std::size_t i = b; i < e && !any_valid_offset; ++i) {
            const auto offset = s.integer(i, s.mass_cal_offset);
            any_valid_offset = offset && rows->row_at(*offset).has_value();
          }
          return !any_valid_offset;
        });
    if (!walked) return std::unexpected(interrupted());
  }
  s.flight_time = true;
  s.cal_by_index = rows && !any_valid_offset && rows->row_count() == s.records;
  s.mass_cal_rows = std::move(rows);
  s.default_cals = std::move(defaults);
  return {};
}

// The companions of ICP channels: the channel masses (MSTS_XAddition.xml, beside AcqData), the
// accumulation times (MSTS_XSpecific.xml) and the detector modes (MSScan_XSpecific.bin).
Result<void> read_icp(Opening& o, std::optional<DataFile> xspecific) {
  State& s = o.s;
  AcqInfo& info = s.info;
  const std::string& dir = o.dir;
  const std::string& root = o.root;
  auto xaddition = read_small_file(root + "/MSTS_XAddition.xml", "MSTS_XAddition.xml",
                                   xml_max_bytes);
  if (!xaddition) return std::unexpected(std::move(xaddition).error());
  if (*xaddition) {
    info.has_xaddition = true;
    auto parsed = parse_xaddition(**xaddition);
    if (!parsed) {
      o.warn(parsed.error().display() + "; channel spectra are not emitted");
      s.channel_map_broken = true;
    } else {
      // Which entry the instrument meant is not known: the last is used, and said so.
      if (const auto twice = conflicting_indices(*parsed); !twice.empty()) {
        o.warn("MSTS_XAddition.xml: " + std::to_string(twice.size()) +
               " indices appear more than once in their segment with different masses; the last "
               "entry of each is used (first: segment " + std::to_string(twice[0].first) +
               ", index " + std::to_string(twice[0].second) + ")");
      }
      s.channel_map = std::move(*parsed);
    }
  }
  auto settings = read_small_file(dir + "MSTS_XSpecific.xml", "MSTS_XSpecific.xml",
                                  xml_max_bytes);
  if (!settings) return std::unexpected(std::move(settings).error());
  if (*settings) {
    info.has_xspecific_settings = true;
    auto parsed = parse_xspecific_settings(**settings);
    if (!parsed) {
      o.warn(parsed.error().display() + "; accumulation times are not known");
    } else {
      s.mass_settings = std::move(*parsed);
    }
  }
  s.xspecific_file = std::move(xspecific);
  info.has_xspecific_records = s.xspecific_file.has_value();
  return {};
}

// Each record's blocks by kind (the first non-empty one of each), and whether it was cut off.
Result<void> place_blocks(Opening& o) {
  State& s = o.s;
  const RecordLayout& l = s.layout;
  std::uint64_t unplaced = 0, doubled = 0, incomplete = 0;
  s.blocks.resize(s.records);
  const auto place = [&](std::size_t i) {
    RecordBlocks& rb = s.blocks[i];
    bool any = false, all_past = true;
    for (std::uint32_t j = 0; j < l.block_count; ++j) {
      const Block b = s.block(i, j);
      const auto* format = s.format_of(b);
      const bool placed = format != nullptr && *format &&
                          ((*format)->kind == kind_profile || (*format)->kind == kind_peak);
      if (!b.empty()) {
        any = true;
        all_past = all_past && s.bounds_of(b, format) == Status::past_end;
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
        if (s.block(i, static_cast<std::uint32_t>(slot)).empty()) {
          slot = static_cast<std::int32_t>(j);
        } else {
          ++doubled;
        }
      }
    }
    rb.incomplete = any && all_past;
    incomplete += rb.incomplete;
    if (i > 0) {
      RecordBlocks& before = s.blocks[i - 1];
      const auto same = [&](std::int32_t a, std::int32_t b) {
        if (a < 0 || b < 0) return false;
        const Block x = s.block(i - 1, static_cast<std::uint32_t>(a));
        return !x.empty() && x == s.block(i, static_cast<std::uint32_t>(b));
      };
      if (same(before.profile, rb.profile)) before.profile_shared = rb.profile_shared = true;
      if (same(before.centroid, rb.centroid)) before.centroid_shared = rb.centroid_shared = true;
    }
  };
  const bool walked =
      for_pieces(s.records, records_per_check, o.interrupt, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) place(i);
      });
  if (!walked) return std::unexpected(interrupted());
  if (unplaced > 0) {
    o.warn("MSScan.bin: " + std::to_string(unplaced) +
           " non-empty blocks name a format that is absent from the table or not decoded");
  }
  if (doubled > 0) {
    o.warn("MSScan.bin: " + std::to_string(doubled) +
           " non-empty blocks repeat a kind their record already has; only the first is read");
  }
  if (incomplete > 0) {
    o.warn("MSScan.bin: " + std::to_string(incomplete) +
           " records lie past the end of their data files (incomplete)");
  }
  return {};
}

}  // namespace

Result<Acquisition> Acquisition::open(const std::string& path, Interrupt* interrupt) {
  auto s = std::make_shared<State>();
  auto located = locate(*s, path, interrupt);
  if (!located) return std::unexpected(std::move(located).error());
  Opening& o = *located;
  // Between the steps, each of bounded cost or asking the interrupt itself.
  const auto stopped = [interrupt] { return stop_requested(interrupt); };
  auto header = read_header(o);
  if (!header) return std::unexpected(std::move(header).error());
  if (stopped()) return std::unexpected(interrupted());
  std::optional<DataFile> xspecific;
  if (auto done = read_layout(o, *header, xspecific); !done) {
    return std::unexpected(std::move(done).error());
  }
  resolve_fields(*s);
  const FormatUse use = classify_formats(o);
  if (auto done = open_data_files(o); !done) return std::unexpected(std::move(done).error());
  if (auto done = read_msts(o); !done) return std::unexpected(std::move(done).error());
  if (stopped()) return std::unexpected(interrupted());
  if (use.flight_time) {
    if (auto done = read_calibration(o); !done) return std::unexpected(std::move(done).error());
  }
  if (use.channels) {
    if (auto done = read_icp(o, std::move(xspecific)); !done) {
      return std::unexpected(std::move(done).error());
    }
  }
  if (stopped()) return std::unexpected(interrupted());
  if (auto done = place_blocks(o); !done) return std::unexpected(std::move(done).error());
  s->findings = std::make_unique<IntensityFindings>(s->records);
  static std::atomic<std::uint64_t> opened{0};
  s->serial = opened.fetch_add(1, std::memory_order_relaxed) + 1;
  return Acquisition(std::move(s));
}

}  // namespace kestrane::acq
