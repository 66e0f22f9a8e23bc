// decode_profile_block on arbitrary blocks. Input: u8 format id, u32 LE point count, u32 LE
// uncompressed byte count, f64 LE first m/z, f64 LE last m/z, then the block; the descriptor
// carries the uncompressed byte count only when the format id byte is 1.
// Invariants: a success yields two arrays of exactly point_count elements whose intensities are
// the payload's counts; a failure is one of the decoder's parse errors, in their order; decoding
// through a reused, dirty scratch buffer gives the same result bit for bit.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"
#include "src/raw/msprofile.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "msprofile_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

template <class V>
bool same_bits(const V& a, const V& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t prefix = 25;
  if (size < prefix) return 0;
  const std::span<const std::uint8_t> input(data, size);
  kestrane::raw::BlockDescriptor descriptor;
  descriptor.format_id = data[0];
  descriptor.point_count = kestrane::raw::load_le<std::uint32_t>(input, 1);
  if (data[0] == 1) {
    descriptor.uncompressed_byte_count = kestrane::raw::load_le<std::uint32_t>(input, 5);
  }
  const double first = kestrane::raw::load_le<double>(input, 9);
  const double last = kestrane::raw::load_le<double>(input, 17);
  const auto block = input.subspan(prefix);
  const std::uint64_t n = descriptor.point_count;

  auto decoded = kestrane::raw::decode_profile_block(block, descriptor, first, last);

  static std::vector<std::uint8_t> scratch;  // keeps bytes of earlier inputs
  auto reused = kestrane::raw::decode_profile_block(block, descriptor, first, last,
                                                    std::pmr::get_default_resource(), scratch);
  if (decoded.has_value() != reused.has_value()) {
    fail("a reused scratch buffer changed the outcome");
  }

  if (!decoded) {
    const std::string text = decoded.error().display();
    if (text != reused.error().display()) fail("a reused scratch buffer changed the error");
    if (block.size() < 16) {
      if (text != "parse error: MSProfile block too short for preamble") {
        fail("wrong first check:", text);
      }
    } else if (!descriptor.uncompressed_byte_count) {
      if (text != "parse error: Missing UncompressedByteCount for profile block") {
        fail("wrong second check:", text);
      }
    } else if (n == 0) {
      fail("zero points must decode without looking at the stream:", text);
    } else if (text == "parse error: Decompressed profile block too short for point count") {
      if (*descriptor.uncompressed_byte_count >= 16 + 4 * n) fail("payload was long enough");
    } else if (text.compare(0, 18, "parse error: LZF: ") != 0) {
      fail("unknown message:", text);
    }
    return 0;
  }

  if (block.size() < 16 || !descriptor.uncompressed_byte_count) fail("decoded an invalid block");
  if (decoded->mz.size() != n || decoded->intensity.size() != n) {
    fail("array lengths differ from the point count");
  }
  if (!same_bits(decoded->mz, reused->mz) || !same_bits(decoded->intensity, reused->intensity)) {
    fail("a reused scratch buffer changed the arrays");
  }
  if (n == 0) return 0;

  const std::uint32_t expected_len = *descriptor.uncompressed_byte_count;
  if (expected_len < 16 + 4 * n) fail("decoded a payload too short for its points");
  auto payload = kestrane::raw::decompress(block.subspan(16), expected_len);
  if (!payload) fail("decoded a block whose stream does not expand");
  for (std::size_t k = 0; k < n; ++k) {
    const auto count = kestrane::raw::load_le<std::uint32_t>(*payload, 16 + 4 * k);
    if (decoded->intensity[k] != static_cast<float>(count)) {
      fail("intensity differs from the payload at", std::to_string(k));
    }
  }
  // The axis starts at `first` whenever the step is a number.
  const double step = n == 1 ? 0.0 : (last - first) / static_cast<double>(n - 1);
  if (std::isfinite(step) && !std::isnan(first) && decoded->mz[0] != first) {
    fail("the m/z axis does not start at the first m/z");
  }
  return 0;
}
