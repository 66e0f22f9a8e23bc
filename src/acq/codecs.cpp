#include "src/acq/codecs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

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

// What ended a run of tokens of one width.
enum class RunEnd { input_end, width_switch, literal_past_end, skip_past_end, zero_flag, cut };

template <unsigned W>
std::int32_t load_token(const std::uint8_t* p) noexcept {
  if constexpr (W == 1) {
    return static_cast<std::int8_t>(*p);
  } else if constexpr (W == 2) {
    return static_cast<std::int16_t>(load_le<std::uint16_t>(std::span<const std::uint8_t>(p, sizeof(std::uint16_t)), 0));
  } else {
    return static_cast<std::int32_t>(load_le<std::uint32_t>(std::span<const std::uint8_t>(p, sizeof(std::uint32_t)), 0));
  }
}

// The sign bits of the 8 / W tokens in a little-endian 8-byte word.
template <unsigned W>
constexpr std::uint64_t sign_bits() noexcept {
  if constexpr (W == 1) return 0x8080808080808080u;
  if constexpr (W == 2) return 0x8000800080008000u;
  return 0x8000000080000000u;
}

// Converts `count` tokens of width W known to be non-negative.
template <unsigned W>
[[gnu::always_inline]] inline void literals(const std::uint8_t* p, double* out,
                                            std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(load_token<W>(p + W * i));
}

// A control token v < 0 read at `in` - W: skips (-v) div 4 points (zero) and sets the width from
// (-v) mod 4.
inline RunEnd control(std::int32_t v, double* out, std::size_t n, std::size_t& pos,
                      unsigned& width) noexcept {
  const std::uint64_t m = static_cast<std::uint64_t>(-static_cast<std::int64_t>(v));
  const std::uint64_t skip = m >> 2;
  const unsigned flag = static_cast<unsigned>(m & 3);
  if (flag == 0) return RunEnd::zero_flag;
  if (skip > n - pos) return RunEnd::skip_past_end;
  std::fill_n(out + pos, skip, 0.0);
  pos += static_cast<std::size_t>(skip);
  width = flag == 3 ? 4 : flag;
  return RunEnd::width_switch;
}

// Decodes tokens of width W from `in` until a width switch, the end of the input, or an error.
// Tokens are taken 8 bytes at a time and every one is converted; the position then advances
// over the literals before the first control token only. Points written past it are written
// again later (by literals, skips or the final zero fill), so no branch depends on where the
// control token lies within the word.
template <unsigned W>
[[gnu::always_inline]] inline RunEnd run(const std::uint8_t* p, std::size_t size,
                                         std::size_t& in, double* out, std::size_t n,
                                         std::size_t& pos, unsigned& width) noexcept {
  constexpr std::size_t per_word = 8 / W;
  for (;;) {
    // Two words at once while both hold literals only.
    while (size - in >= 16 && n - pos >= 2 * per_word &&
           ((load_le<std::uint64_t>(std::span<const std::uint8_t>(p + in, sizeof(std::uint64_t)), 0) | load_le<std::uint64_t>(std::span<const std::uint8_t>(p + in + 8, sizeof(std::uint64_t)), 0)) &
            sign_bits<W>()) == 0) {
      literals<W>(p + in, out + pos, 2 * per_word);
      in += 16;
      pos += 2 * per_word;
    }
    while (size - in >= 8 && n - pos >= per_word) {
      const std::uint64_t signs = load_le<std::uint64_t>(std::span<const std::uint8_t>(p + in, sizeof(std::uint64_t)), 0) & sign_bits<W>();
      literals<W>(p + in, out + pos, per_word);
      if (signs == 0) {
        in += 8;
        pos += per_word;
        continue;
      }
      const std::size_t before = static_cast<std::size_t>(std::countr_zero(signs)) / (8 * W);
      pos += before;
      const std::int32_t v = load_token<W>(p + in + W * before);
      in += W * (before + 1);
      const RunEnd end = control(v, out, n, pos, width);
      if (end != RunEnd::width_switch || width != W) return end;
    }
    // Fewer than 8 bytes or fewer than a word of points left: one token at a time.
    if (in == size) return RunEnd::input_end;
    if (W > size - in) return RunEnd::cut;
    const std::int32_t v = load_token<W>(p + in);
    in += W;
    if (v >= 0) {
      if (pos == n) return RunEnd::literal_past_end;
      out[pos++] = static_cast<double>(v);
      continue;
    }
    const RunEnd end = control(v, out, n, pos, width);
    if (end != RunEnd::width_switch || width != W) return end;
  }
}

// The token stream from `in` at width 4, switching widths as the control tokens say. Built
// twice, for AVX2 and for the baseline, chosen once at load time; the results are the same.
[[gnu::target_clones("avx2", "default")]] RunEnd tokens(const std::uint8_t* p, std::size_t size,
                                                         std::size_t in, double* out,
                                                         std::size_t n, std::size_t& pos) {
  unsigned width = 4;
  for (;;) {
    RunEnd end;
    switch (width) {
      case 1:
        end = run<1>(p, size, in, out, n, pos, width);
        break;
      case 2:
        end = run<2>(p, size, in, out, n, pos, width);
        break;
      default:
        end = run<4>(p, size, in, out, n, pos, width);
        break;
    }
    if (end != RunEnd::width_switch) return end;
  }
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

Result<LinearAxis> decode_run_length(std::span<const std::uint8_t> b, std::uint64_t point_count,
                                     DoubleArray& intensity) {
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
  const auto lead_word = static_cast<std::int32_t>(load_le<std::uint32_t>(b, run_length_lead_at));
  if (lead_word > 0) return std::unexpected(run_length_error("leading zero count is positive"));
  const auto lead = static_cast<std::uint64_t>(-static_cast<std::int64_t>(lead_word));
  if (lead > n) return std::unexpected(run_length_error("more leading zeros than points"));

  intensity.resize(n);
  double* out = intensity.data();
  std::fill_n(out, lead, 0.0);
  std::size_t pos = static_cast<std::size_t>(lead);
  const RunEnd end = tokens(b.data(), b.size(), run_length_tokens_at, out, n, pos);
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
  std::fill(out + pos, out + n, 0.0);
  return axis;
}

Result<LinearAxis> decode_lzf_profile(std::span<const std::uint8_t> block,
                                      std::uint64_t point_count, DoubleArray& intensity,
                                      std::vector<std::uint8_t>& scratch) {
  // 16 + 4n in 64 bits; a claim beyond what the block can expand to fails before any buffer
  // of the claimed size exists.
  const std::uint64_t expected = axis_head_size + 4 * point_count;
  if (expected / raw::lzf_max_expansion > block.size()) {
    return parse_error("LZF profile: point count " + std::to_string(point_count) +
                       " needs more bytes than a block of " + std::to_string(block.size()) +
                       " can expand to");
  }
  auto expanded = raw::decompress_into(block, static_cast<std::size_t>(expected), scratch);
  if (!expanded) return std::unexpected(std::move(expanded).error());
  const std::span<const std::uint8_t> e = *expanded;
  const LinearAxis axis{load_le<double>(e, 0), load_le<double>(e, 8)};
  const auto n = static_cast<std::size_t>(point_count);
  intensity.resize(n);
  double* out = intensity.data();
  for (std::size_t k = 0; k < n; ++k) {
    out[k] = static_cast<double>(load_le<std::uint32_t>(e, axis_head_size + 4 * k));
  }
  return axis;
}

Result<LinearAxis> decode_raw_profile(std::span<const std::uint8_t> block,
                                      std::uint64_t point_count, DoubleArray& intensity) {
  if (point_count > block.size() || block.size() != axis_head_size + 4 * point_count) {
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
  if (point_count > block.size() || block.size() != (8 + y_size) * point_count) {
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
  if (point_count > block.size() || block.size() != 28 * point_count) {
    return parse_error("channels: " + std::to_string(block.size()) + " bytes for " +
                       std::to_string(point_count) + " points, not 28 x " +
                       std::to_string(point_count));
  }
  const auto n = static_cast<std::size_t>(point_count);
  x.resize(n);
  counts.resize(n);
  for (std::size_t k = 0; k < n; ++k) x[k] = static_cast<double>(load_le<float>(block, 4 * k));
  for (std::size_t k = 0; k < n; ++k) counts[k] = load_le<double>(block, 4 * n + 8 * k);
  return {};
}

}  // namespace kestrane::acq
