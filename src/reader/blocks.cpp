#include "src/reader/blocks.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "src/raw/mspeak.hpp"
#include "src/raw/msprofile.hpp"
#include "src/raw/read_bytes.hpp"

namespace kestrane::reader {

namespace {

constexpr std::uint64_t profile_preamble_size = 16;
constexpr std::uint64_t peak_bytes_per_point = 12;

// How much of a profile block decoding can look at: the preamble, and for a block with points
// the first 2 * expected + 2 bytes of its stream. Each token consumes at most two input bytes
// per output byte, so while fewer than `expected` bytes are produced the decoder has consumed
// fewer than 2 * expected - 1 bytes, and no token reads or tests past 2 * expected + 1: every
// check comes out as it would on the whole stream.
std::uint64_t profile_prefix(const raw::BlockDescriptor& block) {
  std::uint64_t prefix = profile_preamble_size;
  if (block.point_count > 0 && block.uncompressed_byte_count) {
    prefix += 2 * std::uint64_t{*block.uncompressed_byte_count} + 2;
  }
  return std::min<std::uint64_t>(prefix, block.byte_count);
}

}  // namespace

Result<void> BlockReader::read(const std::string& path, const raw::BlockDescriptor& block,
                               std::uint64_t prefix) {
  ++counts_.blocks;
  auto done = raw::read_prefix_into(path, block.byte_offset, block.byte_count,
                                    static_cast<std::size_t>(prefix), block_, interrupt_);
  counts_.bytes_read += block_.size();
  return done;
}

Result<raw::DecodedBlock> BlockReader::profile(const raw::BlockDescriptor& block, double first,
                                               double last) {
  if (auto done = read(reader_->profile_path(), block, profile_prefix(block)); !done) {
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
  const std::uint64_t needed = peak_bytes_per_point * block.point_count;
  const std::uint64_t prefix = needed <= block.byte_count ? needed : 0;
  if (auto done = read(reader_->peak_path(), block, prefix); !done) {
    return std::unexpected(std::move(done).error());
  }
  return raw::decode_peak_block(block_, block, arrays_, interrupt_);
}

}  // namespace kestrane::reader
