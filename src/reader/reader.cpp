#include "reader.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "../raw/msprofile.hpp"
#include "../raw/mspeak.hpp"
#include "../raw/read_bytes.hpp"

namespace kestrane::reader {

namespace {

constexpr const char* fallback_name = "bundle.d";

// Appends the UTF-8 encoding of U+FFFD.
void append_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by one U+FFFD.
std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      out += static_cast<char>(b0);
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      append_replacement(out);
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k < len && i + k < bytes.size(); ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
    }
    if (k == len) {
      out.append(bytes.substr(i, len));
    } else {
      append_replacement(out);
    }
    i += k;
  }
  return out;
}

class ReaderSpectrumIterator final : public vornelle_core::SpectrumIterator {
 public:
  ReaderSpectrumIterator(const Reader& reader, std::pmr::memory_resource* arrays)
      : records_(reader.msscan().records), reader_(&reader), arrays_(arrays) {}

  std::optional<vornelle_core::SpectrumRecord> next() override {
    if (cursor_ == records_.size()) return std::nullopt;
    return convert(records_[cursor_++]);
  }

  vornelle_core::SizeHint size_hint() const override {
    const std::size_t left = records_.size() - cursor_;
    return {left, left};
  }

 private:
  vornelle_core::SpectrumRecord convert(const raw::ScanRecord& scan);

  std::vector<raw::ScanRecord> records_;
  std::size_t cursor_ = 0;
  const Reader* reader_;
  std::pmr::memory_resource* arrays_;
  std::uint64_t index_ = 0;
  // Reused from scan to scan; they hold nothing between steps that a later step reads.
  std::vector<std::uint8_t> block_;
  std::vector<std::uint8_t> expanded_;
};

vornelle_core::SpectrumRecord ReaderSpectrumIterator::convert(const raw::ScanRecord& scan) {
  vornelle_core::SpectrumRecord out;
  out.index = index_++;

  // Failures of a single scan are dropped on purpose: the scan still yields its record, with
  // whatever arrays could be decoded (empty ones), and the iteration goes on.
  if (const auto& block = scan.profile_block) {
    if (raw::read_bytes_into(reader_->profile_path(), block->byte_offset, block->byte_count,
                             block_)) {
      auto decoded = raw::decode_profile_block(block_, *block, scan.mz_range_start.value_or(0.0),
                                               scan.mz_range_end.value_or(0.0), arrays_,
                                               expanded_);
      if (decoded) {
        // The arrays move in with their resource (the allocator propagates): no copy.
        out.mz = std::move(decoded->mz);
        out.intensity = std::move(decoded->intensity);
        out.profile_decoded = true;
      }
    }
  }
  if (out.mz.empty()) {
    if (const auto& block = scan.peak_block) {
      if (raw::read_bytes_into(reader_->peak_path(), block->byte_offset, block->byte_count,
                               block_)) {
        if (auto decoded = raw::decode_peak_block(block_, *block, arrays_)) {
          out.mz = std::move(decoded->mz);
          out.intensity = std::move(decoded->intensity);
        }
      }
    }
  }

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
  out.retention_time_sec = scan.retention_time_min * 60.0;
  out.layout_class = reader_->msscan().record_stride < 220 ? 1 : 3;
  return out;
}

}  // namespace

std::string join_path(const std::string& base, const std::string& component) {
  if (base.empty() || base.back() == '/') return base + component;
  return base + "/" + component;
}

std::string directory_name(const std::string& path) {
  // The last component, skipping empty and "." ones; ".." and no component at all give none.
  std::string_view last;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string_view component(path.data() + pos, end - pos);
    if (!component.empty() && component != ".") last = component;
    pos = end + 1;
  }
  if (last.empty() || last == "..") return fallback_name;
  return utf8_lossy(last);
}

Result<Reader> Reader::open(std::string path) {
  Reader reader;
  reader.data_dir_ = std::move(path);
  const std::string acq_data = join_path(reader.data_dir_, "AcqData");

  // Existence only, following links; every failure, a NUL byte in the path included (the system
  // cannot be handed such a path), reads as a missing directory.
  struct stat st;
  if (acq_data.find('\0') != std::string::npos || ::stat(acq_data.c_str(), &st) != 0) {
    return parse_error("AcqData directory not found");
  }

  auto msscan = raw::MSScan::from_path(join_path(acq_data, "MSScan.bin"));
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
