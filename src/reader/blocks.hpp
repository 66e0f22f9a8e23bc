// Reading the data blocks of one directory at a cost bounded by the points they hold.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"
#include "src/reader/reader.hpp"

namespace kestrane::reader {

// What reading blocks has cost so far.
struct ReadCounts {
  std::uint64_t blocks = 0;        // blocks whose files were looked at
  std::uint64_t bytes_read = 0;    // bytes read from the data files
  std::uint64_t largest_expansion = 0;  // the most LZF output bytes one block produced
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

  const ReadCounts& counts() const noexcept { return counts_; }

 private:
  Result<void> read(const std::string& path, const raw::BlockDescriptor& block,
                    std::uint64_t prefix);

  const Reader* reader_;
  std::pmr::memory_resource* arrays_;
  Interrupt* interrupt_;
  // Reused from block to block; they hold nothing between calls that a later call reads.
  std::vector<std::uint8_t> block_;
  std::vector<std::uint8_t> expanded_;
  ReadCounts counts_;
};

}  // namespace kestrane::reader
