#include "src/acq/codecs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>
#include <type_traits>

#include "src/acq/clones.hpp"
#include "src/raw/le.hpp"
#include "src/raw/lzf.hpp"

namespace kestrane::acq {

namespace {

using raw::load_le;

// Head of every profile block: f64 x start, f64 x step.
constexpr std::size_t axis_head_size = 16;
// Run-length head: the axis, u32 tagged point count, i32 minus the leading zero count.
constexpr std::size_t run_length_count_at = 16;
constexpr std::size_t run_length_lead_at = 20;
constexpr std::size_t run_length_tokens_at = 24;
constexpr std::uint32_t run_length_tag = 0x90;

// One row per decoded combination; an entry matches when kind, compression and every axis do.
struct AxisRule {
  std::array<std::uint32_t, 2> quantities;  // accepted quantities (repeat one to accept one)
  std::array<std::uint32_t, 2> storages;
  std::uint32_t spacing;
};
struct FormatRule {
  Codec codec;
  std::uint32_t kind;
  std::uint32_t compression;
  std::size_t axis_count;
  std::array<AxisRule, 4> axes;
};

constexpr AxisRule x_start_step = {{quantity_mz, quantity_flight_time},
                                   {storage_float64, storage_float64},
                                   spacing_start_step};
constexpr AxisRule x_explicit = {{quantity_mz, quantity_flight_time},
                                 {storage_float64, storage_float64},
                                 spacing_explicit};
constexpr AxisRule counts_int32 = {{quantity_abundance, quantity_abundance},
                                   {storage_int32, storage_int32},
                                   spacing_explicit};
constexpr AxisRule abundance_float32 = {{quantity_abundance, quantity_abundance},
                                        {storage_float32, storage_float32},
                                        spacing_explicit};
constexpr AxisRule abundance_float = {{quantity_abundance, quantity_abundance},
                                      {storage_float32, storage_float64},
                                      spacing_explicit};
constexpr AxisRule icp_x = {{quantity_mz, quantity_mz},
                            {storage_float32, storage_float32},
                            spacing_explicit};
constexpr AxisRule icp_counts = {{quantity_icp_counts, quantity_icp_counts},
                                 {storage_float64, storage_float64},
                                 spacing_explicit};
constexpr AxisRule icp_pulse = {{quantity_icp_pulse, quantity_icp_pulse},
                                {storage_float64, storage_float64},
                                spacing_explicit};
constexpr AxisRule icp_third = {{quantity_icp_third, quantity_icp_third},
                                {storage_float64, storage_float64},
                                spacing_explicit};

constexpr std::array<FormatRule, 5> format_rules = {{
    {Codec::run_length_profile, kind_profile, compression_run_length, 2,
     {x_start_step, counts_int32}},
    {Codec::lzf_profile, kind_profile, compression_lzf, 2, {x_start_step, counts_int32}},
    {Codec::raw_profile, kind_profile, compression_none, 2, {x_start_step, abundance_float32}},
    {Codec::channels, kind_profile, compression_none, 4,
     {icp_x, icp_counts, icp_pulse, icp_third}},
    {Codec::centroid, kind_peak, compression_none, 2, {x_explicit, abundance_float}},
}};

bool matches(const AxisRule& rule, const FormatAxis& axis) noexcept {
  return (axis.quantity == rule.quantities[0] || axis.quantity == rule.quantities[1]) &&
         (axis.storage == rule.storages[0] || axis.storage == rule.storages[1]) &&
         axis.spacing == rule.spacing && axis.scale == 1.0;
}

Error run_length_error(const char* what) {
  return Error::parse(std::string("run-length: ") + what);
}

// What ended the token stream; `more`: a control token was applied and the stream goes on.
enum class RunEnd { more, input_end, literal_past_end, skip_past_end, zero_flag, cut };

struct Decoded {
  RunEnd end;
  std::size_t pos;  // the point after the last one decoded
};

// A control token's width flag r (1, 2, 3) selects 1 << (r - 1) bytes: the decoder keeps the
// width as its base-2 logarithm, r - 1. The stream starts at 4 bytes.
constexpr unsigned start_log_width = 2;

// The token at `off` of width 1 << log_width, sign-extended.
inline std::int32_t load_token(std::span<const std::uint8_t> b, std::size_t off,
                               unsigned log_width) noexcept {
  switch (log_width) {
    case 0:
      return static_cast<std::int8_t>(b[off]);
    case 1:
      return static_cast<std::int16_t>(load_le<std::uint16_t>(b, off));
    default:
      return static_cast<std::int32_t>(load_le<std::uint32_t>(b, off));
  }
}

// A control token v < 0: checks it, zeroes the points it skips and sets the width.
template <class T>
inline RunEnd control(std::int32_t v, T* out, std::size_t n, std::size_t& pos,
                      unsigned& log_width) noexcept {
  const auto m = static_cast<std::uint64_t>(-static_cast<std::int64_t>(v));
  const auto flag = static_cast<unsigned>(m & 3);
  const std::uint64_t skip = m >> 2;
  if (flag == 0) return RunEnd::zero_flag;
  if (skip > n - pos) return RunEnd::skip_past_end;
  std::fill_n(out + pos, skip, T{0});
  pos += static_cast<std::size_t>(skip);
  log_width = flag - 1;
  return RunEnd::more;
}

// Pieces. Where at least 64 bytes and 32 points remain, the decoder goes a piece at a time:
// the tokens of one width up to and including the first control token within a window of 56
// bytes (32 at width 1), or the whole window when it holds none. The control token is found
// in a bitmap of the bytes' sign bits, one segment of 2048 bytes (and the 64 after them) at a
// time. A piece converts a fixed 32 tokens (16 at width 4) whatever its length; the points
// past its literals are written again by later pieces, skips or the final zero fill.
constexpr std::size_t segment_bytes = 2048;
constexpr std::size_t piece_input = 64;
constexpr std::size_t piece_points = 32;

// Per width: the window bits that are a token's last byte (the window's last one included),
// the window's last bit, the bits a token's higher bytes lack, and the control token that
// switches to the other of widths 1 and 2 without skipping (-2 at width 1, -1 at width 2)
// with those bytes set. Instrument blocks alternate between widths 1 and 2 about every 20
// points: that case needs no other check, so the next width is known before the control
// token is loaded. Any other control token (width 4, skips, flag 0) takes the general path.
struct WidthRule {
  std::uint64_t last_bytes;
  std::uint64_t window_end;
  std::uint32_t higher_bytes;
  std::uint32_t alternate;
};
constexpr WidthRule width_rules[3] = {
    {0x00000000FFFFFFFFu, std::uint64_t{1} << 31, 0xFFFFFF00u, 0xFFFFFFFEu},
    {0x00AAAAAAAAAAAAAAu, std::uint64_t{1} << 55, 0xFFFF0000u, 0xFFFFFFFFu},
    {0x0088888888888888u, std::uint64_t{1} << 55, 0x00000000u, 0x00000000u},  // never matches
};

// The sign bits of the 8 bytes of a little-endian word, byte k's in bit k.
inline std::uint8_t sign_bits(std::uint64_t word) noexcept {
  return static_cast<std::uint8_t>(((word & 0x8080808080808080u) * 0x0002040810204081u) >> 56);
}

using SignBitmap = std::array<std::uint8_t, segment_bytes / 8 + 16>;

// The sign bits of bytes [base, base + 2048 + 64) of `b` (those that exist; zero past them).
[[gnu::always_inline]] inline void fill_signs(std::span<const std::uint8_t> b, std::size_t base,
                                              std::span<std::uint8_t> signs) noexcept {
  const std::size_t count = std::min(b.size() - base, segment_bytes + piece_input);
  std::size_t k = 0;
  for (; 8 * k + 8 <= count; ++k) signs[k] = sign_bits(load_le<std::uint64_t>(b, base + 8 * k));
  unsigned partial = 0;
  for (std::size_t j = 8 * k; j < count; ++j) {
    partial |= static_cast<unsigned>(b[base + j] >> 7) << (j - 8 * k);
  }
  signs[k] = static_cast<std::uint8_t>(partial);
  for (++k; k < signs.size(); ++k) signs[k] = 0;
}

// The largest count that every float32 holds, with all the integers below it.
constexpr std::int32_t float32_exact_limit = std::int32_t{1} << 24;

// Converts 16 tokens of width 4 at `off`, of any sign, into out[0, 16). For float32 output,
// returns bit i set when token i is above float32_exact_limit (float32 may round it).
template <class T>
[[gnu::always_inline]] inline unsigned convert_wide(std::span<const std::uint8_t> b,
                                                    std::size_t off, T* out) noexcept {
  unsigned above = 0;
  for (std::size_t i = 0; i < piece_points / 2; ++i) {
    const auto v = static_cast<std::int32_t>(load_le<std::uint32_t>(b, off + 4 * i));
    out[i] = static_cast<T>(v);
    if constexpr (std::is_same_v<T, float>) {
      above |= static_cast<unsigned>(v > float32_exact_limit) << i;
    }
  }
  return above;
}

// Converts 32 tokens at `off` of width 1 (`one_byte`) or 2 into out[0, 32). Both readings are
// made and a mask keeps one, so that the width, which changes too irregularly to predict, is
// no branch. Every value converts exactly, to float32 as well.
template <class T>
[[gnu::always_inline]] inline void convert_narrow(std::span<const std::uint8_t> b,
                                                  std::size_t off, T* out,
                                                  bool one_byte) noexcept {
  const auto keep_one = static_cast<std::int16_t>(-static_cast<int>(one_byte));
  for (std::size_t i = 0; i < piece_points; ++i) {
    const auto one = static_cast<std::int16_t>(static_cast<std::int8_t>(b[off + i]));
    const auto two = static_cast<std::int16_t>(load_le<std::uint16_t>(b, off + 2 * i));
    out[i] = static_cast<T>(static_cast<std::int16_t>((one & keep_one) | (two & ~keep_one)));
  }
}

// Decodes the tokens from `in`, at width 4 first, as the control tokens say, into out[pos, n):
// by pieces where enough bytes and points remain, then one token at a time. `signs` and
// `signs_view` are one SignBitmap of the caller's (made there: clang's clones would not emit
// the span constructors). For float32 output, `inexact` is set when a point's count is above
// float32_exact_limit. The results are the same in every clone.
template <class T>
[[gnu::always_inline]] inline Decoded tokens_into(std::span<const std::uint8_t> b,
                                                  std::size_t in, T* __restrict out,
                                                  std::size_t n, std::size_t pos,
                                                  std::span<std::uint8_t> signs,
                                                  std::span<const std::uint8_t> signs_view,
                                                  bool& inexact) {
  const std::size_t size = b.size();
  unsigned lw = start_log_width;
  unsigned above = 0;  // the points of wide pieces above float32_exact_limit
  if (size - in >= piece_input && n - pos >= piece_points) {
    const std::size_t in_limit = size - piece_input;
    const std::size_t pos_limit = n - piece_points;
    while (in <= in_limit && pos <= pos_limit) {
      const std::size_t base = in;
      fill_signs(b, base, signs);
      const std::size_t stop = std::min(in_limit + 1, base + segment_bytes);
      while (in < stop && pos <= pos_limit) {
        const std::size_t rel = in - base;
        const std::uint64_t window = load_le<std::uint64_t>(signs_view, rel >> 3) >> (rel & 7);
        const WidthRule& rule = width_rules[lw];
        // The last byte of the first control token, or of the window's last token.
        const auto last =
            static_cast<unsigned>(std::countr_zero((window & rule.last_bytes) | rule.window_end));
        const auto is_control = static_cast<unsigned>(window >> last) & 1;
        const std::size_t points = ((last + 1) >> lw) - is_control;
        if (lw == 2) {
          // Only the piece's points count: the tokens after them are read at the wrong width.
          above |= convert_wide(b, in, out + pos) & ((1u << points) - 1);
        } else {
          convert_narrow(b, in, out + pos, lw == 0);
        }
        in += last + 1;
        pos += points;
        // The piece's last token; 4 bytes from it lie in the block (8 follow the window).
        const std::size_t at = in - (std::size_t{1} << lw);
        const std::uint32_t token = load_le<std::uint32_t>(b, at) | rule.higher_bytes;
        if ((is_control & static_cast<unsigned>(token != rule.alternate)) != 0) {
          const RunEnd end = control(load_token(b, at, lw), out, n, pos, lw);
          if (end != RunEnd::more) {
            inexact |= above != 0;
            return {end, pos};
          }
        } else {
          lw ^= is_control;
        }
      }
    }
  }
  inexact |= above != 0;
  for (;;) {
    if (in == size) return {RunEnd::input_end, pos};
    if ((std::size_t{1} << lw) > size - in) return {RunEnd::cut, pos};
    const std::int32_t v = load_token(b, in, lw);
    in += std::size_t{1} << lw;
    if (v >= 0) {
      if (pos == n) return {RunEnd::literal_past_end, pos};
      out[pos++] = static_cast<T>(v);
      if constexpr (std::is_same_v<T, float>) inexact |= v > float32_exact_limit;
      continue;
    }
    const RunEnd end = control(v, out, n, pos, lw);
    if (end != RunEnd::more) return {end, pos};
  }
}

// The decoder, built for AVX-512, AVX2 and the baseline, chosen at load time; per output type
// (float64 output never sets `inexact`).
KESTRANE_ACQ_CLONES("arch=x86-64-v4", "arch=x86-64-v3", "default") Decoded tokens(
    std::span<const std::uint8_t> b, std::size_t in, double* __restrict out, std::size_t n,
    std::size_t pos, std::span<std::uint8_t> signs, std::span<const std::uint8_t> signs_view,
    bool& inexact) {
  return tokens_into(b, in, out, n, pos, signs, signs_view, inexact);
}

KESTRANE_ACQ_CLONES("arch=x86-64-v4", "arch=x86-64-v3", "default") Decoded tokens(
    std::span<const std::uint8_t> b, std::size_t in, float* __restrict out, std::size_t n,
    std::size_t pos, std::span<std::uint8_t> signs, std::span<const std::uint8_t> signs_view,
    bool& inexact) {
  return tokens_into(b, in, out, n, pos, signs, signs_view, inexact);
}

}  // namespace

std::optional<BlockFormat> classify(const FormatEntry& entry) noexcept {
  for (const auto& rule : format_rules) {
    if (entry.kind != rule.kind || entry.compression != rule.compression ||
        entry.axes.size() != rule.axis_count) {
      continue;
    }
    bool all = true;
    for (std::size_t a = 0; a < rule.axis_count; ++a) {
      all = all && entry.axes[a].number == a + 1 && matches(rule.axes[a], entry.axes[a]);
    }
    if (!all) continue;
    return BlockFormat{rule.codec, rule.kind, entry.axes[0].quantity, entry.axes[1].storage};
  }
  return std::nullopt;
}

namespace {

// Either output; `inexact` as tokens() sets it.
template <class T>
Result<LinearAxis> run_length_into(std::span<const std::uint8_t> b, std::uint64_t point_count,
                                   vornelle_core::Array<T>& intensity, bool& inexact) {
  if (b.size() < run_length_tokens_at) {
    return std::unexpected(run_length_error("block shorter than its 24-byte head"));
  }
  const LinearAxis axis{load_le<double>(b, 0), load_le<double>(b, 8)};
  const auto word = load_le<std::uint32_t>(b, run_length_count_at);
  if (word >> 24 != run_length_tag) {
    return std::unexpected(run_length_error("point count word has no 0x90 tag"));
  }
  const std::size_t n = word & 0xFFFFFF;
  if (n != point_count) {
    return parse_error("run-length: block holds " + std::to_string(n) + " points, its record " +
                       std::to_string(point_count));
  }
  if (n > run_length_max_points_per_byte * b.size()) {
    return parse_error("run-length: " + std::to_string(n) + " points from a block of " +
                       std::to_string(b.size()) + " bytes, more than " +
                       std::to_string(run_length_max_points_per_byte) + " a byte");
  }
  const auto lead_word = static_cast<std::int32_t>(load_le<std::uint32_t>(b, run_length_lead_at));
  if (lead_word > 0) return std::unexpected(run_length_error("leading zero count is positive"));
  const auto lead = static_cast<std::uint64_t>(-static_cast<std::int64_t>(lead_word));
  if (lead > n) return std::unexpected(run_length_error("more leading zeros than points"));

  intensity.resize(n);
  T* out = intensity.data();
  std::fill_n(out, lead, T{0});
  SignBitmap signs;
  const auto [end, pos] = tokens(b, run_length_tokens_at, out, n, static_cast<std::size_t>(lead),
                                 signs, signs, inexact);
  const char* message = nullptr;
  switch (end) {
    case RunEnd::literal_past_end:
      message = "literal after the last point";
      break;
    case RunEnd::skip_past_end:
      message = "skip past the last point";
      break;
    case RunEnd::zero_flag:
      message = "width flag 0";
      break;
    case RunEnd::cut:
      message = "token cut short";
      break;
    default:
      break;
  }
  if (message != nullptr) {
    intensity.clear();
    return std::unexpected(run_length_error(message));
  }
  std::fill(out + pos, out + n, T{0});
  return axis;
}

}  // namespace

Result<LinearAxis> decode_run_length(std::span<const std::uint8_t> b, std::uint64_t point_count,
                                     DoubleArray& intensity) {
  bool inexact = false;
  return run_length_into(b, point_count, intensity, inexact);
}

Result<LinearAxis> decode_run_length(std::span<const std::uint8_t> b, std::uint64_t point_count,
                                     FloatArray& intensity, bool& exact) {
  bool inexact = false;
  auto axis = run_length_into(b, point_count, intensity, inexact);
  exact = axis && !inexact;
  return axis;
}

namespace {

template <class T>
Result<LinearAxis> lzf_into(std::span<const std::uint8_t> block, std::uint64_t point_count,
                            vornelle_core::Array<T>& intensity, std::vector<std::uint8_t>& scratch,
                            bool& inexact) {
  // 16 + 4n, checked: a claim whose size does not fit in 64 bits, or beyond what the block can
  // expand to, fails before any buffer of the claimed size exists.
  const auto expected = claimed_size(axis_head_size, 4, point_count);
  if (!expected || *expected / raw::lzf_max_expansion > block.size()) {
    return parse_error("LZF profile: point count " + std::to_string(point_count) +
                       " needs more bytes than a block of " + std::to_string(block.size()) +
                       " can expand to");
  }
  auto expanded = raw::decompress_into(block, static_cast<std::size_t>(*expected), scratch);
  if (!expanded) return std::unexpected(std::move(expanded).error());
  const std::span<const std::uint8_t> e = *expanded;
  const LinearAxis axis{load_le<double>(e, 0), load_le<double>(e, 8)};
  const auto n = static_cast<std::size_t>(point_count);
  intensity.resize(n);
  T* out = intensity.data();
  std::uint32_t highest = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const auto v = load_le<std::uint32_t>(e, axis_head_size + 4 * k);
    out[k] = static_cast<T>(v);
    if constexpr (std::is_same_v<T, float>) highest = std::max(highest, v);
  }
  inexact = highest > std::uint32_t{float32_exact_limit};
  return axis;
}

}  // namespace

Result<LinearAxis> decode_lzf_profile(std::span<const std::uint8_t> block,
                                      std::uint64_t point_count, DoubleArray& intensity,
                                      std::vector<std::uint8_t>& scratch) {
  bool inexact = false;
  return lzf_into(block, point_count, intensity, scratch, inexact);
}

Result<LinearAxis> decode_lzf_profile(std::span<const std::uint8_t> block,
                                      std::uint64_t point_count, FloatArray& intensity,
                                      std::vector<std::uint8_t>& scratch, bool& exact) {
  bool inexact = false;
  auto axis = lzf_into(block, point_count, intensity, scratch, inexact);
  exact = axis && !inexact;
  return axis;
}

Result<LinearAxis> decode_raw_profile(std::span<const std::uint8_t> block,
                                      std::uint64_t point_count, DoubleArray& intensity) {
  if (claimed_size(axis_head_size, 4, point_count) != block.size()) {
    return parse_error("raw profile: " + std::to_string(block.size()) + " bytes for " +
                       std::to_string(point_count) + " points, not 16 + 4 x " +
                       std::to_string(point_count));
  }
  const LinearAxis axis{load_le<double>(block, 0), load_le<double>(block, 8)};
  const auto n = static_cast<std::size_t>(point_count);
  intensity.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    intensity[k] = static_cast<double>(load_le<float>(block, axis_head_size + 4 * k));
  }
  return axis;
}

Result<void> decode_centroid(std::span<const std::uint8_t> block, std::uint64_t point_count,
                             std::uint32_t y_storage, DoubleArray& x, DoubleArray& y) {
  const std::uint64_t y_size = y_storage == storage_float64 ? 8 : 4;
  if (claimed_size(0, 8 + y_size, point_count) != block.size()) {
    return parse_error("centroid: " + std::to_string(block.size()) + " bytes for " +
                       std::to_string(point_count) + " points, not " +
                       std::to_string(8 + y_size) + " x " + std::to_string(point_count));
  }
  const auto n = static_cast<std::size_t>(point_count);
  x.resize(n);
  y.resize(n);
  for (std::size_t k = 0; k < n; ++k) x[k] = load_le<double>(block, 8 * k);
  const std::size_t y_at = 8 * n;
  if (y_size == 8) {
    for (std::size_t k = 0; k < n; ++k) y[k] = load_le<double>(block, y_at + 8 * k);
  } else {
    for (std::size_t k = 0; k < n; ++k) {
      y[k] = static_cast<double>(load_le<float>(block, y_at + 4 * k));
    }
  }
  return {};
}

Result<void> decode_channels(std::span<const std::uint8_t> block, std::uint64_t point_count,
                             DoubleArray& x, DoubleArray& counts) {
  if (claimed_size(0, 28, point_count) != block.size()) {
    return parse_error("channels: " + std::to_string(block.size()) + " bytes for " +
                       std::to_string(point_count) + " points, not 28 x " +
                       std::to_string(point_count));
  }
  const auto n = static_cast<std::size_t>(point_count);
  x.resize(n);
  counts.resize(n);
  for (std::size_t k = 0; k < n; ++k) x[k] = static_cast<double>(load_le<float>(block, 4 * k));
  // A channel whose x is not finite has no mass: no spectrum holds it, nor merges it with others.
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(x[k])) {
      x.clear();
      return parse_error("channels: x of point " + std::to_string(k) + " is not finite");
    }
  }
  for (std::size_t k = 0; k < n; ++k) counts[k] = load_le<double>(block, 4 * n + 8 * k);
  return {};
}

}  // namespace kestrane::acq
