// decode_peak_block on arbitrary blocks. Input: u8 format id, u32 LE point count, then the block.
// Invariants: a success yields two arrays of exactly point_count elements, carried over bit for
// bit (format 2: m/z divided by 100.0), from a block of at least 12 bytes a point; a failure is
// one of the two parse errors, the format tested first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "src/raw/le.hpp"
#include "src/raw/mspeak.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "mspeak_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

// Bit equality, so that NaN payloads and signed zeros count.
template <class T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t prefix = 5;
  if (size < prefix) return 0;
  const std::span<const std::uint8_t> input(data, size);
  kestrane::raw::BlockDescriptor descriptor;
  descriptor.format_id = data[0];
  descriptor.point_count = kestrane::raw::load_le<std::uint32_t>(input, 1);
  const auto block = input.subspan(prefix);
  const std::uint64_t n = descriptor.point_count;
  const bool known_format = descriptor.format_id == 2 || descriptor.format_id == 3;

  auto decoded = kestrane::raw::decode_peak_block(block, descriptor);
  if (!decoded) {
    const std::string text = decoded.error().display();
    if (!known_format) {
      if (text != "parse error: Unknown peak format ID: " + std::to_string(descriptor.format_id)) {
        fail("wrong message for an unknown format:", text);
      }
    } else if (text != "parse error: Truncated MSPeak.bin block" || 12 * n <= block.size()) {
      fail("unexpected failure:", text);
    }
    return 0;
  }

  if (!known_format) fail("decoded an unknown format");
  if (12 * n > block.size()) fail("decoded a block shorter than its points");
  if (decoded->mz.size() != n || decoded->intensity.size() != n) {
    fail("array lengths differ from the point count");
  }
  for (std::size_t k = 0; k < n; ++k) {
    double mz;
    float intensity;
    if (descriptor.format_id == 3) {
      mz = kestrane::raw::load_le<double>(block, 12 * k);
      intensity = kestrane::raw::load_le<float>(block, 12 * k + 8);
    } else {
      mz = kestrane::raw::load_le<double>(block, 8 * k) / 100.0;
      intensity = kestrane::raw::load_le<float>(block, 8 * n + 4 * k);
    }
    if (!same_bits(decoded->mz[k], mz)) fail("m/z value differs at", std::to_string(k));
    if (!same_bits(decoded->intensity[k], intensity)) {
      fail("intensity differs at", std::to_string(k));
    }
  }
  return 0;
}
