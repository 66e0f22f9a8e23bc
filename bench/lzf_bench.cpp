// decompress against liblzf's lzf_decompress on the same streams and expected lengths.
#include <benchmark/benchmark.h>
#include <lzf.h>

#include <cstdio>
#include <vector>

#include "bench/profile_data.hpp"
#include "src/raw/lzf.hpp"

namespace {

using kestrane::bench::lzf_stream;

struct Corpus {
  std::vector<std::vector<std::uint8_t>> streams;
  std::vector<std::size_t> lengths;
  std::size_t total_out = 0;
  std::size_t total_in = 0;
};

// 64 blocks of 20,000 points, as in one stretch of a profile run.
template <class Make>
Corpus make_corpus(Make make) {
  Corpus c;
  for (std::uint32_t seed = 1; seed <= 64; ++seed) {
    const auto payload = make(seed);
    c.streams.push_back(lzf_stream(payload));
    c.lengths.push_back(payload.size());
    c.total_out += payload.size();
    c.total_in += c.streams.back().size();
  }
  return c;
}

const Corpus& corpus(int kind) {
  static const Corpus realistic =
      make_corpus([](std::uint32_t s) { return kestrane::bench::profile_payload(20000, s); });
  static const Corpus sparse =
      make_corpus([](std::uint32_t s) { return kestrane::bench::sparse_payload(20000, s); });
  static const Corpus random =
      make_corpus([](std::uint32_t s) { return kestrane::bench::random_payload(80016, s); });
  return kind == 0 ? realistic : kind == 1 ? sparse : random;
}

const char* kind_name(int kind) {
  return kind == 0 ? "realistic" : kind == 1 ? "sparse" : "random";
}

void BM_Decompress(benchmark::State& state) {
  const Corpus& c = corpus(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> scratch;
  for (auto _ : state) {
    for (std::size_t i = 0; i < c.streams.size(); ++i) {
      auto out = kestrane::raw::decompress_into(c.streams[i], c.lengths[i], scratch);
      if (!out) state.SkipWithError("decompress failed");
      benchmark::DoNotOptimize(out->data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.total_out));
  state.SetLabel(std::string(kind_name(static_cast<int>(state.range(0)))) + " ratio " +
                 std::to_string(static_cast<double>(c.total_out) / static_cast<double>(c.total_in)));
}

void BM_LiblzfDecompress(benchmark::State& state) {
  const Corpus& c = corpus(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> scratch;
  for (auto _ : state) {
    for (std::size_t i = 0; i < c.streams.size(); ++i) {
      if (scratch.size() < c.lengths[i]) scratch.resize(c.lengths[i]);
      const unsigned n =
          lzf_decompress(c.streams[i].data(), static_cast<unsigned>(c.streams[i].size()),
                         scratch.data(), static_cast<unsigned>(c.lengths[i]));
      if (n != c.lengths[i]) state.SkipWithError("lzf_decompress failed");
      benchmark::DoNotOptimize(scratch.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.total_out));
  state.SetLabel(kind_name(static_cast<int>(state.range(0))));
}

BENCHMARK(BM_Decompress)->DenseRange(0, 2);
BENCHMARK(BM_LiblzfDecompress)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
