#include "src/reader/spectra.hpp"

#include <bit>
#include <unordered_map>
#include <utility>

namespace kestrane::reader {

namespace {

// What a scan's arrays depend on: the descriptor, and for a profile block its m/z range (as bit
// patterns, so that NaN and -0.0 are keys like any other value).
struct BlockKey {
  raw::BlockDescriptor descriptor;
  std::uint64_t first_bits = 0;
  std::uint64_t last_bits = 0;

  friend bool operator==(const BlockKey&, const BlockKey&) = default;
};

struct BlockKeyHash {
  std::size_t operator()(const BlockKey& k) const noexcept {
    const raw::BlockDescriptor& d = k.descriptor;
    std::uint64_t h = d.byte_offset;
    for (const std::uint64_t v :
         {std::uint64_t{d.format_id}, std::uint64_t{d.byte_count}, std::uint64_t{d.point_count},
          std::uint64_t{d.uncompressed_byte_count.value_or(0)}, k.first_bits, k.last_bits}) {
      h = (h ^ v) * 0x9E3779B97F4A7C15u;
      h ^= h >> 29;
    }
    return static_cast<std::size_t>(h);
  }
};

}  // namespace

Result<Spectra> Spectra::decode(const Reader& reader, Interrupt* interrupt) {
  Spectra out;
  out.arena_ = std::make_unique<ArrayArena>();
  BlockReader blocks(reader, out.arena_.get(), interrupt);
  // The arrays each block decoded to, or no_arrays when it failed or holds no points.
  std::unordered_map<BlockKey, std::size_t, BlockKeyHash> decoded;
  auto arrays_of = [&](const BlockKey& key, auto&& read) {
    const auto [found, inserted] = decoded.try_emplace(key, no_arrays);
    if (inserted) {
      Result<raw::DecodedBlock> block = read();
      if (block && !block->mz.empty()) {
        out.blocks_.push_back(std::move(*block));
        found->second = out.blocks_.size() - 1;
      }
    }
    return found->second;
  };

  const std::vector<raw::ScanRecord>& records = reader.msscan().records;
  out.scans_.reserve(records.size());
  for (const raw::ScanRecord& scan : records) {
    std::size_t arrays = no_arrays;
    // As in iteration: the profile block first, the peak block when that gave no arrays.
    if (const auto& block = scan.profile_block) {
      const double first = scan.mz_range_start.value_or(0.0);
      const double last = scan.mz_range_end.value_or(0.0);
      const BlockKey key{*block, std::bit_cast<std::uint64_t>(first),
                         std::bit_cast<std::uint64_t>(last)};
      arrays = arrays_of(key, [&] { return blocks.profile(*block, first, last); });
    }
    if (arrays == no_arrays) {
      if (const auto& block = scan.peak_block) {
        arrays = arrays_of(BlockKey{*block}, [&] { return blocks.peak(*block); });
      }
    }
    if (stop_requested(interrupt)) return std::unexpected(interrupted());
    out.scans_.push_back({reader::retention_time_sec(scan), scan.ms_level, arrays});
  }
  out.counts_ = blocks.counts();
  return out;
}

std::span<const double> Spectra::mz(std::size_t i) const noexcept {
  const std::size_t arrays = scans_[i].arrays;
  if (arrays == no_arrays) return {};
  return blocks_[arrays].mz;
}

std::span<const float> Spectra::intensity(std::size_t i) const noexcept {
  const std::size_t arrays = scans_[i].arrays;
  if (arrays == no_arrays) return {};
  return blocks_[arrays].intensity;
}

}  // namespace kestrane::reader
