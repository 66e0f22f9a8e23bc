// The C++ library's own time for the reads kestrane_acq makes, to set beside the binding:
// Acquisition::read(i) for every scan (fresh arrays, as the binding hands to numpy) and its
// ScanInfo, after one Acquisition::open. Prints the best and median of REPS runs in seconds of
// process CPU time, and the points read. With `stream`, then the time of writing 12 bytes a point
// (a uint64 and a float32, what a point table holds beyond the read's own m/z) into memory
// already faulted in, with streaming stores where the target has them: the least memory traffic
// such a table adds.
//   acq_read_floor DIR [REPS [profile|centroid [stream]]]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "src/acq/acquisition.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Writes `n` copies of `v` into `index` and of `f` into `values`, both 16-byte aligned.
void stream(std::uint64_t* index, float* values, std::size_t n, std::uint64_t v, float f) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128i pair = _mm_set1_epi64x(static_cast<long long>(v));
  const __m128 four = _mm_set1_ps(f);
  for (; j + 4 <= n; j += 4) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(index + j), pair);
    _mm_stream_si128(reinterpret_cast<__m128i*>(index + j + 2), pair);
    _mm_stream_ps(values + j, four);
  }
  _mm_sfence();
#endif
  for (; j < n; ++j) {
    index[j] = v;
    values[j] = f;
  }
}

void print_stats(const char* what, std::vector<double>& times) {
  std::sort(times.begin(), times.end());
  std::printf("%s best %.6f median %.6f", what, times.front(), times[times.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [REPS [profile|centroid [stream]]]\n", argv[0]);
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
  print_stats("read", times);
  std::printf(" points %zu\n", points);
  if (argc < 5 || std::string(argv[4]) != "stream") return 0;

  std::vector<std::uint64_t> index(points + 1);
  std::vector<float> values(points + 4);
  auto* index_at = reinterpret_cast<std::uint64_t*>(
      (reinterpret_cast<std::uintptr_t>(index.data()) + 15) & ~std::uintptr_t{15});
  auto* values_at = reinterpret_cast<float*>(
      (reinterpret_cast<std::uintptr_t>(values.data()) + 15) & ~std::uintptr_t{15});
  std::vector<double> writes;
  for (int r = 0; r < reps; ++r) {
    const double start = cpu_seconds();
    stream(index_at, values_at, points, static_cast<std::uint64_t>(r), static_cast<float>(r));
    writes.push_back(cpu_seconds() - start);
  }
  print_stats("stream", writes);
  std::printf(" check %llu\n", static_cast<unsigned long long>(index_at[points / 2]));
  return 0;
}
