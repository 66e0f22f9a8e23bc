#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "src/reader/reader.hpp"
#include "tests/support/fixed_directory.hpp"

namespace {

using kestrane::reader::Reader;
namespace ts = kestrane::test_support;

constexpr std::uint32_t scan_count = 300;
constexpr std::size_t thread_count = 4;

// Scans that take every road through a step: profile blocks, peak blocks of both formats, a
// zero-point profile falling back to a peak block, a block past the end of its file, nothing.
std::string write_mixed_acquisition(const ts::TempDir& dir) {
  ts::DataFile profile;
  ts::DataFile peak;
  std::vector<ts::Record> records;
  for (std::uint32_t i = 0; i < scan_count; ++i) {
    ts::Record r;
    r.scan_id = 1000 + i;
    r.ms_level = static_cast<std::uint16_t>(1 + i % 2);
    r.retention_time_min = 0.01 * i;
    r.precursor_mz = 300.0 + i;
    r.mz_range_start = 100.0 + i;
    r.mz_range_end = 200.0 + i;
    std::vector<std::uint32_t> counts(1 + i % 17);
    std::vector<double> mz(1 + i % 11);
    std::vector<float> intensity(mz.size());
    for (std::size_t k = 0; k < counts.size(); ++k) {
      counts[k] = i * 31 + static_cast<std::uint32_t>(k);
    }
    for (std::size_t k = 0; k < mz.size(); ++k) {
      mz[k] = 50.0 + i + 0.125 * static_cast<double>(k);
      intensity[k] = static_cast<float>(k + i);
    }
    switch (i % 6) {
      case 0:
        r.first = profile.add_profile(counts);
        break;
      case 1:
        r.first = peak.add_peak_interleaved(mz, intensity);
        break;
      case 2:
        r.first = peak.add_peak_split(mz, intensity);
        break;
      case 3:
        r.first = profile.add_profile({});
        r.second = peak.add_peak_interleaved(mz, intensity);
        break;
      case 4:
        r.first = peak.add_peak_interleaved(mz, intensity);
        r.first->byte_offset = 1u << 30;
        break;
      default:
        break;
    }
    records.push_back(r);
  }
  return dir.write_acquisition("run.d",
                               {ts::msscan_image(284, records), peak.bytes(), profile.bytes()});
}

std::vector<std::string> drain(const Reader& reader) {
  std::vector<std::string> out;
  auto it = reader.iter_spectra();
  while (auto record = it->next()) out.push_back(ts::describe(*record));
  return out;
}

TEST(ReaderThreads, IteratorsOnSeparateThreadsYieldTheSameRecords) {
  ts::TempDir dir;
  const auto reader = Reader::open(write_mixed_acquisition(dir));
  ASSERT_TRUE(reader) << reader.error().display();
  const std::vector<std::string> reference = drain(*reader);
  ASSERT_EQ(reference.size(), scan_count);
  std::size_t with_data = 0;
  for (const std::string& text : reference) with_data += text.find("mz=[]") == std::string::npos;
  EXPECT_EQ(with_data, scan_count / 6 * 4);  // cases 0 to 3 decode, 4 and 5 stay empty

  // Each thread makes its own iterator from the shared Reader and writes only its own slot.
  std::vector<std::vector<std::string>> results(thread_count);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < thread_count; ++t) {
      threads.emplace_back([&reader, &results, t] {
        // Each thread takes a few rounds, so that the iterations overlap however they start.
        for (int round = 0; round < 3; ++round) results[t] = drain(*reader);
      });
    }
  }
  for (std::size_t t = 0; t < thread_count; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(results[t], reference);
  }
}

}  // namespace
