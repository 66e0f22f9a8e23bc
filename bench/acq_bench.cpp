// The self-describing reader: run-length decode against a memcpy of its output, calibration
// against the plain polynomial loop, a whole calibrated spectrum, Acquisition::open on runs of
// 400,000 and 1,000 points per scan, and reading every scan from one and from two threads.
//
//   acq_bench [--acq-runs=DIR] [benchmark flags]
//
// DIR holds the runs tof_1000x400000.d, tof_1000x1000.d and tof_3000x100000.d (any writer of
// the format may put them there); a missing one is generated with the C++ builders. Default:
// $TMPDIR/kestrane-acq-runs (or /tmp/...).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/acq/calibration.hpp"
#include "src/acq/codecs.hpp"
#include "support/acq_builders.hpp"

namespace {

namespace fs = std::filesystem;
using kestrane::acq::Acquisition;
using kestrane::acq::DoubleArray;

constexpr std::size_t axis_points = 400000;

std::string& runs_dir() {
  static std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestrane-acq-runs";
  }();
  return dir;
}

// The run of `scans` x `points`, generated when absent.
std::string run(std::size_t scans, std::size_t points) {
  const fs::path path = fs::path(runs_dir()) /
                        ("tof_" + std::to_string(scans) + "x" + std::to_string(points) + ".d");
  if (!fs::exists(path / "AcqData" / "MSScan.bin")) {
    kestrane::acq_test::write_tof_run(path.string(), scans, points, 1);
  }
  return path.string();
}

// Instrument-like run-length blocks: width switches every few points, no zero runs.
const std::vector<kestrane::acq_test::Bytes>& blocks() {
  static const auto b = [] {
    std::vector<kestrane::acq_test::Bytes> out;
    for (std::size_t s = 0; s < 4; ++s) {
      const auto counts = kestrane::acq_test::tof_counts(axis_points, 90 + s, 1);
      out.push_back(kestrane::acq_test::run_length_block(20000.0, 0.5, counts));
    }
    return out;
  }();
  return b;
}

kestrane::acq::Calibration calibration() {
  const auto d = kestrane::acq_test::tof_default();
  return {d.a, d.t0, d.t_min, d.t_max, d.flags, {d.c[0], d.c[1], d.c[2], d.c[3], d.c[4], d.c[5]}};
}

void per_point(benchmark::State& state, std::size_t points) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
  state.counters["ns_per_point"] = benchmark::Counter(
      static_cast<double>(state.iterations() * points),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RunLengthDecode(benchmark::State& state) {
  DoubleArray out;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& b = blocks()[i++ % blocks().size()];
    auto axis = kestrane::acq::decode_run_length(b, axis_points, out);
    benchmark::DoNotOptimize(axis);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, axis_points);
}

// The anchor: copying the decoder's output size (8 bytes per point).
void BM_MemcpyOutput(benchmark::State& state) {
  std::vector<double> from(axis_points, 1.0), to(axis_points);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), 8 * axis_points);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  per_point(state, axis_points);
}

void BM_CalibrateAxis(benchmark::State& state) {
  const auto cal = calibration();
  std::vector<double> out(axis_points);
  for (auto _ : state) {
    kestrane::acq::calibrate_axis(cal, 20000.0, 0.5, out);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, axis_points);
}

// The anchor: the formula for one point at a time, the order loop inside.
void BM_CalibrateAxisPlain(benchmark::State& state) {
  const auto cal = calibration();
  std::vector<double> out(axis_points);
  for (auto _ : state) {
    kestrane::acq::calibrate_axis_reference(cal, 20000.0, 0.5, out);
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, axis_points);
}

// Decode and m/z axis of one block, in memory.
void BM_CalibratedSpectrum(benchmark::State& state) {
  const auto cal = calibration();
  DoubleArray intensity, mz;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& b = blocks()[i++ % blocks().size()];
    auto axis = kestrane::acq::decode_run_length(b, axis_points, intensity);
    mz.resize(intensity.size());
    kestrane::acq::calibrate_axis(cal, axis->start, axis->step, mz);
    benchmark::DoNotOptimize(mz.data());
  }
  per_point(state, axis_points);
}

// Acquisition::read_into on the 1,000 x 400,000 run: pread, decode, m/z axis.
void BM_ReadSpectrum(benchmark::State& state) {
  const auto acq = Acquisition::open(run(1000, axis_points));
  kestrane::acq::Spectrum s;
  kestrane::acq::ReadScratch scratch;
  std::size_t i = 0;
  for (auto _ : state) {
    acq->read_into(i++ % acq->size(), kestrane::acq::Prefer::profile, s, scratch);
    benchmark::DoNotOptimize(s.mz.data());
  }
  per_point(state, axis_points);
}

// Acquisition::open on 1,000 scans of range(0) points.
void BM_Open(benchmark::State& state) {
  const std::string path = run(1000, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto acq = Acquisition::open(path);
    benchmark::DoNotOptimize(acq);
  }
}

// Every scan of the 3,000 x 100,000 run read once, split between range(0) threads.
void BM_ReadAll(benchmark::State& state) {
  const auto acq = Acquisition::open(run(3000, 100000));
  const auto threads = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        kestrane::acq::Spectrum s;
        kestrane::acq::ReadScratch scratch;
        for (std::size_t i = t; i < acq->size(); i += threads) {
          acq->read_into(i, kestrane::acq::Prefer::profile, s, scratch);
          benchmark::DoNotOptimize(s.mz.data());
        }
      });
    }
    for (auto& p : pool) p.join();
  }
  state.counters["scans"] = static_cast<double>(acq->size());
}

BENCHMARK(BM_RunLengthDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOutput)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateAxis)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibrateAxisPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalibratedSpectrum)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadSpectrum)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Open)->Arg(400000)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAll)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--acq-runs=")) {
      runs_dir() = std::string(arg.substr(11));
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
