// Floors for opening a whole run, in plain C++ with liblzf, to set beside RawReader(path):
//   naive:   per block open, seek, read, close; lzf_decompress; conversion into freshly
//            allocated arrays that stay alive, as a reader keeps them;
//   compute: the same reads, decompression and conversion into arrays touched before the clock
//            starts, so no page is faulted in while timing.
// Prints the best and median of REPS runs of each, in seconds of process CPU time.
//   open_floor DATA_DIR [REPS]
#include <fcntl.h>
#include <lzf.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "src/raw/msscan.hpp"

namespace {

using kestrane::raw::BlockDescriptor;
using kestrane::raw::MSScan;

struct Arrays {
  double* mz;
  float* intensity;
};

bool read_block(const std::string& path, const BlockDescriptor& b, std::vector<std::uint8_t>& buf) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  buf.resize(b.byte_count);
  bool ok = ::lseek(fd, static_cast<off_t>(b.byte_offset), SEEK_SET) >= 0;
  std::size_t done = 0;
  while (ok && done < buf.size()) {
    const ssize_t got = ::read(fd, buf.data() + done, buf.size() - done);
    if (got <= 0) ok = false;
    else done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return ok;
}

// Decodes one scan the way the reader does, into arrays from `alloc(n)`; returns the point count.
template <class Alloc>
std::size_t decode_scan(const MSScan& index, std::size_t i, const std::string& profile_path,
                        const std::string& peak_path, std::vector<std::uint8_t>& block,
                        std::vector<std::uint8_t>& expanded, Alloc alloc) {
  const auto& r = index.records[i];
  if (r.profile_block && r.profile_block->point_count > 0 &&
      read_block(profile_path, *r.profile_block, block) && block.size() >= 16) {
    const BlockDescriptor& b = *r.profile_block;
    const std::size_t n = b.point_count;
    expanded.resize(*b.uncompressed_byte_count);
    const unsigned got = lzf_decompress(block.data() + 16, static_cast<unsigned>(block.size() - 16),
                                        expanded.data(), static_cast<unsigned>(expanded.size()));
    if (got == expanded.size() && got >= 16 + 4 * n) {
      Arrays a = alloc(n);
      for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t v;
        std::memcpy(&v, expanded.data() + 16 + 4 * k, 4);
        a.intensity[k] = static_cast<float>(v);
      }
      const double first = r.mz_range_start.value_or(0.0), last = r.mz_range_end.value_or(0.0);
      const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
      for (std::size_t k = 0; k < n; ++k) a.mz[k] = static_cast<double>(k) * step + first;
      return n;
    }
  }
  if (r.peak_block && read_block(peak_path, *r.peak_block, block)) {
    const BlockDescriptor& b = *r.peak_block;
    const std::size_t n = b.point_count;
    if (block.size() < 12 * n || n == 0) return 0;
    Arrays a = alloc(n);
    if (b.format_id == 3) {
      for (std::size_t k = 0; k < n; ++k) {
        std::memcpy(&a.mz[k], block.data() + 12 * k, 8);
        std::memcpy(&a.intensity[k], block.data() + 12 * k + 8, 4);
      }
    } else {
      for (std::size_t k = 0; k < n; ++k) {
        double v;
        std::memcpy(&v, block.data() + 8 * k, 8);
        a.mz[k] = v / 100.0;
      }
      std::memcpy(a.intensity, block.data() + 8 * n, 4 * n);
    }
    return n;
  }
  return 0;
}

// CPU time of the process, user and system (page faults included).
double cpu_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATA_DIR [REPS]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string acq = dir + "/AcqData/";
  const std::string profile_path = acq + "MSProfile.bin", peak_path = acq + "MSPeak.bin";

  std::vector<double> naive, compute;
  std::size_t points = 0;
  for (int rep = 0; rep < reps; ++rep) {
    // Naive: fresh arrays per scan, freed only after the clock stops.
    {
      std::vector<std::pair<std::unique_ptr<double[]>, std::unique_ptr<float[]>>> kept;
      std::vector<std::uint8_t> block, expanded;
      const double t0 = cpu_seconds();
      auto index = MSScan::from_path(acq + "MSScan.bin");
      if (!index) {
        std::fprintf(stderr, "%s\n", index.error().display().c_str());
        return 1;
      }
      kept.reserve(index->records.size());
      points = 0;
      for (std::size_t i = 0; i < index->records.size(); ++i) {
        points += decode_scan(*index, i, profile_path, peak_path, block, expanded, [&](std::size_t n) {
          kept.emplace_back(new double[n], new float[n]);
          return Arrays{kept.back().first.get(), kept.back().second.get()};
        });
      }
      naive.push_back(cpu_seconds() - t0);
    }
    // Compute: one pre-touched slab for all arrays.
    {
      auto index = MSScan::from_path(acq + "MSScan.bin");
      std::size_t total = 0;
      for (const auto& r : index->records) {
        total += std::max(r.profile_block ? r.profile_block->point_count : 0u,
                          r.peak_block ? r.peak_block->point_count : 0u);
      }
      std::vector<double> mz(total, 1.0);
      std::vector<float> intensity(total, 1.0f);
      std::vector<std::uint8_t> block, expanded;
      std::size_t used = 0;
      const double t0 = cpu_seconds();
      auto timed_index = MSScan::from_path(acq + "MSScan.bin");
      for (std::size_t i = 0; i < timed_index->records.size(); ++i) {
        decode_scan(*timed_index, i, profile_path, peak_path, block, expanded, [&](std::size_t n) {
          Arrays a{mz.data() + used, intensity.data() + used};
          used += n;
          return a;
        });
      }
      compute.push_back(cpu_seconds() - t0);
    }
  }
  auto report = [](const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%s best %.4f median %.4f\n", name, v.front(), v[v.size() / 2]);
  };
  std::printf("points %zu\n", points);
  report("naive_floor", naive);
  report("compute_floor", compute);
  return 0;
}
