#include "src/convert/convert.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "src/acq/codecs.hpp"
#include "src/acq/scan_header.hpp"
#include "src/convert/generated.hpp"
#include "src/convert/mapping.hpp"
#include "src/convert/peaks.hpp"
#include "src/mzml/sha1.hpp"
#include "src/mzml/writer.hpp"
#include "src/mzml/xml.hpp"
#include "src/spectrum/summary.hpp"

namespace kestrane::convert {

namespace {

using Clock = std::chrono::steady_clock;

// A run whose every decodable format holds ICP channels becomes chromatograms.
bool channels_only(const acq::AcqInfo& info) {
  bool any = false;
  for (const auto& entry : info.formats) {
    const auto format = acq::classify(entry);
    if (!format) continue;
    if (format->codec != acq::Codec::channels) return false;
    any = true;
  }
  return any;
}

// A format table with a flight-time X axis means a time-of-flight analyzer; no other analyzer
// type is stated by the files.
std::optional<mzml::Analyzer> analyzer(const acq::AcqInfo& info) {
  for (const auto& entry : info.formats) {
    const auto format = acq::classify(entry);
    if (format && format->x_quantity == acq::quantity_flight_time) {
      return mzml::Analyzer::time_of_flight;
    }
  }
  return std::nullopt;
}

// The acquisition directory's name without its .d extension ("run" when it has none).
std::string run_id(const acq::AcqInfo& info) {
  std::error_code ec;
  std::filesystem::path acq_data = std::filesystem::absolute(info.acq_data, ec);
  if (ec) acq_data = info.acq_data;
  std::filesystem::path dir = acq_data.lexically_normal();
  if (!dir.has_filename()) dir = dir.parent_path();
  std::string name = dir.parent_path().filename().string();
  if (name.size() > 2 && (name.ends_with(".d") || name.ends_with(".D"))) {
    name.resize(name.size() - 2);
  }
  return name.empty() ? "run" : name;
}

// The records written, in order, and the spectrum types among them. Incomplete records are
// skipped here: the writer needs the count before the first spectrum.
struct Plan {
  std::vector<std::size_t> records;
  std::vector<mzml::SpectrumType> types;
  std::size_t selected = 0;
  std::size_t skipped = 0;
  std::size_t shared_times = 0;  // records whose scan time an earlier written record has
};

}  // namespace

Result<void> check_native_ids(const acq::Acquisition& acq, std::span<const std::size_t> records) {
  std::vector<std::pair<std::int64_t, std::size_t>> ids;
  ids.reserve(records.size());
  for (const std::size_t i : records) {
    const std::int64_t id = acq.scan(i).scan_id;
    if (id < 0) {
      return parse_error("MSScan.bin: record " + std::to_string(i) + " has a negative ScanID (" +
                         std::to_string(id) + ")");
    }
    ids.emplace_back(id, i);
  }
  std::sort(ids.begin(), ids.end());
  const auto twin = std::adjacent_find(ids.begin(), ids.end(), [](const auto& a, const auto& b) {
    return a.first == b.first;
  });
  if (twin != ids.end()) {
    return parse_error("MSScan.bin: records " + std::to_string(twin->second) + " and " +
                       std::to_string(std::next(twin)->second) + " share ScanID " +
                       std::to_string(twin->first) + "; native IDs must be unique");
  }
  return {};
}

namespace {

Result<Plan> make_plan(const acq::Acquisition& acq, const Selection& selection) {
  Plan plan;
  std::vector<double> times;
  std::array<bool, 3> seen{};
  for (std::size_t i = 0; i < acq.size(); ++i) {
    const acq::ScanInfo scan = acq.scan(i);
    if (!selection.selects(scan)) continue;
    ++plan.selected;
    if (scan.incomplete) {
      ++plan.skipped;
      continue;
    }
    plan.records.push_back(i);
    times.push_back(scan.retention_time_min);
    seen[static_cast<std::size_t>(spectrum_type(scan))] = true;
  }
  if (auto ids = check_native_ids(acq, plan.records); !ids) return std::unexpected(ids.error());
  std::sort(times.begin(), times.end());
  for (std::size_t k = 1; k < times.size(); ++k) plan.shared_times += times[k] == times[k - 1];
  for (const auto t : {mzml::SpectrumType::ms1, mzml::SpectrumType::msn, mzml::SpectrumType::sim}) {
    if (seen[static_cast<std::size_t>(t)]) plan.types.push_back(t);
  }
  return plan;
}

// Spectra that peak picking could not centroid (written as profile): how many, and the first.
struct PickFailures {
  std::mutex mutex;
  std::size_t count = 0;
  std::size_t first_record = 0;
  std::string first_text;

  void add(std::size_t record, std::string text) {
    const std::lock_guard lock(mutex);
    if (count++ == 0 || record < first_record) {
      first_record = record;
      first_text = std::move(text);
    }
  }
};

// The total ion current and base peak intensity of each spectrum as written, at its scan time:
// each entry set by the reader of that spectrum, before the chromatograms are read.
struct Traces {
  std::vector<double> time_min, tic, base_peak;
};

// Each worker thread reads with its own spectrum and scratch, so decoding runs on the workers.
// The error of a strict conversion for record r, which could not be read.
Error unreadable(const acq::Acquisition& acq, std::size_t r, std::string_view failure) {
  return Error::parse("MSScan.bin: record " + std::to_string(r) + " (" + native_id(acq.scan(r)) +
                      ") could not be read: " + std::string(failure));
}

// What every reader of one conversion shares: the records to write and how to read them.
// picking: null, or where the readers report what peak picking could not centroid; traces:
// null, or where each reader leaves its spectrum's TIC and base peak.
struct ScanPlan {
  const acq::Acquisition& acq;
  const std::vector<std::size_t>& records;
  acq::Prefer prefer;
  bool strict = false;
  PickFailures* picking = nullptr;
  Traces* traces = nullptr;
};

class ScanReader final : public mzml::Reader<mzml::SpectrumInput> {
 public:
  explicit ScanReader(const ScanPlan& plan) : p_(plan) {}

  Result<mzml::SpectrumInput> read(std::size_t i) override {
    const std::size_t r = p_.records[i];
    p_.acq.read_into(r, p_.prefer, spectrum_, scratch_);
    if (p_.picking != nullptr) {
      if (auto picked = pick_peaks(spectrum_, centroid::Options{}, centroids_); !picked) {
        p_.picking->add(r, native_id(p_.acq.scan(r)) + ": " + picked.error().display());
      }
    }
    mzml::SpectrumInput input;
    to_input(p_.acq.scan(r), spectrum_, p_.prefer, input);
    if (p_.strict && !input.failure.empty()) {
      return std::unexpected(unreadable(p_.acq, r, input.failure));
    }
    if (p_.traces != nullptr) {
      const spectrum::IntensitySummary sum = spectrum::summarise_intensity(input.intensity);
      p_.traces->tic[i] = sum.tic;
      p_.traces->base_peak[i] = sum.base ? input.intensity[*sum.base] : 0.0;
    }
    return input;
  }

 private:
  const ScanPlan& p_;
  acq::Spectrum spectrum_;
  acq::ReadScratch scratch_;
  centroid::Centroids centroids_;
};

class ScanSource final : public mzml::SpectrumSource {
 public:
  explicit ScanSource(ScanPlan plan) : plan_(plan) {}

  std::size_t size() const override { return plan_.records.size(); }
  std::unique_ptr<mzml::Reader<mzml::SpectrumInput>> reader() const override {
    return std::make_unique<ScanReader>(plan_);
  }

 private:
  ScanPlan plan_;
};

// One ICP channel over the run: the m/z of the second mass filter, the first's, and a point
// per scan that measured it.
struct Channel {
  double product_mz = 0.0;
  double precursor_mz = 0.0;
  std::vector<double> time_min;
  std::vector<double> counts;
};

struct Channels {
  std::vector<Channel> list;  // in order of first appearance
  std::size_t read = 0, empty = 0, failed = 0;
  std::string first_failure;
};

// Reads every planned scan and gathers its points per channel (channels keyed by the bits of
// both m/z values).
Result<Channels> gather_channels(const acq::Acquisition& acq, const Plan& plan,
                                 const ConvertOptions& options) {
  Channels out;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> by_mass;
  acq::Spectrum s;
  acq::ReadScratch scratch;
  const std::size_t n = plan.records.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (stop_requested(options.cancel)) return std::unexpected(mzml::conversion_cancelled());
    const std::size_t r = plan.records[k];
    acq.read_into(r, options.prefer, s, scratch);
    const bool usable =
        s.status == acq::Status::empty ||
        (s.status == acq::Status::ok && s.representation == acq::Representation::channels);
    if (!usable) {
      const std::string failure =
          s.status == acq::Status::ok ? std::string("not channels") : failure_text(s);
      if (options.strict) return std::unexpected(unreadable(acq, r, failure));
      if (out.failed++ == 0) out.first_failure = native_id(acq.scan(r)) + ": " + failure;
    } else {
      ++out.read;
      out.empty += s.mz.empty() ? 1 : 0;
      const double time = acq.scan(r).retention_time_min;
      const bool mapped = s.precursor_mz.size() == s.mz.size();
      for (std::size_t p = 0; p < s.mz.size(); ++p) {
        const double product = s.mz[p];
        const double first = mapped ? s.precursor_mz[p] : product;
        const auto key = std::pair{std::bit_cast<std::uint64_t>(first),
                                   std::bit_cast<std::uint64_t>(product)};
        auto [it, added] = by_mass.try_emplace(key, out.list.size());
        if (added) out.list.push_back(Channel{product, first, {}, {}});
        Channel& c = out.list[it->second];
        c.time_min.push_back(time);
        c.counts.push_back(s.intensity[p]);
      }
    }
    if (options.progress) options.progress(k + 1, n);
  }
  return out;
}

std::string chromatogram_id(const Channel& c) {
  std::string id = "SIM ";
  if (std::bit_cast<std::uint64_t>(c.precursor_mz) != std::bit_cast<std::uint64_t>(c.product_mz)) {
    id.append("Q1=");
    mzml::append_double(id, c.precursor_mz);
    id.append(" Q3=");
  } else {
    id.append("mz=");
  }
  mzml::append_double(id, c.product_mz);
  return id;
}

}  // namespace

Result<ConvertSummary> convert(const acq::Acquisition& acq, const std::string& path,
                               const ConvertOptions& options) {
  const auto start = Clock::now();
  if (auto bad = selection_error(options.selection)) return parse_error(std::move(*bad));
  auto plan = make_plan(acq, options.selection);
  if (!plan) return std::unexpected(std::move(plan).error());

  const acq::AcqInfo& info = acq.info();
  mzml::RunInfo run;
  run.run_id = run_id(info);
  run.source.path = info.acq_data + "/MSScan.bin";
  // The checksum of the bytes the index was read from: the file may have changed since.
  auto digest = mzml::Sha1::create();
  if (!digest) return std::unexpected(std::move(digest).error());
  digest->update(acq.index_file());
  auto sha1 = digest->finish_hex();
  if (!sha1) return std::unexpected(std::move(sha1).error());
  run.source.sha1 = std::move(*sha1);
  run.source.native_id_format = {std::string(native_id_format_accession),
                                 std::string(native_id_format_name), ""};
  run.source.file_format = {std::string(file_format_accession), std::string(file_format_name),
                            ""};
  run.analyzer = analyzer(info);
  run.software_name = software_name;
  run.software_version = software_version;

  ConvertSummary summary;
  summary.path = path;
  summary.records = acq.size();
  summary.selected = plan->selected;
  summary.restricted = options.selection.restricts();
  summary.skipped = plan->skipped;
  // The acquisition's warnings are taken at the end: they include what the reads found.
  std::vector<std::string> own;
  if (summary.restricted && plan->selected == 0) {
    own.push_back("the selection matches none of the " + std::to_string(acq.size()) +
                  " records; the mzML holds none of them");
  }

  mzml::WriteOptions write;
  write.threads = std::max(1u, options.threads);
  write.compression_level = options.compression_level;
  write.numpress = options.numpress;
  write.overwrite = options.overwrite;
  write.gzip = options.gzip;
  write.cancel = options.cancel;

  Result<mzml::WriteSummary> written = mzml::WriteSummary{};
  if (channels_only(info)) {
    auto channels = gather_channels(acq, *plan, options);
    if (!channels) return std::unexpected(std::move(channels).error());
    const std::vector<std::size_t> no_records;
    const ScanSource spectra({acq, no_records, options.prefer, options.strict});
    const mzml::FunctionSource<mzml::ChromatogramInput> chromatograms(
        channels->list.size(),
        [&list = channels->list](std::size_t i, mzml::Buffers&) -> Result<mzml::ChromatogramInput> {
          const Channel& c = list[i];
          mzml::ChromatogramInput input;
          input.id = chromatogram_id(c);
          if (std::bit_cast<std::uint64_t>(c.precursor_mz) !=
              std::bit_cast<std::uint64_t>(c.product_mz)) {
            input.precursor_mz = c.precursor_mz;
          }
          input.product_mz = c.product_mz;
          input.time_min = c.time_min;
          input.intensity = c.counts;
          return input;
        });
    written = mzml::write_mzml(path, run, spectra, &chromatograms, write);
    if (!written) return std::unexpected(std::move(written).error());
    summary.icp = true;
    summary.written = channels->read;
    summary.empty = channels->empty;
    summary.failed = channels->failed;
    if (channels->failed > 0) {
      own.push_back(std::to_string(channels->failed) +
                    " scans could not be read and are missing from the chromatograms (first: " +
                    channels->first_failure + ")");
    }
  } else {
    run.spectrum_types = plan->types;
    run.peak_picking = options.centroid;
    run.chromatogram_types = {mzml::ChromatogramType::tic, mzml::ChromatogramType::bpc};
    const std::size_t n = plan->records.size();
    // The two chromatograms after the spectra are not scans: progress counts the scans.
    if (options.progress) {
      write.progress = [&progress = options.progress, n](std::size_t done, std::size_t) {
        if (done <= n) progress(done, n);
      };
    }
    Traces traces{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t k = 0; k < n; ++k) {
      traces.time_min[k] = acq.scan(plan->records[k]).retention_time_min;
    }
    PickFailures picking;
    const ScanSource spectra({acq, plan->records, options.prefer, options.strict,
                              options.centroid ? &picking : nullptr, &traces});
    const mzml::FunctionSource<mzml::ChromatogramInput> chromatograms(
        2, [&traces](std::size_t i, mzml::Buffers&) -> Result<mzml::ChromatogramInput> {
          mzml::ChromatogramInput input;
          input.id = i == 0 ? "TIC" : "BPC";
          input.type = i == 0 ? mzml::ChromatogramType::tic : mzml::ChromatogramType::bpc;
          input.time_min = traces.time_min;
          input.intensity = i == 0 ? traces.tic : traces.base_peak;
          return input;
        });
    written = mzml::write_mzml(path, run, spectra, &chromatograms, write);
    if (!written) return std::unexpected(std::move(written).error());
    if (picking.count > 0) {
      own.push_back(std::to_string(picking.count) +
                    " profile spectra could not be centroided and are written as profile "
                    "(first: " + picking.first_text + ")");
    }
    summary.written = written->spectra;
    summary.empty = written->empty_spectra - written->failed_spectra;
    summary.failed = written->failed_spectra;
    if (plan->shared_times > 0) {
      own.push_back(std::to_string(plan->shared_times) +
                    " spectra share their scan start time with another spectrum (written as "
                    "stored; tools that key spectra by time report them as duplicates)");
    }
  }
  summary.warnings = acq.warnings();
  summary.warnings.insert(summary.warnings.end(), std::make_move_iterator(own.begin()),
                          std::make_move_iterator(own.end()));
  summary.chromatograms = written->chromatograms;
  summary.bytes = written->bytes;
  summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return summary;
}

Result<mzml::NumpressCodes> numpress_codes(std::string_view names) {
  using mzml::Numpress;
  constexpr std::array<std::pair<std::string_view, Numpress>, 3> codes{
      {{"linear", Numpress::linear}, {"pic", Numpress::pic}, {"slof", Numpress::slof}}};
  mzml::NumpressCodes out;
  std::string_view intensity_name;
  for (;;) {
    const std::size_t comma = names.find(',');
    const std::string_view name = names.substr(0, comma);
    const auto* it = std::find_if(codes.begin(), codes.end(),
                                  [name](const auto& c) { return c.first == name; });
    if (it == codes.end()) {
      return std::unexpected(Error::parse("unknown numpress code '" + std::string(name) +
                                          "' (linear, pic, slof)"));
    }
    Numpress& slot = it->second == Numpress::linear ? out.axis : out.intensity;
    if (slot == it->second) {
      return std::unexpected(
          Error::parse("numpress code " + std::string(name) + " given twice"));
    }
    if (slot != Numpress::none) {
      return std::unexpected(Error::parse("numpress codes " + std::string(intensity_name) +
                                          " and " + std::string(name) +
                                          " both apply to the intensities"));
    }
    slot = it->second;
    if (slot != Numpress::linear) intensity_name = it->first;
    if (comma == std::string_view::npos) return out;
    names.remove_prefix(comma + 1);
  }
}

std::string summary_line(const ConvertSummary& s) {
  std::string line = s.path + ": ";
  if (s.icp) {
    line += std::to_string(s.chromatograms) + " chromatograms from " + std::to_string(s.written) +
            " records";
  } else {
    line += std::to_string(s.written) + " scans written";
  }
  if (s.restricted) {
    line += " (" + std::to_string(s.selected) + " of " + std::to_string(s.records) +
            " records selected)";
  }
  line += ", " + std::to_string(s.skipped) + " skipped, " + std::to_string(s.empty) + " empty, " +
          std::to_string(s.failed) + " failed, " + std::to_string(s.warnings.size()) +
          " warnings";
  char figures[64];
  const double mb_per_s = s.seconds > 0.0 ? static_cast<double>(s.bytes) / 1e6 / s.seconds : 0.0;
  std::snprintf(figures, sizeof figures, ", %.2f s, %.1f MB/s", s.seconds, mb_per_s);
  return line + figures;
}

}  // namespace kestrane::convert
