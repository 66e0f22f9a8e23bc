// Reader::open and iter_spectra on arbitrary acquisition directories. Input: u32 LE lengths of
// MSScan.bin, MSPeak.bin and MSProfile.bin, then the three images back to back; a length of
// 0xFFFFFFFF leaves that file out, a length beyond the remaining bytes takes what remains.
// Each run lays the files out in a fresh temporary directory and removes it afterwards.
// Invariants: open succeeds exactly when the index parses (same error otherwise); the iteration
// yields one record per index entry, in order, with arrays of equal length, and the arrays that
// reading each block whole and decoding it gives; Spectra::decode gives the same arrays; no
// descriptor stays open.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "fuzz/temp_directory.hpp"
#include "src/raw/le.hpp"
#include "src/raw/mspeak.hpp"
#include "src/raw/msprofile.hpp"
#include "src/raw/msscan.hpp"
#include "src/raw/read_bytes.hpp"
#include "src/reader/reader.hpp"
#include "src/reader/spectra.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "directory_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

constexpr std::uint32_t absent = 0xFFFFFFFF;
constexpr const char* file_names[3] = {"MSScan.bin", "MSPeak.bin", "MSProfile.bin"};

// A scan's arrays the plain way: each block's whole byte range read, then decoded; the profile
// block first, the peak block when that gave nothing.
kestrane::raw::DecodedBlock whole_block_arrays(const kestrane::reader::Reader& reader,
                                               const kestrane::raw::ScanRecord& scan) {
  kestrane::raw::DecodedBlock out;
  if (const auto& d = scan.profile_block) {
    auto bytes = kestrane::raw::read_bytes(reader.profile_path(), d->byte_offset, d->byte_count);
    if (bytes) {
      auto block = kestrane::raw::decode_profile_block(
          *bytes, *d, scan.mz_range_start.value_or(0.0), scan.mz_range_end.value_or(0.0));
      if (block) out = std::move(*block);
    }
  }
  if (out.mz.empty()) {
    if (const auto& d = scan.peak_block) {
      auto bytes = kestrane::raw::read_bytes(reader.peak_path(), d->byte_offset, d->byte_count);
      if (bytes) {
        if (auto block = kestrane::raw::decode_peak_block(*bytes, *d)) out = std::move(*block);
      }
    }
  }
  return out;
}

// Bit equality of two arrays, so that NaN payloads and signed zeros count.
template <class A, class B>
bool same_bits(const A& a, const B& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t prefix = 12;
  if (size < prefix) return 0;
  const std::span<const std::uint8_t> input(data, size);
  std::optional<std::span<const std::uint8_t>> images[3];
  std::size_t pos = prefix;
  for (int i = 0; i < 3; ++i) {
    const std::uint32_t length = kestrane::raw::load_le<std::uint32_t>(input, 4 * i);
    if (length == absent) continue;
    const std::size_t take = std::min<std::size_t>(length, size - pos);
    images[i] = std::span<const std::uint8_t>(data + pos, take);
    pos += take;
  }

  const std::size_t descriptors_before = kestrane::fuzz::open_descriptor_count();
  {
    kestrane::fuzz::TempDirectory dir;
    for (int i = 0; i < 3; ++i) {
      if (images[i]) {
        kestrane::fuzz::write_file(dir.acq_data() + "/" + file_names[i], *images[i]);
      }
    }

    auto reader = kestrane::reader::Reader::open(dir.root());
    if (!images[0]) {
      const std::string want = "I/O error: " + kestrane::os_error_text(ENOENT) + " (os error 2)";
      if (reader || reader.error().display() != want) fail("a missing MSScan.bin must give", want);
    } else {
      auto index = kestrane::raw::MSScan::parse(*images[0]);
      if (index.has_value() != reader.has_value()) fail("open and parse disagree");
      if (!reader) {
        if (reader.error().display() != index.error().display()) {
          fail("open changed the index error:", reader.error().display());
        }
      } else {
        const auto& records = reader->msscan().records;
        if (records.size() != index->records.size()) fail("open and parse disagree on records");
        auto spectra = kestrane::reader::Spectra::decode(*reader);
        if (!spectra) fail("decoding every spectrum failed:", spectra.error().display());
        if (spectra->size() != records.size()) fail("Spectra and the index disagree on records");
        auto it = reader->iter_spectra();
        std::size_t count = 0;
        while (auto record = it->next()) {
          if (count >= records.size()) fail("more records than index entries");
          if (record->index != count) fail("record index out of order");
          if (record->scan_id != records[count].scan_id) fail("scan id differs from the index");
          if (record->native_id != "scanId=" + std::to_string(records[count].scan_id)) {
            fail("wrong native id", record->native_id);
          }
          if (record->mz.size() != record->intensity.size()) fail("arrays of unequal length");
          if (record->profile_decoded && !records[count].profile_block) {
            fail("profile decoded without a profile block");
          }
          const auto whole = whole_block_arrays(*reader, records[count]);
          if (!same_bits(record->mz, whole.mz) || !same_bits(record->intensity, whole.intensity)) {
            fail("iteration differs from decoding whole blocks at", std::to_string(count));
          }
          if (!same_bits(spectra->mz(count), whole.mz) ||
              !same_bits(spectra->intensity(count), whole.intensity)) {
            fail("Spectra differs from decoding whole blocks at", std::to_string(count));
          }
          ++count;
        }
        if (count != records.size()) fail("fewer records than index entries");
        if (it->next() || it->size_hint().lower != 0) fail("iterator not exhausted");
      }
    }
  }
  if (kestrane::fuzz::open_descriptor_count() != descriptors_before) fail("a file descriptor was left open");
  return 0;
}
