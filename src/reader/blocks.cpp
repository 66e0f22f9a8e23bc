#include "src/reader/blocks.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <tuple>
#include <utility>

#include "src/raw/lzf.hpp"
#include "src/raw/mspeak.hpp"
#include "src/raw/msprofile.hpp"
#include "src/raw/read_bytes.hpp"

namespace kestrane::reader {

namespace {

// How much of a profile block decoding can look at: the preamble, and for a block with points
// the first 2 * expected + 2 bytes of its stream. Each token consumes at most two input bytes
// per output byte, so while fewer than `expected` bytes are produced the decoder has consumed
// fewer than 2 * expected - 1 bytes, and no token reads or tests past 2 * expected + 1: every
// check comes out as it would on the whole stream.
std::uint64_t profile_prefix(const raw::BlockDescriptor& block) {
  std::uint64_t prefix = raw::profile_preamble_size;
  if (block.point_count > 0 && block.uncompressed_byte_count) {
    prefix += 2 * std::uint64_t{*block.uncompressed_byte_count} + 2;
  }
  return std::min<std::uint64_t>(prefix, block.byte_count);
}

// The bytes of a peak block its points occupy.
std::uint64_t peak_prefix(const raw::BlockDescriptor& block) {
  return raw::peak_bytes_per_point * block.point_count;
}

// Whether profile() can give a block points: otherwise it fails or gives none, whatever the
// file holds.
bool may_give_profile_points(const raw::BlockDescriptor& block) {
  return block.byte_count >= raw::profile_preamble_size && block.uncompressed_byte_count &&
         block.point_count > 0 &&
         raw::profile_payload_size(block.point_count) <= *block.uncompressed_byte_count;
}

bool may_give_peak_points(const raw::BlockDescriptor& block) {
  return raw::is_peak_format(block.format_id) && block.point_count > 0 &&
         peak_prefix(block) <= block.byte_count;
}

// By offset, then by byte count from the largest: the uses of one offset come together, and
// the first of them whose range can be read covers those after it. Ties are put in the order
// `rest` gives.
template <class Rest>
void sort_by_range(std::vector<BlockUse>& uses, Rest rest) {
  std::sort(uses.begin(), uses.end(), [&](const BlockUse& a, const BlockUse& b) {
    return std::tuple(a.block.byte_offset, b.block.byte_count, rest(a)) <
           std::tuple(b.block.byte_offset, a.block.byte_count, rest(b));
  });
}

// Calls fn(group) for each run of uses with one byte offset; stops at the first error.
template <class Fn>
Result<void> for_each_offset(std::span<BlockUse> uses, Fn fn) {
  for (std::size_t begin = 0; begin < uses.size();) {
    std::size_t end = begin + 1;
    while (end < uses.size() && uses[end].block.byte_offset == uses[begin].block.byte_offset) {
      ++end;
    }
    if (auto done = fn(uses.subspan(begin, end - begin)); !done) return done;
    begin = end;
  }
  return {};
}

// Calls fn(use, arrays) for each use of `group` that `usable` admits, in runs of uses whose
// arrays are equal (equal `key`): decode(use) makes the first use's arrays, appended to
// `blocks`, and the others share them. Stops at the first error, and at a stop request.
template <class Usable, class Key, class Decode>
Result<void> share_arrays(std::span<const BlockUse> group, Usable usable, Key key, Decode decode,
                          std::vector<raw::DecodedBlock>& blocks,
                          std::span<std::size_t> arrays_of, Interrupt* interrupt) {
  std::vector<std::size_t> order;
  for (std::size_t j = 0; j < group.size(); ++j) {
    if (usable(j)) order.push_back(j);
  }
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return key(group[a]) < key(group[b]); });
  for (std::size_t k = 0; k < order.size(); ++k) {
    const BlockUse& use = group[order[k]];
    if (k == 0 || key(group[order[k - 1]]) != key(use)) {
      Result<raw::DecodedBlock> arrays = decode(use);
      if (!arrays) return std::unexpected(std::move(arrays).error());
      blocks.push_back(std::move(*arrays));
      if (stop_requested(interrupt)) return std::unexpected(interrupted());
    }
    arrays_of[use.record] = blocks.size() - 1;
  }
  return {};
}

}  // namespace

Result<void> BlockReader::read(const std::string& path, const raw::BlockDescriptor& block,
                               std::uint64_t prefix, std::vector<std::uint8_t>& into) {
  ++counts_.blocks;
  auto done = raw::read_prefix_into(path, block.byte_offset, block.byte_count,
                                    static_cast<std::size_t>(prefix), into, interrupt_);
  counts_.bytes_read += into.size();
  return done;
}

Result<raw::DecodedBlock> BlockReader::profile(const raw::BlockDescriptor& block, double first,
                                               double last) {
  if (auto done = read(reader_->profile_path(), block, profile_prefix(block), block_); !done) {
    return std::unexpected(std::move(done).error());
  }
  auto decoded =
      raw::decode_profile_block(block_, block, first, last, arrays_, expanded_, interrupt_);
  counts_.largest_expansion = std::max<std::uint64_t>(counts_.largest_expansion, expanded_.size());
  return decoded;
}

Result<raw::DecodedBlock> BlockReader::peak(const raw::BlockDescriptor& block) {
  // A block too short for its points fails whatever it holds: its format decides the message,
  // so it is still decoded, from no bytes at all.
  const std::uint64_t needed = peak_prefix(block);
  const std::uint64_t prefix = needed <= block.byte_count ? needed : 0;
  if (auto done = read(reader_->peak_path(), block, prefix, block_); !done) {
    return std::unexpected(std::move(done).error());
  }
  return raw::decode_peak_block(block_, block, arrays_, interrupt_);
}

// Every range is checked as read() checks it, once per distinct byte count: a range past the end
// of the file fails alone, as it would by itself. Only the first range that passes is read, as
// far as any use from there on needs (byte counts come from the largest, so each later range
// holds no more than it).
Result<void> BlockReader::read_group(const std::string& path, std::span<const BlockUse> group,
                                     std::uint64_t (*prefix_of)(const raw::BlockDescriptor&)) {
  readable_.assign(group.size(), false);
  bool have_bytes = false;
  std::vector<std::uint8_t> unread;  // the checks alone never fill it
  for (std::size_t begin = 0; begin < group.size();) {
    const raw::BlockDescriptor& block = group[begin].block;
    std::size_t end = begin + 1;
    while (end < group.size() && group[end].block.byte_count == block.byte_count) ++end;
    std::uint64_t prefix = 0;
    for (std::size_t j = begin; j < group.size() && !have_bytes; ++j) {
      prefix = std::max(prefix, prefix_of(group[j].block));
    }
    if (read(path, block, prefix, have_bytes ? unread : block_)) {
      std::fill(readable_.begin() + static_cast<std::ptrdiff_t>(begin),
                readable_.begin() + static_cast<std::ptrdiff_t>(end), true);
      have_bytes = true;
    }
    if (stop_requested(interrupt_)) return std::unexpected(interrupted());
    begin = end;
  }
  return {};
}

Result<void> BlockReader::profiles(std::vector<BlockUse>& uses,
                                   std::vector<raw::DecodedBlock>& blocks,
                                   std::span<std::size_t> arrays_of) {
  std::erase_if(uses, [](const BlockUse& u) { return !may_give_profile_points(u.block); });
  sort_by_range(uses, [](const BlockUse& u) { return *u.block.uncompressed_byte_count; });
  return for_each_offset(uses, [&](std::span<BlockUse> group) {
    return profile_group(group, blocks, arrays_of);
  });
}

Result<void> BlockReader::peaks(std::vector<BlockUse>& uses,
                                std::vector<raw::DecodedBlock>& blocks,
                                std::span<std::size_t> arrays_of) {
  std::erase_if(uses, [](const BlockUse& u) { return !may_give_peak_points(u.block); });
  sort_by_range(uses, [](const BlockUse&) { return 0; });
  return for_each_offset(uses, [&](std::span<BlockUse> group) {
    return peak_group(group, blocks, arrays_of);
  });
}

// The uses share the stream's bytes; what decoding makes of them depends on the byte count
// (where the stream is cut) and the expected length: one cut each, all checked in one pass.
// The expansion is the same for every cut that succeeds, so each use takes its counts from it.
Result<void> BlockReader::profile_group(std::span<BlockUse> group,
                                        std::vector<raw::DecodedBlock>& blocks,
                                        std::span<std::size_t> arrays_of) {
  if (auto done = read_group(reader_->profile_path(), group, profile_prefix); !done) return done;
  constexpr std::size_t no_cut = SIZE_MAX;
  std::vector<raw::LzfCut> cuts;
  std::vector<std::size_t> cut_of(group.size(), no_cut);
  std::size_t keep = 0;
  for (std::size_t j = 0; j < group.size(); ++j) {
    if (!readable_[j]) continue;
    const raw::BlockDescriptor& block = group[j].block;
    const std::uint32_t expected = *block.uncompressed_byte_count;
    // Uses with one byte count and expected length are neighbours.
    const bool same_cut = j > 0 && cut_of[j - 1] != no_cut &&
                          group[j - 1].block.byte_count == block.byte_count &&
                          *group[j - 1].block.uncompressed_byte_count == expected;
    if (!same_cut) {
      cuts.push_back({static_cast<std::size_t>(profile_prefix(block) - raw::profile_preamble_size),
                      expected});
    }
    cut_of[j] = cuts.size() - 1;
    keep = std::max(keep, static_cast<std::size_t>(raw::profile_payload_size(block.point_count)));
  }
  if (cuts.empty()) return {};

  std::vector<Result<void>> outcomes(cuts.size());
  const auto stream = std::span<const std::uint8_t>(block_).subspan(raw::profile_preamble_size);
  auto payload = raw::expand_cuts(stream, cuts, keep, outcomes, expanded_, interrupt_);
  counts_.largest_expansion = std::max<std::uint64_t>(counts_.largest_expansion, expanded_.size());
  if (!payload) return std::unexpected(std::move(payload).error());

  // The arrays depend on the point count and the m/z range besides the bytes.
  return share_arrays(
      group, [&](std::size_t j) { return readable_[j] && outcomes[cut_of[j]].has_value(); },
      [](const BlockUse& u) {
        return std::tuple(u.block.point_count, std::bit_cast<std::uint64_t>(u.first),
                          std::bit_cast<std::uint64_t>(u.last));
      },
      [&](const BlockUse& u) {
        const auto needed = static_cast<std::size_t>(raw::profile_payload_size(u.block.point_count));
        return raw::profile_arrays(payload->first(needed), u.block.point_count, u.first, u.last,
                                   arrays_, interrupt_);
      },
      blocks, arrays_of, interrupt_);
}

Result<void> BlockReader::peak_group(std::span<BlockUse> group,
                                     std::vector<raw::DecodedBlock>& blocks,
                                     std::span<std::size_t> arrays_of) {
  if (auto done = read_group(reader_->peak_path(), group, peak_prefix); !done) return done;
  // Known format, and the bytes hold every point: decoding can fail only on a stop request.
  return share_arrays(
      group, [&](std::size_t j) { return static_cast<bool>(readable_[j]); },
      [](const BlockUse& u) { return std::pair(u.block.format_id, u.block.point_count); },
      [&](const BlockUse& u) { return raw::decode_peak_block(block_, u.block, arrays_, interrupt_); },
      blocks, arrays_of, interrupt_);
}

}  // namespace kestrane::reader
