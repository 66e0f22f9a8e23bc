// The block decoders and one iteration step, each against a plain C++ loop doing the same reads,
// the same decompression (liblzf) and the same conversions.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lzf.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory_resource>
#include <vector>

#include "bench/profile_data.hpp"
#include "src/raw/lzf.hpp"
#include "src/raw/mspeak.hpp"
#include "src/raw/msprofile.hpp"
#include "src/raw/read_bytes.hpp"

namespace {

using kestrane::raw::BlockDescriptor;
constexpr std::uint32_t points = 20000;

struct ProfileFixture {
  std::vector<std::uint8_t> block;  // preamble + stream
  BlockDescriptor descriptor;
};

const ProfileFixture& profile_fixture() {
  static const ProfileFixture f = [] {
    ProfileFixture p;
    const auto payload = kestrane::bench::profile_payload(points, 42);
    const auto stream = kestrane::bench::lzf_stream(payload);
    p.block.assign(16, 0);
    p.block.insert(p.block.end(), stream.begin(), stream.end());
    p.descriptor = {1, 0, static_cast<std::uint32_t>(p.block.size()), points,
                    static_cast<std::uint32_t>(payload.size())};
    return p;
  }();
  return f;
}

std::vector<std::uint8_t> peak_bytes(std::uint32_t format) {
  std::vector<std::uint8_t> b(12 * points);
  for (std::uint32_t k = 0; k < points; ++k) {
    const double mz = 100.0 + 0.05 * k;
    const float in = static_cast<float>(k % 977);
    if (format == 3) {
      std::memcpy(&b[12 * k], &mz, 8);
      std::memcpy(&b[12 * k + 8], &in, 4);
    } else {
      const double scaled = mz * 100.0;
      std::memcpy(&b[8 * k], &scaled, 8);
      std::memcpy(&b[8 * points + 4 * k], &in, 4);
    }
  }
  return b;
}

// What decode_profile_block does, written plainly: liblzf, then the conversions into fresh
// arrays.
void plain_profile_decode(const std::uint8_t* block, std::size_t size,
                          std::vector<std::uint8_t>& expanded) {
  lzf_decompress(block + 16, static_cast<unsigned>(size - 16), expanded.data(),
                 static_cast<unsigned>(expanded.size()));
  std::vector<float> intensity(points);
  std::vector<double> mz(points);
  for (std::size_t k = 0; k < points; ++k) {
    std::uint32_t v;
    std::memcpy(&v, expanded.data() + 16 + 4 * k, 4);
    intensity[k] = static_cast<float>(v);
  }
  const double step = (1500.0 - 100.0) / (points - 1);
  for (std::size_t k = 0; k < points; ++k) mz[k] = static_cast<double>(k) * step + 100.0;
  benchmark::DoNotOptimize(mz.data());
  benchmark::DoNotOptimize(intensity.data());
}

void BM_DecodeProfileBlock(benchmark::State& state) {
  const auto& f = profile_fixture();
  std::vector<std::uint8_t> scratch;
  for (auto _ : state) {
    auto out = kestrane::raw::decode_profile_block(f.block, f.descriptor, 100.0, 1500.0,
                                                   std::pmr::get_default_resource(), scratch);
    benchmark::DoNotOptimize(out->mz.data());
  }
}

void BM_PlainProfileLoop(benchmark::State& state) {
  const auto& f = profile_fixture();
  std::vector<std::uint8_t> expanded(*f.descriptor.uncompressed_byte_count);
  for (auto _ : state) {
    plain_profile_decode(f.block.data(), f.block.size(), expanded);
  }
}

void BM_DecodePeakBlock(benchmark::State& state) {
  const auto format = static_cast<std::uint32_t>(state.range(0));
  const auto bytes = peak_bytes(format);
  const BlockDescriptor d{format, 0, static_cast<std::uint32_t>(bytes.size()), points, {}};
  for (auto _ : state) {
    auto out = kestrane::raw::decode_peak_block(bytes, d);
    benchmark::DoNotOptimize(out->mz.data());
  }
}

void BM_PlainPeakLoop(benchmark::State& state) {
  const auto format = static_cast<std::uint32_t>(state.range(0));
  const auto bytes = peak_bytes(format);
  for (auto _ : state) {
    std::vector<double> mz(points);
    std::vector<float> intensity(points);
    if (format == 3) {
      for (std::size_t k = 0; k < points; ++k) {
        std::memcpy(&mz[k], &bytes[12 * k], 8);
        std::memcpy(&intensity[k], &bytes[12 * k + 8], 4);
      }
    } else {
      for (std::size_t k = 0; k < points; ++k) {
        double v;
        std::memcpy(&v, &bytes[8 * k], 8);
        mz[k] = v / 100.0;
      }
      std::memcpy(intensity.data(), &bytes[8 * points], 4 * points);
    }
    benchmark::DoNotOptimize(mz.data());
    benchmark::DoNotOptimize(intensity.data());
  }
}

// A data file holding the profile block at offset 4096.
const std::string& profile_file() {
  static const std::string path = [] {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kestrane-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = (dir / "MSProfile.bin").string();
    std::ofstream out(file, std::ios::binary);
    const std::vector<char> pad(4096, 0);
    out.write(pad.data(), static_cast<std::streamsize>(pad.size()));
    const auto& f = profile_fixture();
    out.write(reinterpret_cast<const char*>(f.block.data()),
              static_cast<std::streamsize>(f.block.size()));
    std::atexit([] { std::filesystem::remove_all(std::filesystem::path(profile_file()).parent_path()); });
    return file;
  }();
  return path;
}

void BM_IterationStep(benchmark::State& state) {
  const auto& f = profile_fixture();
  BlockDescriptor d = f.descriptor;
  d.byte_offset = 4096;
  const std::string& path = profile_file();
  std::vector<std::uint8_t> block, scratch;
  for (auto _ : state) {
    if (!kestrane::raw::read_bytes_into(path, d.byte_offset, d.byte_count, block)) {
      state.SkipWithError("read failed");
    }
    auto out = kestrane::raw::decode_profile_block(block, d, 100.0, 1500.0,
                                                   std::pmr::get_default_resource(), scratch);
    benchmark::DoNotOptimize(out->mz.data());
  }
}

void BM_PlainIterationStep(benchmark::State& state) {
  const auto& f = profile_fixture();
  const std::string& path = profile_file();
  std::vector<std::uint8_t> block(f.block.size()), expanded(*f.descriptor.uncompressed_byte_count);
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::lseek(fd, 4096, SEEK_SET);
    if (::read(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
      state.SkipWithError("read failed");
    }
    ::close(fd);
    plain_profile_decode(block.data(), block.size(), expanded);
  }
}

BENCHMARK(BM_DecodeProfileBlock);
BENCHMARK(BM_PlainProfileLoop);
BENCHMARK(BM_DecodePeakBlock)->Arg(3)->Arg(2);
BENCHMARK(BM_PlainPeakLoop)->Arg(3)->Arg(2);
BENCHMARK(BM_IterationStep);
BENCHMARK(BM_PlainIterationStep);

}  // namespace

BENCHMARK_MAIN();
