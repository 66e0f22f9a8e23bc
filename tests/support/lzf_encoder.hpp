// Test-only LZF encoder: token emitters for hand-built streams, and a greedy encoder whose
// output uses literal runs, short and long back references, and self-overlapping references.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrane::test {

inline constexpr std::size_t lzf_max_literal_run = 32;
inline constexpr std::size_t lzf_max_distance = 8192;
inline constexpr std::size_t lzf_min_match = 3;
inline constexpr std::size_t lzf_max_match = 264;

// Appends `bytes` as literal runs of at most 32 bytes each.
inline void append_literals(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  for (std::size_t pos = 0; pos < bytes.size(); pos += lzf_max_literal_run) {
    const std::size_t run = std::min(lzf_max_literal_run, bytes.size() - pos);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos),
               bytes.begin() + static_cast<std::ptrdiff_t>(pos + run));
  }
}

// Appends one back reference token: copy `length` (3..264) bytes starting `distance`
// (1..8192) bytes behind the output position. Lengths up to 8 give the 2-byte short form.
inline void append_reference(std::vector<std::uint8_t>& out, std::size_t distance,
                             std::size_t length) {
  assert(distance >= 1 && distance <= lzf_max_distance);
  assert(length >= lzf_min_match && length <= lzf_max_match);
  const std::size_t offset = distance - 1;
  const std::size_t field = length - 2;
  const auto high = static_cast<std::uint8_t>(offset >> 8);
  const auto lo = static_cast<std::uint8_t>(offset & 0xff);
  if (field < 7) {
    out.push_back(static_cast<std::uint8_t>((field << 5) | high));
  } else {
    out.push_back(static_cast<std::uint8_t>(0xe0 | high));
    out.push_back(static_cast<std::uint8_t>(field - 7));
  }
  out.push_back(lo);
}

// Greedy LZF encoding of `in`. Candidates are the 16 nearest distances (so runs and short
// periods become self-overlapping references) and a hash chain of earlier 3-byte sequences.
inline std::vector<std::uint8_t> lzf_encode(std::span<const std::uint8_t> in) {
  constexpr std::size_t hash_bits = 14;
  constexpr std::size_t chain_steps = 32;
  constexpr std::size_t near_distances = 16;
  constexpr std::size_t none = static_cast<std::size_t>(-1);

  std::vector<std::uint8_t> out;
  std::vector<std::size_t> head(std::size_t{1} << hash_bits, none);
  std::vector<std::size_t> prev(in.size(), none);
  const auto hash_at = [&](std::size_t i) {
    const std::uint32_t v = static_cast<std::uint32_t>(in[i]) << 16 |
                            static_cast<std::uint32_t>(in[i + 1]) << 8 | in[i + 2];
    return static_cast<std::size_t>((v * 2654435761u) >> (32 - hash_bits));
  };
  const auto insert = [&](std::size_t i) {
    if (i + lzf_min_match > in.size()) return;
    const std::size_t h = hash_at(i);
    prev[i] = head[h];
    head[h] = i;
  };
  const auto match_length = [&](std::size_t from, std::size_t at) {
    const std::size_t limit = std::min(lzf_max_match, in.size() - at);
    std::size_t len = 0;
    while (len < limit && in[from + len] == in[at + len]) ++len;
    return len;
  };

  std::size_t literal_start = 0;
  std::size_t i = 0;
  while (i < in.size()) {
    std::size_t best_len = 0;
    std::size_t best_distance = 0;
    const auto consider = [&](std::size_t from) {
      const std::size_t len = match_length(from, i);
      if (len > best_len) {
        best_len = len;
        best_distance = i - from;
      }
    };
    for (std::size_t d = 1; d <= std::min(near_distances, i); ++d) consider(i - d);
    if (i + lzf_min_match <= in.size()) {
      std::size_t candidate = head[hash_at(i)];
      for (std::size_t step = 0; step < chain_steps && candidate != none; ++step) {
        if (i - candidate > lzf_max_distance) break;
        if (i - candidate > near_distances) consider(candidate);
        candidate = prev[candidate];
      }
    }
    if (best_len >= lzf_min_match) {
      append_literals(out, in.subspan(literal_start, i - literal_start));
      append_reference(out, best_distance, best_len);
      for (std::size_t j = i; j < i + best_len; ++j) insert(j);
      i += best_len;
      literal_start = i;
    } else {
      insert(i);
      ++i;
    }
  }
  append_literals(out, in.subspan(literal_start));
  return out;
}

}  // namespace kestrane::test
