// A main() for the fuzz targets where libFuzzer is not available: replays every file given on
// the command line (directories are read in name order), then runs a fixed-seed sweep of
// mutations of those inputs through the target. Any invariant failure aborts.
//
//   <entry>_replay [--sweep N] [--seed S] PATH...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

// Mutated inputs stay below this size so that a sweep remains quick under sanitizers.
constexpr std::size_t max_mutated_size = std::size_t{1} << 16;

Bytes read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void run(const Bytes& input) {
  // A copy of exactly the input's size, so that ASan sees any read past its end.
  auto* copy = new std::uint8_t[input.size() == 0 ? 1 : input.size()];
  if (!input.empty()) std::memcpy(copy, input.data(), input.size());
  LLVMFuzzerTestOneInput(copy, input.size());
  delete[] copy;
}

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }

  // One to four edits of `input`, sometimes spliced with `other`.
  Bytes mutate(Bytes input, const Bytes& other) {
    const std::size_t edits = 1 + below(4);
    for (std::size_t i = 0; i < edits; ++i) edit(input, other);
    if (input.size() > max_mutated_size) input.resize(max_mutated_size);
    return input;
  }

 private:
  void put_u32(Bytes& b, std::uint32_t v) {
    if (b.size() < 4) return;
    const std::size_t at = below(b.size() - 3);
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }

  void edit(Bytes& b, const Bytes& other) {
    static constexpr std::uint32_t interesting[] = {
        0, 1, 2, 3, 12, 16, 28, 92, 186, 196, 216, 220, 257, 284, 0x7F, 0x80, 0xFF,
        0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    switch (below(9)) {
      case 0:  // flip one bit
        if (!b.empty()) b[below(b.size())] ^= static_cast<std::uint8_t>(1u << below(8));
        break;
      case 1:  // set one byte
        if (!b.empty()) b[below(b.size())] = static_cast<std::uint8_t>(rng_());
        break;
      case 2:  // a boundary value as a little-endian u32
        put_u32(b, interesting[below(std::size(interesting))]);
        break;
      case 3:  // a value near the input's own size
        put_u32(b, static_cast<std::uint32_t>(b.size() + below(9) - 4));
        break;
      case 4:  // truncate
        b.resize(below(b.size() + 1));
        break;
      case 5: {  // erase a range
        if (b.empty()) break;
        const std::size_t at = below(b.size());
        const std::size_t len = 1 + below(std::min<std::size_t>(b.size() - at, 64));
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                b.begin() + static_cast<std::ptrdiff_t>(at + len));
        break;
      }
      case 6: {  // insert random bytes
        const std::size_t at = below(b.size() + 1);
        Bytes extra(1 + below(32));
        for (auto& x : extra) x = static_cast<std::uint8_t>(rng_());
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
        break;
      }
      case 7: {  // repeat a chunk in place
        if (b.empty()) break;
        const std::size_t at = below(b.size());
        const std::size_t len = 1 + below(std::min<std::size_t>(b.size() - at, 256));
        const Bytes chunk(b.begin() + static_cast<std::ptrdiff_t>(at),
                          b.begin() + static_cast<std::ptrdiff_t>(at + len));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
        break;
      }
      default: {  // splice: our head, the other input's tail
        const std::size_t head = below(b.size() + 1);
        const std::size_t tail = below(other.size() + 1);
        b.resize(head);
        b.insert(b.end(), other.begin() + static_cast<std::ptrdiff_t>(tail), other.end());
        break;
      }
    }
  }

  std::mt19937_64 rng_;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t sweep = 10000;
  std::uint64_t seed = 20240601;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--sweep" && i + 1 < argc) {
      sweep = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> entries;
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) entries.push_back(entry.path());
      }
      std::sort(entries.begin(), entries.end());
      files.insert(files.end(), entries.begin(), entries.end());
    } else if (std::filesystem::is_regular_file(arg)) {
      files.emplace_back(arg);
    } else {
      std::fprintf(stderr, "usage: %s [--sweep N] [--seed S] PATH...\n(no such file: %s)\n",
                   argv[0], argv[i]);
      return 2;
    }
  }

  std::vector<Bytes> inputs;
  inputs.reserve(files.size());
  for (const auto& path : files) {
    inputs.push_back(read_whole(path));
    run(inputs.back());
  }

  Mutator mutator(seed);
  const Bytes empty;
  for (std::size_t i = 0; i < sweep; ++i) {
    const Bytes& base = inputs.empty() ? empty : inputs[mutator.below(inputs.size())];
    const Bytes& other = inputs.empty() ? empty : inputs[mutator.below(inputs.size())];
    run(mutator.mutate(base, other));
  }
  std::printf("%zu files replayed, %zu mutated inputs (seed %llu): no failure\n", files.size(),
              sweep, static_cast<unsigned long long>(seed));
  return 0;
}
