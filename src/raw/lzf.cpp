#include "src/raw/lzf.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>

namespace kestrane::raw {

namespace {

constexpr unsigned max_literal_run = 32;
constexpr unsigned long_reference = 7;  // length field value that announces an extra length byte

Error length_mismatch(std::size_t produced, std::size_t expected) {
  return Error::parse("LZF: decompressed length " + std::to_string(produced) + " != expected " +
                      std::to_string(expected));
}

// How many output bytes the buffer needs: `expected_len`, or less when no stream of `in_len`
// bytes can reach it. Each token yields at most lzf_max_expansion bytes per input byte it spans,
// so decoding never gets past this point, and a short stream that claims gigabytes costs a
// buffer proportional to the stream, not to the claim; its result is unchanged (it fails).
std::size_t reachable_len(std::size_t in_len, std::size_t expected_len) {
  if (expected_len / lzf_max_expansion < in_len) return expected_len;
  return std::min(expected_len, in_len * lzf_max_expansion);
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

// Out of line and cold, so that the decode loop keeps its registers for the hot path.
[[gnu::noinline, gnu::cold]] bool asked_to_stop(Interrupt* interrupt) noexcept {
  return interrupt->requested();
}

// Expands `in` to `expected_len` bytes into `out`. The checks against `expected_len` and the
// input decide every message. Without `Prefix`, out.size() is reachable_len(): the checks
// against it keep every write inside the buffer and cannot fail before the former do. With
// `Prefix`, out.size() may be smaller than what the stream yields: only the first out.size()
// bytes are written, and the tokens beyond are checked the same way without producing their
// bytes. A stop request is looked at after each MiB of input.
template <bool Prefix>
Result<void> decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                    std::size_t expected_len, Interrupt* interrupt) {
  if (expected_len == 0) return {};
  const std::size_t in_len = in.size();
  if (in_len == 0) return std::unexpected(length_mismatch(0, expected_len));

  const std::uint8_t* const ip0 = in.data();
  std::uint8_t* const op0 = out.data();
  const std::size_t capacity = out.size();
  // The end of the input and the next stop check share one test per token.
  constexpr std::size_t check_every = std::size_t{1} << 20;
  std::size_t check_at = interrupt == nullptr ? in_len : std::min(in_len, check_every);
  std::size_t ip = 0;  // invariant at the top of the loop: ip < in_len
  std::size_t op = 0;
  while (op < expected_len) {
    const unsigned ctrl = ip0[ip];
    const std::size_t out_left = expected_len - op;
    if (ctrl < max_literal_run) {
      const std::size_t run = ctrl + 1;
      const std::size_t in_left = in_len - ip - 1;
      if (run > in_left || run > out_left || (!Prefix && run > capacity - op)) {
        return parse_error("LZF: literal run out of bounds");
      }
      if (!Prefix || op < capacity) {
        const std::size_t room = capacity - op;
        if (in_left >= max_literal_run && room >= max_literal_run) {
          std::memcpy(op0 + op, ip0 + ip + 1, max_literal_run);  // fixed size: two vector moves
        } else {
          std::memcpy(op0 + op, ip0 + ip + 1, Prefix ? std::min(run, room) : run);
        }
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
      if (len > out_left || (!Prefix && len > capacity - op)) {
        return parse_error("LZF: match run exceeds output bounds");
      }
      if (!Prefix || op < capacity) {
        const std::size_t room = capacity - op;
        copy_match(op0 + op, distance, Prefix ? std::min(len, room) : len, room);
      }
      ip = pos + 1;
      op += len;
    }
    if (ip >= check_at) {
      if (ip >= in_len) break;
      if (asked_to_stop(interrupt)) return std::unexpected(interrupted());
      check_at = std::min(in_len, ip + check_every);
    }
  }
  if (op != expected_len) return std::unexpected(length_mismatch(op, expected_len));
  return {};
}

// Grows `scratch` to at least `size` bytes, a piece at a time (each zeroed), with a stop check in
// between; false when asked to stop.
bool grow(std::vector<std::uint8_t>& scratch, std::size_t size, Interrupt* interrupt) {
  constexpr std::size_t grow_piece = std::size_t{64} << 20;
  if (scratch.size() < size) scratch.reserve(size);
  for (bool first = true; scratch.size() < size; first = false) {
    if (!first && stop_requested(interrupt)) return false;
    scratch.resize(std::min(size, scratch.size() + grow_piece));
  }
  return true;
}

// One token as decode() reads it. Bytes past the end of the input are not read: every cut ends
// at or before them, so it is truncated there before it needs them, and `end` lies past the end.
struct Token {
  bool literal = false;
  bool long_form = false;  // a reference whose length byte follows the control byte
  std::size_t len = 0;       // output bytes
  std::size_t high = 0;      // a reference's distance bits from the control byte
  std::size_t distance = 0;  // a reference's distance, when its bytes are present
  std::size_t end = 0;       // input position after the token
};

Token read_token(std::span<const std::uint8_t> in, std::size_t ip) {
  Token t;
  const unsigned ctrl = in[ip];
  if (ctrl < max_literal_run) {
    t.literal = true;
    t.len = ctrl + 1;
    t.end = ip + 1 + t.len;
    return t;
  }
  t.high = static_cast<std::size_t>(ctrl & 0x1f) << 8;
  t.len = ctrl >> 5;
  std::size_t pos = ip + 1;
  if (t.len == long_reference) {
    t.long_form = true;
    if (pos < in.size()) t.len += in[pos];
    ++pos;
  }
  if (pos < in.size()) t.distance = t.high + in[pos] + 1;
  t.len += 2;
  t.end = pos + 1;
  return t;
}

// What decode() decides at the token `t` read at (ip, op) for input cut at `in_len` and output
// of `expected_len` (ip < in_len, op < expected_len), with its checks in its order; nullopt
// when decoding goes on past the token.
std::optional<Result<void>> decide(const Token& t, std::size_t ip, std::size_t op,
                                   std::size_t in_len, std::size_t expected_len) {
  const std::size_t out_left = expected_len - op;
  if (t.literal) {
    if (t.len > in_len - ip - 1 || t.len > out_left) {
      return parse_error("LZF: literal run out of bounds");
    }
  } else {
    if (op <= t.high) return parse_error("LZF: invalid back reference");
    std::size_t pos = ip + 1;
    if (t.long_form) {
      if (pos >= in_len) return parse_error("LZF: truncated length byte");
      ++pos;
    }
    if (pos >= in_len) return parse_error("LZF: truncated reference byte");
    if (t.distance > op) return parse_error("LZF: invalid back reference");
    if (t.len > out_left) return parse_error("LZF: match run exceeds output bounds");
  }
  if (t.len == out_left) return Result<void>();
  if (t.end >= in_len) return std::unexpected(length_mismatch(op + t.len, expected_len));
  return std::nullopt;
}

}  // namespace

Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> in,
                                             std::size_t expected_len) {
  // Success means the whole expected length was reachable, so `out` is then exactly that long.
  std::vector<std::uint8_t> out(reachable_len(in.size(), expected_len));
  if (auto done = decode<false>(in, out, expected_len, nullptr); !done) {
    return std::unexpected(std::move(done).error());
  }
  return out;
}

Result<std::span<const std::uint8_t>> decompress_prefix_into(std::span<const std::uint8_t> in,
                                                             std::size_t expected_len,
                                                             std::size_t keep,
                                                             std::vector<std::uint8_t>& scratch,
                                                             Interrupt* interrupt) {
  keep = std::min(keep, expected_len);
  const std::size_t reachable = reachable_len(in.size(), expected_len);
  const std::size_t capacity = std::min(keep, reachable);
  if (!grow(scratch, capacity, interrupt)) return std::unexpected(interrupted());
  const std::span<std::uint8_t> out(scratch.data(), capacity);
  auto done = capacity == reachable ? decode<false>(in, out, expected_len, interrupt)
                                    : decode<true>(in, out, expected_len, interrupt);
  if (!done) return std::unexpected(std::move(done).error());
  return std::span<const std::uint8_t>(scratch.data(), keep);
}

Result<std::span<const std::uint8_t>> decompress_into(std::span<const std::uint8_t> in,
                                                      std::size_t expected_len,
                                                      std::vector<std::uint8_t>& scratch) {
  return decompress_prefix_into(in, expected_len, expected_len, scratch, nullptr);
}

// The cuts go through one decode of the whole input. A cut stays pending while the position is
// below its input length and the output below its expected length; a token decides it only if
// the token reaches one of the two (it then decides every cut it reaches) or is an invalid
// reference (for every cut). Pending cuts are kept sorted both ways, so a token that reaches
// neither the smallest pending input length nor the smallest pending expected length, and is
// valid, costs two comparisons more than in decode<true>.
Result<std::span<const std::uint8_t>> expand_cuts(std::span<const std::uint8_t> in,
                                                  std::span<const LzfCut> cuts, std::size_t keep,
                                                  std::span<Result<void>> outcomes,
                                                  std::vector<std::uint8_t>& scratch,
                                                  Interrupt* interrupt) {
  const std::size_t n = cuts.size();
  if (n == 1) {
    // One cut: the tuned decoder. Its errors are parse errors, or interrupted().
    auto one = decompress_prefix_into(in.first(std::min(cuts[0].in_len, in.size())),
                                      cuts[0].expected_len, keep, scratch, interrupt);
    if (one) {
      outcomes[0] = {};
      return one;
    }
    if (!one.error().is_parse()) return std::unexpected(std::move(one).error());
    outcomes[0] = std::unexpected(std::move(one).error());
    return std::span<const std::uint8_t>();
  }

  const std::size_t capacity = reachable_len(in.size(), keep);
  if (!grow(scratch, capacity, interrupt)) return std::unexpected(interrupted());
  std::uint8_t* const op0 = scratch.data();

  std::vector<std::size_t> in_len(n);
  std::vector<bool> decided(n, false);
  std::size_t pending = n;
  for (std::size_t i = 0; i < n; ++i) {
    in_len[i] = std::min(cuts[i].in_len, in.size());
    // As decode() begins: nothing to produce, then nothing to read.
    if (cuts[i].expected_len == 0 || in_len[i] == 0) {
      outcomes[i] = cuts[i].expected_len == 0
                        ? Result<void>()
                        : std::unexpected(length_mismatch(0, cuts[i].expected_len));
      decided[i] = true;
      --pending;
    }
  }
  std::vector<std::size_t> by_in(n);
  std::iota(by_in.begin(), by_in.end(), std::size_t{0});
  std::vector<std::size_t> by_out = by_in;
  std::sort(by_in.begin(), by_in.end(),
            [&](std::size_t a, std::size_t b) { return in_len[a] < in_len[b]; });
  std::sort(by_out.begin(), by_out.end(), [&](std::size_t a, std::size_t b) {
    return cuts[a].expected_len < cuts[b].expected_len;
  });
  std::size_t head_in = 0;   // by_in[head_in] is the pending cut of the smallest input length
  std::size_t head_out = 0;  // by_out[head_out], of the smallest expected length
  const auto skip_decided = [&] {
    while (head_in < n && decided[by_in[head_in]]) ++head_in;
    while (head_out < n && decided[by_out[head_out]]) ++head_out;
  };
  skip_decided();

  constexpr std::size_t check_every = std::size_t{1} << 20;
  std::size_t check_at = interrupt == nullptr ? SIZE_MAX : check_every;
  std::size_t ip = 0;  // invariant: ip < in_len and op < expected_len of every pending cut
  std::size_t op = 0;
  while (pending > 0) {
    const Token t = read_token(in, ip);
    const bool invalid = !t.literal && (op <= t.high || (t.end <= in.size() && t.distance > op));
    if (invalid || t.end >= in_len[by_in[head_in]] ||
        t.len >= cuts[by_out[head_out]].expected_len - op) {
      const auto settle = [&](std::size_t i) {
        if (decided[i]) return;
        if (auto outcome = decide(t, ip, op, in_len[i], cuts[i].expected_len)) {
          outcomes[i] = std::move(*outcome);
          decided[i] = true;
          --pending;
        }
      };
      if (invalid) {
        for (std::size_t i = 0; i < n; ++i) settle(i);
        break;
      }
      for (std::size_t k = head_in; k < n && in_len[by_in[k]] <= t.end; ++k) settle(by_in[k]);
      for (std::size_t k = head_out; k < n && cuts[by_out[k]].expected_len - op <= t.len; ++k) {
        settle(by_out[k]);
      }
      // A token that ends the input of every cut may lack bytes; one that ends a successful
      // expansion is produced like any other.
      if (t.end > in.size()) break;
      skip_decided();
    }
    // The token is whole and valid: its bytes are present and its reference points back into
    // the output.
    if (op < capacity) {
      const std::size_t room = capacity - op;
      if (t.literal) {
        if (in.size() - ip - 1 >= max_literal_run && room >= max_literal_run) {
          std::memcpy(op0 + op, in.data() + ip + 1, max_literal_run);
        } else {
          std::memcpy(op0 + op, in.data() + ip + 1, std::min(t.len, room));
        }
      } else {
        copy_match(op0 + op, t.distance, std::min(t.len, room), room);
      }
    }
    if (pending == 0) break;
    ip = t.end;
    op += t.len;
    if (ip >= check_at) {
      if (asked_to_stop(interrupt)) return std::unexpected(interrupted());
      check_at = ip + check_every;
    }
  }
  return std::span<const std::uint8_t>(scratch.data(), capacity);
}

}  // namespace kestrane::raw
