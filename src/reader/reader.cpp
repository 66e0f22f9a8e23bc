#include "src/reader/reader.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "src/reader/blocks.hpp"
#include "src/reader/paths.hpp"

namespace kestrane::reader {

namespace {

// The arrays of one scan, and whether they came from a profile block decoded without error.
struct ScanArrays {
  raw::DecodedBlock block;
  bool profile_decoded = false;
};

// The record of one scan around the arrays read for it.
vornelle_core::SpectrumRecord build_record(const raw::ScanRecord& scan, std::uint64_t index,
                                           std::uint32_t record_stride, ScanArrays arrays) {
  vornelle_core::SpectrumRecord out;
  out.index = index;
  // The arrays move in with their resource (the allocator propagates): no copy.
  out.mz = std::move(arrays.block.mz);
  out.intensity = std::move(arrays.block.intensity);
  out.profile_decoded = arrays.profile_decoded;
  out.native_id = "scanId=" + std::to_string(scan.scan_id);
  if (scan.ms_level >= 2) {
    vornelle_core::PrecursorInfo precursor;
    if (scan.mrm_channel) {
      precursor.reference = "mrm_channel=" + std::to_string(*scan.mrm_channel);
    } else if (scan.precursor_mz) {
      precursor.mz = scan.precursor_mz;
      precursor.reference = out.native_id;
    }
    out.precursor = std::move(precursor);
  }
  out.scan_id = scan.scan_id;
  out.ms_level = scan.ms_level;
  out.mz_range_start = scan.mz_range_start;
  out.mz_range_end = scan.mz_range_end;
  out.retention_time_sec = retention_time_sec(scan);
  out.layout_class = record_stride < 220 ? 1 : 3;
  return out;
}

class ReaderSpectrumIterator final : public vornelle_core::SpectrumIterator {
 public:
  ReaderSpectrumIterator(const Reader& reader, std::pmr::memory_resource* arrays)
      : records_(reader.msscan().records), reader_(&reader), blocks_(reader, arrays) {}

  std::optional<vornelle_core::SpectrumRecord> next() override {
    if (cursor_ == records_.size()) return std::nullopt;
    const std::size_t index = cursor_++;
    const raw::ScanRecord& scan = records_[index];
    return build_record(scan, index, reader_->msscan().record_stride, read_arrays(scan));
  }

  vornelle_core::SizeHint size_hint() const override {
    const std::size_t left = records_.size() - cursor_;
    return {left, left};
  }

 private:
  ScanArrays read_arrays(const raw::ScanRecord& scan);

  std::span<const raw::ScanRecord> records_;
  std::size_t cursor_ = 0;
  const Reader* reader_;
  BlockReader blocks_;
};

// Failures of a single scan are dropped on purpose: the scan still yields its record, with
// whatever arrays could be decoded (empty ones), and the iteration goes on.
ScanArrays ReaderSpectrumIterator::read_arrays(const raw::ScanRecord& scan) {
  ScanArrays out;
  if (const auto& block = scan.profile_block) {
    auto decoded = blocks_.profile(*block, scan.mz_range_start.value_or(0.0),
                                   scan.mz_range_end.value_or(0.0));
    if (decoded) {
      out.block = std::move(*decoded);
      out.profile_decoded = true;
    }
  }
  if (out.block.mz.empty()) {
    if (const auto& block = scan.peak_block) {
      if (auto decoded = blocks_.peak(*block)) out.block = std::move(*decoded);
    }
  }
  return out;
}

}  // namespace

Result<Reader> Reader::open(std::string path, Interrupt* interrupt) {
  Reader reader;
  reader.data_dir_ = std::move(path);
  const std::string acq_data = join_path(reader.data_dir_, "AcqData");

  // Existence only, following links; every failure, a NUL byte in the path included (the system
  // cannot be handed such a path), reads as a missing directory.
  struct stat st;
  if (acq_data.find('\0') != std::string::npos || ::stat(acq_data.c_str(), &st) != 0) {
    return parse_error("AcqData directory not found");
  }

  auto msscan = raw::MSScan::from_path(join_path(acq_data, "MSScan.bin"), interrupt);
  if (!msscan) return std::unexpected(std::move(msscan).error());
  reader.msscan_ = std::move(*msscan);
  reader.name_ = directory_name(reader.data_dir_);
  reader.peak_path_ = join_path(acq_data, "MSPeak.bin");
  reader.profile_path_ = join_path(acq_data, "MSProfile.bin");
  return reader;
}

std::unique_ptr<vornelle_core::SpectrumIterator> Reader::iter_spectra(
    std::pmr::memory_resource* arrays) const {
  return std::make_unique<ReaderSpectrumIterator>(*this, arrays);
}

}  // namespace kestrane::reader
