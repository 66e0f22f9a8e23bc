// The self-describing reader on runs written by the fixture writer: run-length decode against a
// memcpy of its output, calibration against the plain polynomial loop, a whole calibrated
// spectrum, Acquisition::open on runs of 400,000 and 1,000 points per scan, and reading every
// scan from one and from two threads.
//
//   acq_bench --run-400k=DIR [--run-1k=DIR] [--run-read-all=DIR] [benchmark flags]
//
// Each DIR is a TOF run-length run of 1,000 scans of 400,000 points (--run-400k), of 1,000
// points (--run-1k) and the run every scan of which is read (--run-read-all; default the
// 400k run), as `python -m kestrane_fixtures acq-sample DIR --family tof-rle --scans S
// --points P` writes them (bench/run_benchmarks.py does, and caches them). A benchmark whose
// run is not given reports an error and measures nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.hpp"
#include "src/acq/acquisition.hpp"
#include "src/acq/calibration.hpp"
#include "src/acq/codecs.hpp"

namespace {

using kestrane::acq::Acquisition;
using kestrane::acq::DoubleArray;

struct Runs {
  std::string big, small, read_all;
};

Runs& runs() {
  static Runs r;
  return r;
}

// The run at `path`, opened once; nullptr (and the benchmark skipped) when none was given.
const Acquisition* open_run(benchmark::State& state, const std::string& path, const char* flag) {
  static std::vector<std::pair<std::string, Acquisition>> opened;
  if (path.empty()) {
    state.SkipWithError((std::string("no run given: ") + flag + "=DIR").c_str());
    return nullptr;
  }
  for (const auto& [p, acq] : opened) {
    if (p == path) return &acq;
  }
  auto acq = Acquisition::open(path);
  if (!acq) {
    state.SkipWithError(acq.error().display().c_str());
    return nullptr;
  }
  opened.emplace_back(path, std::move(*acq));
  return &opened.back().second;
}

// Instrument-like run-length blocks, with the calibration of their scans: the profiles of four
// scans spread over the 400k run (so that some elute compounds and hold 4-byte literals).
struct Block {
  std::vector<std::uint8_t> bytes;
  std::size_t points = 0;
  kestrane::acq::LinearAxis axis;  // flight times
  kestrane::acq::Calibration calibration;
};

const std::vector<Block>* blocks(benchmark::State& state) {
  static std::optional<std::vector<Block>> loaded;
  if (loaded) return &*loaded;
  const Acquisition* acq = open_run(state, runs().big, "--run-400k");
  if (acq == nullptr) return nullptr;
  std::ifstream profile(acq->info().acq_data + "/MSProfile.bin", std::ios::binary);
  std::vector<Block> out;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t i = acq->size() * (2 * k + 1) / 8;
    const auto record = acq->record(i);
    const auto offset = record.block_integer(0, "SpectrumOffset");
    const auto size = record.block_integer(0, "ByteCount");
    const auto points = record.block_integer(0, "PointCount");
    Block b;
    b.bytes.resize(static_cast<std::size_t>(size.value_or(0)));
    profile.seekg(offset.value_or(0));
    profile.read(reinterpret_cast<char*>(b.bytes.data()), static_cast<std::streamsize>(b.bytes.size()));
    b.points = static_cast<std::size_t>(points.value_or(0));
    b.calibration = acq->calibration(i).calibration;
    DoubleArray counts;
    const auto axis = kestrane::acq::decode_run_length(b.bytes, b.points, counts);
    if (!profile || b.points == 0 || !axis) {
      state.SkipWithError("--run-400k: cannot read the run-length profile blocks");
      return nullptr;
    }
    b.axis = *axis;
    out.push_back(std::move(b));
  }
  loaded = std::move(out);
  return &*loaded;
}

void per_point(benchmark::State& state, std::size_t points) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
  state.counters["ns_per_point"] = benchmark::Counter(
      static_cast<double>(state.iterations() * points),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RunLengthDecode(benchmark::State& state) {
  const auto* b = blocks(state);
  if (b == nullptr) return;
  DoubleArray out;
  std::size_t i = 0;
  for (auto _ : state) {
    const Block& block = (*b)[i++ % b->size()];
    auto axis = kestrane::acq::decode_run_length(block.bytes, block.points, out);
    benchmark::DoNotOptimize(axis);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, (*b)[0].points);
}

// The anchor: copying the decoder's output size (8 bytes per point).
void BM_MemcpyOutput(benchmark::State& state) {
  const auto* b = blocks(state);
  if (b == nullptr) return;
  const std::size_t points = (*b)[0].points;
  std::vector<double> from(points, 1.0), to(points);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), 8 * points);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  per_point(state, points);
}

void BM_CalibrateAxis(benchmark::State& state) {
  const auto* b = blocks(state);
  if (b == nullptr) return;
  std::vector<double> out((*b)[0].points);
  for (auto _ : state) {
    kestrane::acq::calibrate_axis((*b)[0].calibration, (*b)[0].axis.start, (*b)[0].axis.step, out);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, out.size());
}

// The anchor: the formula for one point at a time, the order loop inside.
void BM_CalibrateAxisPlain(benchmark::State& state) {
  const auto* b = blocks(state);
  if (b == nullptr) return;
  std::vector<double> out((*b)[0].points);
  for (auto _ : state) {
    kestrane::acq::calibrate_axis_reference((*b)[0].calibration, (*b)[0].axis.start, (*b)[0].axis.step,
                                            out);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, out.size());
}

// Decode and m/z axis of one block, in memory.
void BM_CalibratedSpectrum(benchmark::State& state) {
  const auto* b = blocks(state);
  if (b == nullptr) return;
  DoubleArray intensity, mz;
  std::size_t i = 0;
  for (auto _ : state) {
    const Block& block = (*b)[i++ % b->size()];
    auto axis = kestrane::acq::decode_run_length(block.bytes, block.points, intensity);
    mz.resize(intensity.size());
    kestrane::acq::calibrate_axis(block.calibration, axis->start, axis->step, mz);
    benchmark::DoNotOptimize(mz.data());
  }
  per_point(state, (*b)[0].points);
}

// Acquisition::read_into on the 400k run: pread, decode, m/z axis.
void BM_ReadSpectrum(benchmark::State& state) {
  const Acquisition* acq = open_run(state, runs().big, "--run-400k");
  if (acq == nullptr) return;
  kestrane::acq::Spectrum s;
  kestrane::acq::ReadScratch scratch;
  std::size_t i = 0, points = 0;
  for (auto _ : state) {
    acq->read_into(i++ % acq->size(), kestrane::acq::Prefer::profile, s, scratch);
    points += s.mz.size();
    benchmark::DoNotOptimize(s.mz.data());
  }
  per_point(state, points / std::max<std::size_t>(i, 1));
}

// Acquisition::open on the 400k run (range 0 = 400000) or the 1k run.
void BM_Open(benchmark::State& state) {
  const bool big = state.range(0) == 400000;
  const std::string& path = big ? runs().big : runs().small;
  if (open_run(state, path, big ? "--run-400k" : "--run-1k") == nullptr) return;
  for (auto _ : state) {
    auto acq = Acquisition::open(path);
    benchmark::DoNotOptimize(acq);
  }
}

// Every scan of the read-all run read once, split between range(0) threads, each reusing its
// spectrum and scratch as a converter does. Wall-clock and process CPU time; the counter
// busiest_thread_cpu_s is the CPU time of the busiest thread per iteration: the wall-clock time
// the split would take on idle cores.
void BM_ReadAll(benchmark::State& state) {
  const std::string& path = runs().read_all.empty() ? runs().big : runs().read_all;
  const Acquisition* acq = open_run(state, path, "--run-read-all");
  if (acq == nullptr) return;
  const auto threads = static_cast<std::size_t>(state.range(0));
  double busiest = 0.0;
  for (auto _ : state) {
    std::vector<double> cpu(threads, 0.0);
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        const double start = kestrane::bench::thread_cpu_seconds();
        kestrane::acq::Spectrum s;
        kestrane::acq::ReadScratch scratch;
        for (std::size_t i = t; i < acq->size(); i += threads) {
          if (state.range(1) == 0) {
            acq->read_into(i, kestrane::acq::Prefer::profile, s, scratch);
            benchmark::DoNotOptimize(s.mz.data());
          } else {
            const auto fresh = acq->read(i);
            benchmark::DoNotOptimize(fresh.mz.data());
          }
        }
        cpu[t] = kestrane::bench::thread_cpu_seconds() - start;
      });
    }
    for (auto& p : pool) p.join();
    busiest += *std::max_element(cpu.begin(), cpu.end());
  }
  state.counters["scans"] = static_cast<double>(acq->size());
  state.counters["busiest_thread_cpu_s"] =
      benchmark::Counter(busiest, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_RunLengthDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOutput)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateAxis)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateAxisPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibratedSpectrum)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadSpectrum)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Open)->Arg(400000)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAll)->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1})->MeasureProcessCPUTime()->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--run-400k=")) {
      runs().big = std::string(arg.substr(11));
    } else if (arg.starts_with("--run-1k=")) {
      runs().small = std::string(arg.substr(9));
    } else if (arg.starts_with("--run-read-all=")) {
      runs().read_all = std::string(arg.substr(15));
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
