// Prints one line per record of an acquisition directory in the self-describing form, and a
// summary (records, emitted, empty, incomplete, failed, warnings).
//   kestrane-acq-scans DIR [--prefer profile|centroid] [--json]
// With --json, stdout holds one JSON object per record and nothing else; the summary and the
// warnings go to stderr. Floats are printed with 17 significant digits.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "src/acq/acquisition.hpp"
#include "src/acq/chromatograms.hpp"

namespace {

using kestrane::acq::Acquisition;
using kestrane::acq::Prefer;
using kestrane::acq::ScanInfo;
using kestrane::acq::Spectrum;
using kestrane::acq::Status;

std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string number(const std::optional<double>& v) { return v ? number(*v) : "null"; }

std::string word(std::string_view w) { return "\"" + std::string(w) + "\""; }

template <class E>
std::string word(const std::optional<E>& v) {
  return v ? word(kestrane::acq::to_string(*v)) : "null";
}

std::string scan_type(const std::optional<std::int32_t>& t) {
  if (!t) return "null";
  if (*t == 1) return word("full");
  if (*t == 2) return word("SIM");
  return std::to_string(*t);
}

// Sum and base peak (the first highest point) as every reporter gives them, and the ends of
// the emitted arrays.
struct Summary {
  double tic = 0.0;
  std::optional<double> base_mz, base_intensity, mz_first, mz_last;
};

Summary summary_of(const Spectrum& s) {
  Summary out;
  const kestrane::spectrum::IntensitySummary sum = kestrane::acq::summarise(s);
  out.tic = sum.tic;
  if (sum.base) {
    out.base_intensity = s.intensity[*sum.base];
    out.base_mz = s.mz[*sum.base];
  }
  if (!s.mz.empty()) {
    out.mz_first = s.mz.front();
    out.mz_last = s.mz.back();
  }
  return out;
}

void print_json(const ScanInfo& info, const Spectrum& s, const Summary& sum) {
  std::printf(
      "{\"index\": %zu, \"scan_id\": %" PRId64 ", \"rt_min\": %s, \"ms_level\": %d, "
      "\"scan_type\": %s, \"polarity\": %s, \"precursor_mz\": %s, \"representation\": %s, "
      "\"points\": %zu, \"tic\": %s, \"base_mz\": %s, \"base_intensity\": %s, \"mz_first\": %s, "
      "\"mz_last\": %s, \"calibration\": %s, \"status\": %s, \"profile_status\": %s, "
      "\"centroid_status\": %s}\n",
      info.index, info.scan_id, number(info.retention_time_min).c_str(), info.ms_level,
      scan_type(info.scan_type).c_str(), word(info.polarity).c_str(),
      number(info.precursor_mz).c_str(), word(s.representation).c_str(), s.mz.size(),
      number(sum.tic).c_str(), number(sum.base_mz).c_str(), number(sum.base_intensity).c_str(),
      number(sum.mz_first).c_str(), number(sum.mz_last).c_str(), word(s.calibration).c_str(),
      word(kestrane::acq::to_string(s.status)).c_str(), word(s.profile_status).c_str(),
      word(s.centroid_status).c_str());
}

std::string text(const std::optional<double>& v, const char* format) {
  if (!v) return "-";
  char out[40];
  std::snprintf(out, sizeof out, format, *v);
  return out;
}

template <class E>
std::string text(const std::optional<E>& v) {
  return v ? std::string(kestrane::acq::to_string(*v)) : "-";
}

void print_line(const ScanInfo& info, const Spectrum& s, const Summary& sum) {
  std::printf("%7zu %9" PRId64 " %10.6f %5d %-8s %8zu %16s %12s %-17s %-14s %-14s %s\n",
              info.index, info.scan_id, info.retention_time_min, info.ms_level,
              text(s.representation).c_str(), s.mz.size(), text(sum.tic, "%.4f").c_str(),
              text(sum.base_mz, "%.5f").c_str(), text(s.calibration).c_str(),
              std::string(kestrane::acq::to_string(s.status)).c_str(),
              text(s.profile_status).c_str(), text(s.centroid_status).c_str());
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s DIR [--prefer profile|centroid] [--json]\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> dir;
  Prefer prefer = Prefer::profile;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--prefer" && i + 1 < argc) {
      const auto p = kestrane::acq::prefer_from_string(argv[++i]);
      if (!p) return usage(argv[0]);
      prefer = *p;
    } else if (!dir && !arg.starts_with("--")) {
      dir = std::string(arg);
    } else {
      return usage(argv[0]);
    }
  }
  if (!dir) return usage(argv[0]);

  auto acq = Acquisition::open(*dir);
  if (!acq) {
    std::fprintf(stderr, "%s\n", acq.error().display().c_str());
    return 1;
  }
  FILE* notes = json ? stderr : stdout;
  if (!json) {
    const auto& info = acq->info();
    std::printf("%s: %zu records, stride %" PRIu64 ", %s, %s\n", dir->c_str(), acq->size(),
                info.stride, info.schema_source.c_str(), info.family.c_str());
    std::printf("%7s %9s %10s %5s %-8s %8s %16s %12s %-17s %-14s %-14s %s\n", "index", "scan_id",
                "rt_min", "level", "repr", "points", "tic", "base_mz", "calibration", "status",
                "profile", "centroid");
  }
  std::uint64_t emitted = 0, empty = 0, incomplete = 0, failed = 0;
  Spectrum s;
  kestrane::acq::ReadScratch scratch;
  for (std::size_t i = 0; i < acq->size(); ++i) {
    acq->read_into(i, prefer, s, scratch);
    const ScanInfo info = acq->scan(i);
    const Summary sum = summary_of(s);
    if (json) {
      print_json(info, s, sum);
    } else {
      print_line(info, s, sum);
    }
    emitted += s.status == Status::ok;
    empty += s.status == Status::empty;
    incomplete += s.status == Status::incomplete;
    failed += s.status != Status::ok && s.status != Status::empty &&
              s.status != Status::incomplete;
  }
  for (const auto& w : acq->warnings()) std::fprintf(notes, "warning: %s\n", w.c_str());
  std::fprintf(notes,
               "summary: records %zu, emitted %" PRIu64 ", empty %" PRIu64 ", incomplete %" PRIu64
               ", failed %" PRIu64 ", warnings %zu\n",
               acq->size(), emitted, empty, incomplete, failed, acq->warnings().size());
  return 0;
}
