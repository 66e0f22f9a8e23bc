// The mzML writer on generated time-of-flight runs (400,000 points a spectrum) against its floor:
// libdeflate over the same arrays plus base64, single-threaded, with nothing else. Also the
// writer on two threads, zlib's level 6 (what Python writers use) on the same arrays for size
// and time, and the peak resident memory of whole conversions of 100 and 1,000 spectra.
//   KESTRANE_BENCH_DIR: where the output goes (default /dev/shm, else /tmp); removed afterwards.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.hpp"
#include "mzml_data.hpp"
#include "src/mzml/base64.hpp"
#include "src/mzml/writer.hpp"

namespace {

namespace mzml = kestrane::mzml;

constexpr std::size_t points = 400000;
constexpr std::size_t distinct = 8;  // spectra cycle through this many intensity arrays

struct Pool {
  std::vector<double> mz = kestrane::bench::tof_mz_axis(points);
  std::vector<std::vector<double>> counts;
  std::vector<std::vector<float>> counts32;  // the same values, as the writer stores them

  Pool() {
    for (std::uint32_t s = 0; s < distinct; ++s) {
      counts.push_back(kestrane::bench::tof_counts(points, s + 1));
      counts32.emplace_back(counts.back().begin(), counts.back().end());
    }
  }
};

const Pool& pool() {
  static const Pool p;
  return p;
}

std::string output_dir() {
  if (const char* d = std::getenv("KESTRANE_BENCH_DIR")) return d;
  return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& v) {
  return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size() * sizeof(T)};
}

kestrane::Result<mzml::WriteSummary> convert(std::size_t n, unsigned threads,
                                             const std::string& path) {
  const Pool& p = pool();
  const mzml::FunctionSource<mzml::SpectrumInput> source(
      n, [&p](std::size_t i, mzml::Buffers&) -> kestrane::Result<mzml::SpectrumInput> {
        mzml::SpectrumInput s;
        s.native_id = "scanId=" + std::to_string(i + 1);
        s.polarity = mzml::Polarity::positive;
        s.scan_start_time_min = 0.01 * static_cast<double>(i);
        s.mz = p.mz;
        s.intensity = p.counts[i % distinct];
        return s;
      });
  mzml::RunInfo run;
  run.run_id = "bench";
  run.source.path = "bench.d/AcqData/MSScan.bin";
  run.software_name = "kestrane";
  run.software_version = "bench";
  run.spectrum_types = {mzml::SpectrumType::ms1};
  mzml::WriteOptions options;
  options.threads = threads;
  options.overwrite = true;
  auto r = mzml::write_mzml(path, run, source, nullptr, options);
  std::remove(path.c_str());
  return r;
}

// range(0) spectra, range(1) threads.
void BM_Writer(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto threads = static_cast<unsigned>(state.range(1));
  (void)pool();
  const std::string path = output_dir() + "/kestrane-bench-" + std::to_string(::getpid()) + ".mzML";
  std::uint64_t bytes = 0;
  double writing_thread_cpu = 0;
  for (auto _ : state) {
    const double cpu_before = kestrane::bench::thread_cpu_seconds();
    const auto r = convert(n, threads, path);
    writing_thread_cpu = kestrane::bench::thread_cpu_seconds() - cpu_before;
    if (!r) {
      state.SkipWithError(r.error().display().c_str());
      return;
    }
    bytes = r->bytes;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * points * 16));
  state.counters["output_bytes"] = static_cast<double>(bytes);
  // With several threads the calling thread only writes: the part that does not parallelise.
  state.counters["writing_thread_cpu_s"] = writing_thread_cpu;
}

// The floor: the same bytes compressed at the writer's level and base64-encoded, nothing else.
void BM_Floor(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Pool& p = pool();
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(
      libdeflate_alloc_compressor(mzml::default_compression_level), libdeflate_free_compressor);
  std::vector<std::uint8_t> buffer(libdeflate_zlib_compress_bound(c.get(), points * 8));
  std::string text;
  std::uint64_t encoded = 0;
  for (auto _ : state) {
    encoded = 0;
    for (std::size_t i = 0; i < n; ++i) {
      for (const auto bytes : {bytes_of(p.mz), bytes_of(p.counts32[i % distinct])}) {
        const std::size_t z = libdeflate_zlib_compress(c.get(), bytes.data(), bytes.size(),
                                                       buffer.data(), buffer.size());
        text.clear();
        mzml::append_base64(text, std::span(buffer).first(z));
        encoded += text.size();
        benchmark::DoNotOptimize(text.data());
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * points * 16));
  state.counters["encoded_bytes"] = static_cast<double>(encoded);
}

// zlib at level 6 plus base64 over the distinct spectra: sizes of both compressors, and zlib's
// time per spectrum.
void BM_Zlib6(benchmark::State& state) {
  const Pool& p = pool();
  std::vector<std::uint8_t> buffer(compressBound(points * 8));
  std::string text;
  std::uint64_t zlib_bytes = 0;
  for (auto _ : state) {
    zlib_bytes = 0;
    for (std::size_t i = 0; i < distinct; ++i) {
      for (const auto bytes : {bytes_of(p.mz), bytes_of(p.counts32[i])}) {
        uLongf z = buffer.size();
        compress2(buffer.data(), &z, bytes.data(), bytes.size(), 6);
        text.clear();
        mzml::append_base64(text, std::span(buffer).first(z));
        zlib_bytes += z;
        benchmark::DoNotOptimize(text.data());
      }
    }
  }
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> c(
      libdeflate_alloc_compressor(mzml::default_compression_level), libdeflate_free_compressor);
  std::uint64_t ours = 0;
  for (std::size_t i = 0; i < distinct; ++i) {
    for (const auto bytes : {bytes_of(p.mz), bytes_of(p.counts32[i])}) {
      ours += libdeflate_zlib_compress(c.get(), bytes.data(), bytes.size(), buffer.data(),
                                       buffer.size());
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * distinct));
  state.counters["zlib6_bytes"] = static_cast<double>(zlib_bytes);
  state.counters["libdeflate_bytes"] = static_cast<double>(ours);
  state.counters["size_ratio"] = static_cast<double>(ours) / static_cast<double>(zlib_bytes);
}

// Peak resident memory a conversion of range(0) spectra on 2 threads adds (in a child).
void BM_PeakMemory(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  (void)pool();
  const std::string path = output_dir() + "/kestrane-mem-" + std::to_string(::getpid()) + ".mzML";
  double growth_mib = 0;
  for (auto _ : state) {
    const auto growth =
        kestrane::bench::peak_growth_kib([&] { return convert(n, 2, path).has_value(); });
    if (!growth) {
      state.SkipWithError("conversion failed in the child");
      return;
    }
    growth_mib = static_cast<double>(*growth) / 1024.0;
  }
  state.counters["peak_growth_MiB"] = growth_mib;
}

// CPU time of the whole process: the workers' too.
BENCHMARK(BM_Writer)->Args({1000, 1})->Args({1000, 2})->Iterations(1)->UseRealTime()
    ->MeasureProcessCPUTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Floor)->Arg(1000)->Iterations(1)->UseRealTime()->MeasureProcessCPUTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Zlib6)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Arg(100)->Arg(1000)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
