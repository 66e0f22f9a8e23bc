// Reading the data blocks of one directory at a cost bounded by the points they hold.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"
#include "src/reader/reader.hpp"

namespace kestrane::reader {

// What reading blocks has cost so far.
struct ReadCounts {
  std::uint64_t blocks = 0;        // block ranges looked up in their files
  std::uint64_t bytes_read = 0;    // bytes read from the data files
  std::uint64_t largest_expansion = 0;  // the most LZF output bytes one block produced
};

// One record's use of a block: its descriptor, for a profile block its m/z range, and the
// caller's index of the record.
struct BlockUse {
  raw::BlockDescriptor block;
  double first = 0.0;
  double last = 0.0;
  std::size_t record = 0;
};

// Reads and decodes the blocks of one Reader's data files. Every outcome is that of reading the
// descriptor's whole byte range and decoding it: a range past the end of its file fails the
// same way, and so does a stream that does not expand to its expected length. Only what the
// points need is read or produced: 12 bytes a point of a peak block; of a profile block, the
// part of its stream that can be reached before the expected length, expanded only as far as
// the header and counts (the rest is checked without being written). Buffers are reused from
// block to block. Not thread-safe.
class BlockReader {
 public:
  // Arrays come from `arrays`; long work stops when `interrupt` asks (interrupted()).
  BlockReader(const Reader& reader, std::pmr::memory_resource* arrays,
              Interrupt* interrupt = nullptr) noexcept
      : reader_(&reader), arrays_(arrays), interrupt_(interrupt) {}

  // The profile block's arrays, its m/z axis from `first` to `last`; errors of read_bytes and
  // decode_profile_block.
  [[nodiscard]] Result<raw::DecodedBlock> profile(const raw::BlockDescriptor& block, double first,
                                                  double last);
  // The peak block's arrays; errors of read_bytes and decode_peak_block.
  [[nodiscard]] Result<raw::DecodedBlock> peak(const raw::BlockDescriptor& block);

  // The arrays that profile() gives each of `uses` with points, each distinct one decoded once:
  // appended to `blocks`, with arrays_of[use.record] set to their index; uses that fail or hold
  // no points are left alone. The uses at one byte offset read their bytes once, as far as the
  // longest of them needs, check their streams in one pass, and expand them once, as far as the
  // most points any of them has; each distinct point count and m/z range then has its own
  // arrays. `uses` is reordered and may shrink. The only error is interrupted().
  [[nodiscard]] Result<void> profiles(std::vector<BlockUse>& uses,
                                      std::vector<raw::DecodedBlock>& blocks,
                                      std::span<std::size_t> arrays_of);
  // As profiles(), for peak blocks as peak() gives them.
  [[nodiscard]] Result<void> peaks(std::vector<BlockUse>& uses,
                                   std::vector<raw::DecodedBlock>& blocks,
                                   std::span<std::size_t> arrays_of);

  const ReadCounts& counts() const noexcept { return counts_; }

 private:
  Result<void> read(const std::string& path, const raw::BlockDescriptor& block,
                    std::uint64_t prefix, std::vector<std::uint8_t>& into);
  Result<void> read_group(const std::string& path, std::span<const BlockUse> group,
                          std::uint64_t (*prefix_of)(const raw::BlockDescriptor&));
  Result<void> profile_group(std::span<BlockUse> group, std::vector<raw::DecodedBlock>& blocks,
                             std::span<std::size_t> arrays_of);
  Result<void> peak_group(std::span<BlockUse> group, std::vector<raw::DecodedBlock>& blocks,
                          std::span<std::size_t> arrays_of);

  const Reader* reader_;
  std::pmr::memory_resource* arrays_;
  Interrupt* interrupt_;
  // Reused from block to block; they hold nothing between calls that a later call reads.
  std::vector<std::uint8_t> block_;
  std::vector<std::uint8_t> expanded_;
  // Per use of the group at hand: whether its range passed the checks of reading.
  std::vector<bool> readable_;
  ReadCounts counts_;
};

}  // namespace kestrane::reader
