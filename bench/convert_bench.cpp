// The converter on a generated run-length TOF run of 1,000 x 400,000 points against its floor:
// libdeflate over the same decoded arrays plus base64, single-threaded, with nothing else. Also
// the converter on two threads, and the peak resident memory of whole conversions of 100 and
// 1,000 scans of the same size.
//
//   convert_bench [--acq-runs=DIR] [--scans=N] [--points=P] [benchmark flags]
//
// N scans of P points (default 1,000 and 400,000) for the speed; N and N / 10 for the memory.
// DIR holds the runs tof_<N>x<P>.d (generated with the C++ builders when absent; default
// $TMPDIR/kestrane-acq-runs, as acq_bench). KESTRANE_BENCH_DIR: where the output goes (default
// /dev/shm, else /tmp); removed afterwards.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/measure.hpp"
#include "src/convert/convert.hpp"
#include "src/mzml/base64.hpp"
#include "tests/support/acq_builders.hpp"

namespace {

namespace fs = std::filesystem;
namespace acq = kestrane::acq;
namespace convert = kestrane::convert;

std::size_t points = 400000;

std::string& runs_dir() {
  static std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestrane-acq-runs";
  }();
  return dir;
}

std::string run(std::size_t scans) {
  const fs::path path = fs::path(runs_dir()) /
                        ("tof_" + std::to_string(scans) + "x" + std::to_string(points) + ".d");
  if (!fs::exists(path / "AcqData" / "MSScan.bin")) {
    kestrane::acq_test::write_tof_run(path.string(), scans, points, 1);
  }
  return path.string();
}

acq::Acquisition open(std::size_t scans) {
  auto a = acq::Acquisition::open(run(scans));
  if (!a) {
    std::fprintf(stderr, "%s\n", a.error().display().c_str());
    std::exit(1);
  }
  return std::move(*a);
}

std::string output_path(const char* what) {
  const char* d = std::getenv("KESTRANE_BENCH_DIR");
  const std::string dir = d != nullptr ? d : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return dir + "/kestrane-" + what + "-" + std::to_string(::getpid()) + ".mzML";
}

kestrane::Result<convert::ConvertSummary> convert_run(const acq::Acquisition& a, unsigned threads,
                                                      const std::string& path) {
  convert::ConvertOptions options;
  options.threads = threads;
  options.overwrite = true;
  auto r = convert::convert(a, path, options);
  std::remove(path.c_str());
  return r;
}

// range(0) scans, range(1) threads.
void BM_Convert(benchmark::State& state) {
  const auto threads = static_cast<unsigned>(state.range(1));
  const acq::Acquisition a = open(static_cast<std::size_t>(state.range(0)));
  const std::string path = output_path("convert");
  std::uint64_t bytes = 0;
  double writing_thread_cpu = 0;
  for (auto _ : state) {
    const double cpu_before = kestrane::bench::thread_cpu_seconds();
    const auto r = convert_run(a, threads, path);
    writing_thread_cpu = kestrane::bench::thread_cpu_seconds() - cpu_before;
    if (!r) {
      state.SkipWithError(r.error().display().c_str());
      return;
    }
    bytes = r->bytes;
  }
  state.counters["output_bytes"] = static_cast<double>(bytes);
  // With several threads the calling thread only writes: the part that does not parallelise.
  state.counters["writing_thread_cpu_s"] = writing_thread_cpu;
}

template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& v) {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T)};
}

// The floor: every scan decoded outside the clock, then its arrays as the converter stores them
// (m/z 64-bit, counts 32-bit where exact) compressed at its level and base64-encoded, nothing
// else.
void BM_Floor(benchmark::State& state) {
  const acq::Acquisition a = open(static_cast<std::size_t>(state.range(0)));
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(
      libdeflate_alloc_compressor(kestrane::mzml::default_compression_level),
      libdeflate_free_compressor);
  std::vector<std::uint8_t> buffer(libdeflate_zlib_compress_bound(c.get(), points * 8));
  acq::Spectrum s;
  acq::ReadScratch scratch;
  std::vector<double> mz, wide;
  std::vector<float> counts;
  std::string text;
  std::uint64_t encoded = 0;
  for (auto _ : state) {
    encoded = 0;
    std::chrono::steady_clock::duration timed{};
    for (std::size_t i = 0; i < a.size(); ++i) {
      a.read_into(i, acq::Prefer::profile, s, scratch);
      mz.assign(s.mz.begin(), s.mz.end());
      wide.assign(s.intensity.begin(), s.intensity.end());
      const bool narrow = kestrane::mzml::narrow_exactly(wide, counts);
      const auto start = std::chrono::steady_clock::now();
      for (const auto bytes : {bytes_of(mz), narrow ? bytes_of(counts) : bytes_of(wide)}) {
        const std::size_t z = libdeflate_zlib_compress(c.get(), bytes.data(), bytes.size(),
                                                       buffer.data(), buffer.size());
        text.clear();
        kestrane::mzml::append_base64(text, std::span(buffer).first(z));
        encoded += text.size();
        benchmark::DoNotOptimize(text.data());
      }
      timed += std::chrono::steady_clock::now() - start;
    }
    state.SetIterationTime(std::chrono::duration<double>(timed).count());
  }
  state.counters["encoded_bytes"] = static_cast<double>(encoded);
}

// Peak resident memory that opening and converting range(0) scans on 2 threads adds (in a
// child).
void BM_PeakMemory(benchmark::State& state) {
  const auto scans = static_cast<std::size_t>(state.range(0));
  (void)run(scans);
  const std::string path = output_path("memory");
  double growth_mib = 0;
  for (auto _ : state) {
    const auto growth = kestrane::bench::peak_growth_kib(
        [&] { return convert_run(open(scans), 2, path).has_value(); });
    if (!growth) {
      state.SkipWithError("conversion failed in the child");
      return;
    }
    growth_mib = static_cast<double>(*growth) / 1024.0;
  }
  state.counters["peak_growth_MiB"] = growth_mib;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  std::int64_t scans = 1000;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--acq-runs=")) {
      runs_dir() = std::string(arg.substr(11));
    } else if (arg.starts_with("--scans=")) {
      scans = std::atoll(argv[i] + 8);
    } else if (arg.starts_with("--points=")) {
      points = static_cast<std::size_t>(std::atoll(argv[i] + 9));
    } else {
      args.push_back(argv[i]);
    }
  }
  if (scans < 10 || points < 1) {
    std::fprintf(stderr, "convert_bench: --scans must be at least 10, --points at least 1\n");
    return 2;
  }
  // CPU time of the whole process: the workers' too.
  benchmark::RegisterBenchmark("BM_Convert", BM_Convert)
      ->Args({scans, 1})
      ->Args({scans, 2})
      ->Iterations(1)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("BM_Floor", BM_Floor)
      ->Arg(scans)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("BM_PeakMemory", BM_PeakMemory)
      ->Arg(scans / 10)
      ->Arg(scans)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kSecond);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
