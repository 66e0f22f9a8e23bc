// Decoding a whole directory (Reader::open, then Spectra::decode: the work of RawReader(path))
// for three hostile directories whose 100,000 records of stride 220 all refer to one huge block
// holding next to nothing, against the anchor of the same index with no blocks at all:
//   sparse_peak: a peak block of 0 points claiming a sparse gibibyte of MSPeak.bin;
//   long_stream: a profile block of 1 point whose 12 MB LZF stream expands to a gibibyte;
//   distinct_counts: that stream under 100,000 descriptors, record i claiming 1 + i points.
//     So many distinct counts cannot all be kept (they add up to 5e9 points): the first 1,000
//     records keep theirs (500,500 points); the others also claim i bytes more than the stream
//     expands to, so that each is a cut of its own, which fails only at the stream's end.
// The directories are written to a temporary directory, removed at exit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "src/raw/msscan.hpp"
#include "src/reader/reader.hpp"
#include "src/reader/spectra.hpp"

namespace {

namespace fs = std::filesystem;
using kestrane::raw::BlockDescriptor;

static_assert(std::endian::native == std::endian::little, "the writers below store natively");

constexpr std::uint32_t records = 100000;
constexpr std::uint32_t stride = 220;
constexpr std::uint64_t gibibyte = std::uint64_t{1} << 30;
constexpr std::size_t long_references = gibibyte / 264;  // each expands to 264 bytes

template <class T>
void store(std::vector<std::uint8_t>& b, std::size_t off, T v) {
  std::memcpy(b.data() + off, &v, sizeof v);
}

// MSScan.bin: the header, then `records` records of stride 220; record i's one descriptor is
// describe(i), when it gives one.
template <class Describe>
std::vector<std::uint8_t> scan_index(Describe describe) {
  const kestrane::raw::StrideLayout& layout = kestrane::raw::stride_layouts[1];
  static_assert(kestrane::raw::stride_layouts[1].stride == stride);
  const kestrane::raw::DescriptorLayout& fields = *layout.descriptor_layout;
  const std::size_t header = kestrane::raw::min_header_size;
  std::vector<std::uint8_t> b(header + std::size_t{records} * stride, 0);
  store<std::uint32_t>(b, 0, kestrane::raw::msscan_magic);
  store<std::uint32_t>(b, 88, static_cast<std::uint32_t>(header));
  for (std::uint32_t i = 0; i < records; ++i) {
    const std::size_t r = header + std::size_t{i} * stride;
    store<std::uint32_t>(b, r, 1 + i);         // scan id
    store<double>(b, r + 12, 0.01 * i);        // retention time, minutes
    store<std::uint16_t>(b, r + 20, 1);        // MS level
    const std::optional<BlockDescriptor> d = describe(i);
    if (!d) continue;
    const std::size_t at = r + layout.descriptor_positions[0];
    store<std::uint32_t>(b, at, d->format_id);
    store<std::uint64_t>(b, at + fields.byte_offset, d->byte_offset);
    store<std::uint32_t>(b, at + fields.byte_count, d->byte_count);
    store<std::uint32_t>(b, at + fields.point_count, d->point_count);
    store<std::uint32_t>(b, at + fields.uncompressed_byte_count,
                         d->uncompressed_byte_count.value_or(0));
  }
  return b;
}

void write(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Every record on `d`.
auto every_record(BlockDescriptor d) {
  return [d](std::uint32_t) { return std::optional(d); };
}

struct Directories {
  fs::path root;
  std::string no_blocks, sparse_peak, long_stream, distinct_counts;
};

const Directories& directories() {
  static const Directories d = [] {
    Directories out;
    out.root = fs::temp_directory_path() / ("kestrane-bench-" + std::to_string(::getpid()));
    out.no_blocks = (out.root / "no_blocks.d").string();
    write(out.root / "no_blocks.d/AcqData/MSScan.bin",
          scan_index([](std::uint32_t) { return std::optional<BlockDescriptor>(); }));

    out.sparse_peak = (out.root / "sparse_peak.d").string();
    const BlockDescriptor peak{3, 0, static_cast<std::uint32_t>(gibibyte), 0, {}};
    write(out.root / "sparse_peak.d/AcqData/MSScan.bin", scan_index(every_record(peak)));
    write(out.root / "sparse_peak.d/AcqData/MSPeak.bin", {});
    fs::resize_file(out.root / "sparse_peak.d/AcqData/MSPeak.bin", gibibyte);

    // A 16-byte preamble, one literal byte, then references repeating it 264 bytes at a time.
    std::vector<std::uint8_t> block(16, 0);
    block.push_back(0x00);
    block.push_back(0x7a);
    for (std::size_t i = 0; i < long_references; ++i) block.insert(block.end(), {0xe0, 0xff, 0x00});
    out.long_stream = (out.root / "long_stream.d").string();
    const BlockDescriptor profile{1, 0, static_cast<std::uint32_t>(block.size()), 1,
                                  static_cast<std::uint32_t>(1 + 264 * long_references)};
    write(out.root / "long_stream.d/AcqData/MSScan.bin", scan_index(every_record(profile)));
    write(out.root / "long_stream.d/AcqData/MSProfile.bin", block);

    out.distinct_counts = (out.root / "distinct_counts.d").string();
    write(out.root / "distinct_counts.d/AcqData/MSScan.bin", scan_index([&](std::uint32_t i) {
      BlockDescriptor own = profile;
      own.point_count = 1 + i;
      if (i >= 1000) *own.uncompressed_byte_count += i;
      return std::optional(own);
    }));
    write(out.root / "distinct_counts.d/AcqData/MSProfile.bin", block);
    std::atexit([] { fs::remove_all(directories().root); });
    return out;
  }();
  return d;
}

void decode_directory(benchmark::State& state, const std::string& path) {
  std::uint64_t bytes_read = 0;
  for (auto _ : state) {
    auto reader = kestrane::reader::Reader::open(path);
    if (!reader) {
      state.SkipWithError(reader.error().display().c_str());
      return;
    }
    auto spectra = kestrane::reader::Spectra::decode(*reader);
    if (!spectra || spectra->size() != records) {
      state.SkipWithError("decoding failed");
      return;
    }
    bytes_read = spectra->counts().bytes_read;
    benchmark::DoNotOptimize(spectra->mz(records - 1).data());
  }
  state.counters["block_bytes_read"] = static_cast<double>(bytes_read);
}

void BM_NoBlocks(benchmark::State& state) { decode_directory(state, directories().no_blocks); }
void BM_SparsePeakBlock(benchmark::State& state) {
  decode_directory(state, directories().sparse_peak);
}
void BM_LongStream(benchmark::State& state) {
  decode_directory(state, directories().long_stream);
}

void BM_DistinctPointCounts(benchmark::State& state) {
  decode_directory(state, directories().distinct_counts);
}

BENCHMARK(BM_NoBlocks);
BENCHMARK(BM_SparsePeakBlock);
BENCHMARK(BM_LongStream);
BENCHMARK(BM_DistinctPointCounts);

}  // namespace

BENCHMARK_MAIN();
