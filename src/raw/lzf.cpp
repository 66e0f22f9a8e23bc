#include "lzf.hpp"

#include <cstring>
#include <string>

namespace kestrane::raw {

namespace {

constexpr unsigned max_literal_run = 32;
constexpr unsigned long_reference = 7;  // length field value that announces an extra length byte

Error length_mismatch(std::size_t produced, std::size_t expected) {
  return Error::parse("LZF: decompressed length " + std::to_string(produced) + " != expected " +
                      std::to_string(expected));
}

// Refuses, before anything is allocated, lengths that no stream of `in_len` bytes can reach.
// Empty input keeps its ordinary message: it produced 0 bytes.
Result<void> check_reachable(std::size_t in_len, std::size_t expected_len) {
  if (expected_len == 0) return {};
  if (in_len == 0) return std::unexpected(length_mismatch(0, expected_len));
  if ((expected_len - 1) / lzf_max_expansion >= in_len) {
    return parse_error("LZF: expected length " + std::to_string(expected_len) +
                       " exceeds what " + std::to_string(in_len) + " input bytes can expand to");
  }
  return {};
}

// Copies a back reference of `len` bytes from `distance` bytes behind `dst`, with the result of
// a forward byte-by-byte copy. `room` is the number of bytes writable from `dst` (>= len): wide
// copies may write up to 15 bytes past the match within it; later tokens overwrite those bytes.
inline void copy_match(std::uint8_t* dst, std::size_t distance, std::size_t len,
                       std::size_t room) {
  const std::uint8_t* src = dst - distance;
  if (len + 15 <= room) [[likely]] {
    if (distance >= 16) {
      // Each 16-byte source chunk ends at or before its destination chunk begins.
      std::memcpy(dst, src, 16);
      for (std::size_t i = 16; i < len; i += 16) std::memcpy(dst + i, src + i, 16);
      return;
    }
    if (distance == 1) {
      const std::uint8_t byte = *src;
      for (std::size_t i = 0; i < len; i += 16) std::memset(dst + i, byte, 16);
      return;
    }
    // A short period: lay down its first copy byte by byte until the period multiple reaches 16,
    // then copy 16-byte chunks from that distance, which holds the same repeating bytes.
    const std::size_t period = distance * ((16 + distance - 1) / distance);
    if (len > period) {
      for (std::size_t i = 0; i < period; ++i) dst[i] = src[i];
      for (std::size_t i = period; i < len; i += 16) std::memcpy(dst + i, dst + i - period, 16);
      return;
    }
  }
  for (std::size_t i = 0; i < len; ++i) dst[i] = src[i];
}

// Expands `in` into exactly `out`; the caller has run check_reachable.
Result<void> decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  const std::size_t in_len = in.size();
  const std::size_t out_len = out.size();
  if (out_len == 0) return {};

  const std::uint8_t* const ip0 = in.data();
  std::uint8_t* const op0 = out.data();
  std::size_t ip = 0;  // invariant at the top of the loop: ip < in_len
  std::size_t op = 0;
  while (op < out_len) {
    const unsigned ctrl = ip0[ip];
    if (ctrl < max_literal_run) {
      const std::size_t run = ctrl + 1;
      const std::size_t in_left = in_len - ip - 1;
      const std::size_t out_left = out_len - op;
      if (run > in_left || run > out_left) return parse_error("LZF: literal run out of bounds");
      if (in_left >= max_literal_run && out_left >= max_literal_run) {
        std::memcpy(op0 + op, ip0 + ip + 1, max_literal_run);  // fixed size: two vector moves
      } else {
        std::memcpy(op0 + op, ip0 + ip + 1, run);
      }
      ip += 1 + run;
      op += run;
    } else {
      const std::size_t high = static_cast<std::size_t>(ctrl & 0x1f) << 8;
      // Tested before the next byte is looked at: this message wins over a truncation.
      if (op <= high) return parse_error("LZF: invalid back reference");
      std::size_t len = ctrl >> 5;
      std::size_t pos = ip + 1;
      if (len == long_reference) {
        if (pos >= in_len) return parse_error("LZF: truncated length byte");
        len += ip0[pos++];
      }
      if (pos >= in_len) return parse_error("LZF: truncated reference byte");
      const std::size_t distance = high + ip0[pos] + 1;
      if (distance > op) return parse_error("LZF: invalid back reference");
      len += 2;
      if (len > out_len - op) return parse_error("LZF: match run exceeds output bounds");
      copy_match(op0 + op, distance, len, out_len - op);
      ip = pos + 1;
      op += len;
    }
    if (ip >= in_len) break;
  }
  if (op != out_len) return std::unexpected(length_mismatch(op, out_len));
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> in,
                                             std::size_t expected_len) {
  if (auto reachable = check_reachable(in.size(), expected_len); !reachable) {
    return std::unexpected(std::move(reachable).error());
  }
  std::vector<std::uint8_t> out(expected_len);
  if (auto done = decode(in, out); !done) return std::unexpected(std::move(done).error());
  return out;
}

Result<std::span<const std::uint8_t>> decompress_into(std::span<const std::uint8_t> in,
                                                      std::size_t expected_len,
                                                      std::vector<std::uint8_t>& scratch) {
  if (auto reachable = check_reachable(in.size(), expected_len); !reachable) {
    return std::unexpected(std::move(reachable).error());
  }
  if (scratch.size() < expected_len) scratch.resize(expected_len);
  const std::span<std::uint8_t> out(scratch.data(), expected_len);
  if (auto done = decode(in, out); !done) return std::unexpected(std::move(done).error());
  return out;
}

}  // namespace kestrane::raw
