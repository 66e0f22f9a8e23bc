// Prints one line per scan of an acquisition directory and a closing summary.
//   kestrane-scans DIR
#include <cinttypes>
#include <cstdio>
#include <string>

#include "src/reader/reader.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DATA_DIR\n", argv[0]);
    return 2;
  }
  auto reader = kestrane::reader::Reader::open(argv[1]);
  if (!reader) {
    std::fprintf(stderr, "%s\n", reader.error().display().c_str());
    return 1;
  }
  std::printf("%s: %zu scans, record stride %" PRIu32 "\n", reader->name().c_str(),
              reader->msscan().records.size(), reader->msscan().record_stride);
  std::printf("%8s %10s %5s %12s %8s %16s %14s\n", "index", "scan_id", "level", "rt_sec",
              "points", "tic", "base_peak_mz");

  std::uint64_t scans = 0, points = 0, empty = 0, profile = 0;
  std::uint64_t levels[3] = {0, 0, 0};  // MS1, MS2, other
  double total_tic = 0.0, first_rt = 0.0, last_rt = 0.0;
  auto it = reader->iter_spectra();
  while (auto s = it->next()) {
    double tic = 0.0, base_mz = 0.0;
    float base = -1.0f;
    for (std::size_t k = 0; k < s->intensity.size(); ++k) {
      tic += s->intensity[k];
      if (s->intensity[k] > base) {
        base = s->intensity[k];
        base_mz = s->mz[k];
      }
    }
    std::printf("%8" PRIu64 " %10" PRIu32 " %5" PRIu32 " %12.3f %8zu %16.1f %14.4f\n", s->index,
                s->scan_id, s->ms_level, s->retention_time_sec, s->mz.size(), tic, base_mz);
    if (scans == 0) first_rt = s->retention_time_sec;
    last_rt = s->retention_time_sec;
    ++scans;
    points += s->mz.size();
    empty += s->mz.empty();
    profile += s->profile_decoded;
    levels[s->ms_level == 1 ? 0 : s->ms_level == 2 ? 1 : 2] += 1;
    total_tic += tic;
  }
  std::printf(
      "summary: %" PRIu64 " scans (%" PRIu64 " MS1, %" PRIu64 " MS2, %" PRIu64
      " other), %" PRIu64 " from profile blocks, %" PRIu64 " empty; %" PRIu64
      " points; RT %.3f to %.3f s; total intensity %.6g\n",
      scans, levels[0], levels[1], levels[2], profile, empty, points, first_rt, last_rt,
      total_tic);
  return 0;
}
