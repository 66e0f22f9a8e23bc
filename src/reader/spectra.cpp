#include "src/reader/spectra.hpp"

#include <utility>
#include <vector>

namespace kestrane::reader {

Result<Spectra> Spectra::decode(const Reader& reader, Interrupt* interrupt) {
  Spectra out;
  out.arena_ = std::make_unique<ArrayArena>();
  BlockReader blocks(reader, out.arena_.get(), interrupt);
  const std::vector<raw::ScanRecord>& records = reader.msscan().records;
  std::vector<std::size_t> arrays(records.size(), no_arrays);

  // As in iteration: the profile block first, the peak block when that gave no arrays.
  std::vector<BlockUse> uses;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const raw::ScanRecord& scan = records[i];
    if (scan.profile_block) {
      uses.push_back({*scan.profile_block, scan.mz_range_start.value_or(0.0),
                      scan.mz_range_end.value_or(0.0), i});
    }
  }
  if (auto done = blocks.profiles(uses, out.blocks_, arrays); !done) {
    return std::unexpected(std::move(done).error());
  }
  uses.clear();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (arrays[i] == no_arrays && records[i].peak_block) {
      uses.push_back({*records[i].peak_block, 0.0, 0.0, i});
    }
  }
  if (auto done = blocks.peaks(uses, out.blocks_, arrays); !done) {
    return std::unexpected(std::move(done).error());
  }

  out.scans_.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    out.scans_.push_back({reader::retention_time_sec(records[i]), records[i].ms_level, arrays[i]});
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
