// Block decoders of MSProfile.bin and MSPeak.bin, each over the bytes of one block (ByteCount
// bytes at SpectrumOffset); none touches a file. The decoder is chosen from the block's
// format-table entry alone, never from UncompressedByteCount or ByteCount / PointCount.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/types.hpp"
#include "src/acq/scan_header.hpp"
#include "src/error.hpp"

namespace kestrane::acq {

using DoubleArray = vornelle_core::Array<double>;
using FloatArray = vornelle_core::Array<float>;

enum class Codec {
  run_length_profile,  // compression 0x1000: x start/step, int32 counts as tokens
  lzf_profile,         // compression 0x200: x start/step, u32 counts, one LZF stream
  raw_profile,         // compression 0: x start/step, f32 intensities
  channels,            // compression 0: 4 explicit ICP axes
  centroid,            // kind 3: f64 x[n], then f32 or f64 y[n]
};

// A format entry this reader decodes. x_quantity is quantity_mz or quantity_flight_time.
struct BlockFormat {
  Codec codec = Codec::centroid;
  std::uint32_t kind = 0;
  std::uint32_t x_quantity = 0;
  std::uint32_t y_storage = 0;
};

// The decoder of `entry`, or nullopt when its kind, compression, axes, quantities, storages,
// spacings or scales are not one of the known combinations.
std::optional<BlockFormat> classify(const FormatEntry& entry) noexcept;

// The profile axis: point k lies at start + k * step (product, then sum).
struct LinearAxis {
  double start = 0.0;
  double step = 0.0;
};

// head + per_point * n, the size a block's count claims, or nullopt when it does not fit in 64
// bits: every size computed from a count in the files goes through it.
constexpr std::optional<std::uint64_t> claimed_size(std::uint64_t head, std::uint64_t per_point,
                                                    std::uint64_t n) noexcept {
  std::uint64_t body = 0, total = 0;
  if (__builtin_mul_overflow(per_point, n, &body) || __builtin_add_overflow(head, body, &total)) {
    return std::nullopt;
  }
  return total;
}

// Run-length blocks: u32@16 = 0x90 << 24 | n, i32@20 = -L leading zeros, then tokens from 24
// (signed, 4 bytes wide at first; v >= 0 a point, v < 0 skips (-v) div 4 points and sets the
// width from (-v) mod 4). `intensity` is resized to n once the head is checked; points the
// stream never reaches are zero. Parse errors: "run-length: block shorter than its 24-byte
// head", "run-length: point count word has no 0x90 tag", "run-length: block holds N points,
// its record M", "run-length: N points from a block of M bytes, more than 16 a byte",
// "run-length: leading zero count is positive", "run-length: more leading zeros
// than points", "run-length: literal after the last point", "run-length: skip past the last
// point", "run-length: width flag 0", "run-length: token cut short".
[[nodiscard]] Result<LinearAxis> decode_run_length(std::span<const std::uint8_t> block,
                                                   std::uint64_t point_count,
                                                   DoubleArray& intensity);

// The counts as float32, for outputs of that type. `exact` is false when the block decoded
// but a count lay above 2^24, which float32 may round: `intensity` then holds roundings, and
// the caller decodes the block into float64 instead. The errors are the same.
[[nodiscard]] Result<LinearAxis> decode_run_length(std::span<const std::uint8_t> block,
                                                   std::uint64_t point_count,
                                                   FloatArray& intensity, bool& exact);

// The most points a run-length block can hold (its point count field is 24 bits).
inline constexpr std::uint64_t run_length_max_points = (std::uint64_t{1} << 24) - 1;

// The most points a run-length block may give per byte it holds, its head included. Each
// stored point takes at least one byte; zeros (the leading ones, skips and the points the stream
// never reaches) take none, so a block of a few bytes could claim 2^24 - 1 points, a whole
// spectrum of stored zeros shared by every record. Instrument blocks give at most 0.6 points a
// byte with at most a few dozen zeros, re-encoded ones with zero runs about 0.3: a block past
// 16 a byte is malformed.
inline constexpr std::uint64_t run_length_max_points_per_byte = 16;

// Whole-block LZF: the block expands to exactly 16 + 4n bytes (x start, x step, u32 counts).
// The LZF decoder's parse errors, after "LZF profile: point count N needs more bytes than a
// block of M can expand to" for claims no stream of this size reaches.
[[nodiscard]] Result<LinearAxis> decode_lzf_profile(std::span<const std::uint8_t> block,
                                                    std::uint64_t point_count,
                                                    DoubleArray& intensity,
                                                    std::vector<std::uint8_t>& scratch);

// The counts as float32, `exact` as for decode_run_length.
[[nodiscard]] Result<LinearAxis> decode_lzf_profile(std::span<const std::uint8_t> block,
                                                    std::uint64_t point_count,
                                                    FloatArray& intensity,
                                                    std::vector<std::uint8_t>& scratch,
                                                    bool& exact);

// Raw profile: x start, x step, f32 y[n]. Parse error "raw profile: N bytes for M points,
// not 16 + 4 x M".
[[nodiscard]] Result<LinearAxis> decode_raw_profile(std::span<const std::uint8_t> block,
                                                    std::uint64_t point_count,
                                                    DoubleArray& intensity);

// Centroids: f64 x[n], then y[n] of `y_storage` (float32 or float64). Parse error "centroid:
// N bytes for M points, not K x M".
[[nodiscard]] Result<void> decode_centroid(std::span<const std::uint8_t> block,
                                           std::uint64_t point_count, std::uint32_t y_storage,
                                           DoubleArray& x, DoubleArray& y);

// ICP channels: f32 x[n], f64 counts[n], f64 pulse[n], f64 third[n]; x and counts are
// returned. Parse errors "channels: N bytes for M points, not 28 x M", "channels: x of point K
// is not finite".
[[nodiscard]] Result<void> decode_channels(std::span<const std::uint8_t> block,
                                           std::uint64_t point_count, DoubleArray& x,
                                           DoubleArray& counts);

}  // namespace kestrane::acq
