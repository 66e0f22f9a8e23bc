// The bytes of one binary data array: width chosen losslessly, little-endian, zlib-compressed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/mzml/numpress.hpp"

struct libdeflate_compressor;

namespace kestrane::mzml {

// The libdeflate level used unless the caller picks another: on counts-like TOF data its streams
// are no larger than zlib's at its default level 6 (bench/mzml_bench.cpp measures both).
constexpr int default_compression_level = 6;

enum class Width : std::uint8_t { float32, float64 };

// The payload of <binary>, before base64. `bytes` views the encoder's buffers or the input.
// A Numpress array decodes to 64-bit floats (width float64); `compressed`: zlib on top.
struct PackedArray {
  Width width;
  bool compressed;
  std::span<const std::uint8_t> bytes;
  Numpress numpress = Numpress::none;
};

// True when every value is a float widened to double, bit for bit (NaN payloads included), so
// that writing the floats loses nothing; `out` receives the floats either way.
bool narrow_exactly(std::span<const double> values, std::vector<float>& out);

// Packs arrays for one thread, reusing its buffers from call to call.
class ArrayEncoder {
 public:
  // compression_level: libdeflate's 1 to 12, or 0 for no compression. `numpress`: the codes
  // binary_data_array_list asks for, kept here for the writer's threads.
  explicit ArrayEncoder(int compression_level, NumpressCodes numpress = {});
  ArrayEncoder(ArrayEncoder&& other) noexcept;
  ArrayEncoder& operator=(ArrayEncoder&&) = delete;
  ~ArrayEncoder();

  // As 32-bit floats when allow_float32 and narrow_exactly holds, else as 64-bit. An empty array
  // is never compressed (a zlib stream of nothing trips some readers); it stays zero bytes. The
  // view is valid until the next call. With a Numpress code, the array is that code's bytes
  // where numpress::encode accepts it, and as above where it refuses it.
  PackedArray pack(std::span<const double> values, bool allow_float32,
                   Numpress code = Numpress::none);

  const NumpressCodes& numpress() const noexcept { return numpress_codes_; }

 private:
  void compress(PackedArray& packed);

  libdeflate_compressor* compressor_ = nullptr;  // null: no compression
  NumpressCodes numpress_codes_;
  std::vector<std::uint8_t> numpress_;
  std::vector<float> narrow_;
  std::vector<std::uint8_t> little_endian_;  // big-endian hosts only
  std::vector<std::uint8_t> compressed_;     // sized to the largest bound seen
};

}  // namespace kestrane::mzml
