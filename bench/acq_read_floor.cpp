// The C++ library's own time for the reads kestrane_acq makes, to set beside the binding:
// Acquisition::read(i) for every scan (fresh arrays, as the binding hands to numpy) and its
// ScanInfo, after one Acquisition::open. Prints the best and median of REPS runs in seconds of
// process CPU time, and the points read.
//   acq_read_floor DIR [REPS [profile|centroid]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "src/acq/acquisition.hpp"

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [REPS [profile|centroid]]\n", argv[0]);
    return 2;
  }
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const auto prefer = kestrane::acq::prefer_from_string(argc > 3 ? argv[3] : "profile");
  if (!prefer) return 2;
  auto acq = kestrane::acq::Acquisition::open(argv[1]);
  if (!acq) {
    std::fprintf(stderr, "%s\n", acq.error().display().c_str());
    return 1;
  }
  std::vector<double> times;
  std::size_t points = 0;
  for (int r = 0; r < reps; ++r) {
    points = 0;
    const double start = cpu_seconds();
    for (std::size_t i = 0; i < acq->size(); ++i) {
      const kestrane::acq::Spectrum s = acq->read(i, *prefer);
      const kestrane::acq::ScanInfo info = acq->scan(i);
      points += s.mz.size() + static_cast<std::size_t>(info.ms_level == 0);
    }
    times.push_back(cpu_seconds() - start);
  }
  std::sort(times.begin(), times.end());
  std::printf("read best %.6f median %.6f points %zu\n", times.front(), times[times.size() / 2],
              points);
  return 0;
}
