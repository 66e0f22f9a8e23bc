#include "src/reader/spectra.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fixed_directory.hpp"
#include "tests/support/lzf_encoder.hpp"

namespace kestrane::reader {
namespace {

namespace ts = test_support;

template <class T>
std::vector<T> values(std::span<const T> s) {
  return {s.begin(), s.end()};
}

// Stops from the `after`-th question on.
class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(int after) : left_(after) {}
  bool requested() noexcept override { return --left_ <= 0; }

 private:
  int left_;
};

// Record i's descriptors (profile slot at 156, peak slot at 220) and m/z range end.
struct Scan {
  std::optional<ts::Descriptor> profile;
  std::optional<ts::Descriptor> peak;
  double mz_range_end = 3.0;
};

std::string write_run(const ts::TempDir& dir, const std::vector<Scan>& scans,
                      const ts::DataFile& profile, const ts::DataFile& peak) {
  std::vector<ts::Record> records;
  for (std::size_t i = 0; i < scans.size(); ++i) {
    ts::Record r = ts::plain(100 + static_cast<std::uint32_t>(i), 1 + i % 2);
    r.retention_time_min = 0.5 * static_cast<double>(i);
    r.first = scans[i].profile;
    r.second = scans[i].peak;
    r.mz_range_end = scans[i].mz_range_end;
    records.push_back(r);
  }
  return dir.write_acquisition("run.d",
                               {ts::msscan_image(284, records), peak.bytes(), profile.bytes()});
}

// Spectra gives each scan the values iteration, which decodes scan by scan, gives it.
void expect_iteration_values(const Reader& reader, const Spectra& spectra) {
  auto it = reader.iter_spectra();
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    SCOPED_TRACE(i);
    const auto record = it->next();
    ASSERT_TRUE(record);
    EXPECT_EQ(values(spectra.mz(i)), std::vector<double>(record->mz.begin(), record->mz.end()));
    EXPECT_EQ(values(spectra.intensity(i)),
              std::vector<float>(record->intensity.begin(), record->intensity.end()));
    EXPECT_EQ(spectra.retention_time_sec(i), record->retention_time_sec);
    EXPECT_EQ(spectra.ms_level(i), record->ms_level);
  }
  EXPECT_FALSE(it->next());
}

// Every outcome iteration has (profile, fallback to the peak block, failures of either, shared
// blocks, blocks at one offset with other counts): the same values scan by scan, and scans with
// equal arrays share them.
TEST(Spectra, AgreeWithIterationAndShareEqualBlocks) {
  ts::DataFile profile;
  ts::DataFile peak;
  const std::uint32_t counts[] = {1, 2, 3, 4};
  const std::uint32_t other_counts[] = {70000, 16777217};
  const double mz[] = {10.0, 11.5, 12.25};
  const float intensity[] = {1.0f, 2.0f, 3.0f};
  const double stored[] = {1000.0};
  const float one[] = {5.0f};
  const ts::Descriptor p = profile.add_profile(counts);
  const ts::Descriptor p_other = profile.add_profile(other_counts);
  const ts::Descriptor p_empty = profile.add_profile({});
  const ts::Descriptor q3 = peak.add_peak_interleaved(mz, intensity);
  const ts::Descriptor q2 = peak.add_peak_split(stored, one);
  ts::Descriptor p_long_claim = p;  // the stream ends before the claimed length
  p_long_claim.uncompressed_byte_count += 4;
  ts::Descriptor q_short = q3;  // more points than bytes
  q_short.point_count = 4;
  ts::Descriptor q_past_end = q3;
  q_past_end.byte_offset = std::uint64_t{1} << 40;
  // p's stream under other descriptors: fewer points, more points than it holds, a range that
  // runs on into the next block, and one past the end of the file.
  ts::Descriptor p_fewer = p;
  p_fewer.point_count = 2;
  ts::Descriptor p_too_many = p;
  p_too_many.point_count = 5;
  ts::Descriptor p_longer = p;
  p_longer.byte_count += 3;
  ts::Descriptor p_past_end = p;
  p_past_end.byte_count = std::uint32_t{1} << 30;
  ts::Descriptor q_fewer = q3;
  q_fewer.point_count = 1;
  const std::vector<Scan> scans = {
      {p, std::nullopt},           {p, q3},           {p, q3, 7.0},  {p_empty, q3},
      {p_long_claim, q2},          {std::nullopt, q_short}, {std::nullopt, q_past_end},
      {p_other, std::nullopt},     {std::nullopt, std::nullopt}, {std::nullopt, q3},
      {p_fewer, std::nullopt},     {p_too_many, q2},  {p_longer, std::nullopt},
      {p_past_end, q_fewer},
  };
  ts::TempDir dir;
  const auto reader = Reader::open(write_run(dir, scans, profile, peak));
  ASSERT_TRUE(reader) << reader.error().display();
  const auto spectra = Spectra::decode(*reader);
  ASSERT_TRUE(spectra) << spectra.error().display();

  ASSERT_EQ(spectra->size(), scans.size());
  expect_iteration_values(*reader, *spectra);
  // Scans 0 and 1 share a profile block and its m/z range, and so does scan 12 through a longer
  // range; scan 2's m/z range differs. Scans 3 and 9 fall back to, or hold, the same peak block.
  EXPECT_EQ(spectra->mz(0).data(), spectra->mz(1).data());
  EXPECT_EQ(spectra->mz(0).data(), spectra->mz(12).data());
  EXPECT_NE(spectra->mz(0).data(), spectra->mz(2).data());
  EXPECT_EQ(spectra->intensity(3).data(), spectra->intensity(9).data());
  // One look at each distinct range that can give points: three at p's offset (p_past_end,
  // p_longer, p), p_other, q3 (with q_fewer), q2, q_past_end. p_empty, p_too_many and q_short
  // cannot, whatever the files hold.
  EXPECT_EQ(spectra->counts().blocks, 7u);
}

// The two directories that used to take hours: every record refers to one huge block that
// holds next to nothing. Construction reads and produces what the points need, once.
TEST(Spectra, HostileSharedBlocksCostWhatTheirPointsNeed) {
  constexpr std::size_t records = 3000;
  // A sparse gibibyte claimed as a peak block of no points.
  {
    ts::TempDir dir;
    ts::Descriptor d{3, 0, std::uint32_t{1} << 30, 0, 0};
    std::vector<ts::Record> index;
    for (std::uint32_t i = 0; i < records; ++i) {
      index.push_back(ts::plain(1 + i));
      index.back().first = d;
    }
    const std::string path = dir.write_acquisition(
        "sparse.d", {ts::msscan_image(220, index), ts::Bytes(), std::nullopt});
    std::filesystem::resize_file(path + "/AcqData/MSPeak.bin", std::uint64_t{1} << 30);
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    const auto spectra = Spectra::decode(*reader);
    ASSERT_TRUE(spectra) << spectra.error().display();
    ASSERT_EQ(spectra->size(), records);
    EXPECT_TRUE(spectra->mz(records - 1).empty());
    EXPECT_EQ(spectra->counts().blocks, 0u);  // no points: nothing to read
  }
  // One point in front of an LZF stream that expands to 10 MiB.
  {
    ts::Bytes block(16, 0x5a);
    block.push_back(0x00);
    block.push_back(0x7a);
    constexpr std::size_t references = 40000;
    for (std::size_t i = 0; i < references; ++i) test::append_reference(block, 1, 264);
    ts::DataFile profile(0);
    const ts::Descriptor d = profile.add(block, 1, 1, 1 + 264 * references);
    std::vector<ts::Record> index;
    for (std::uint32_t i = 0; i < records; ++i) {
      index.push_back(ts::plain(1 + i));
      index.back().first = d;
    }
    ts::TempDir dir;
    const auto reader = Reader::open(dir.write_acquisition(
        "stream.d", {ts::msscan_image(220, index), std::nullopt, profile.bytes()}));
    ASSERT_TRUE(reader) << reader.error().display();
    const auto spectra = Spectra::decode(*reader);
    ASSERT_TRUE(spectra) << spectra.error().display();
    const float count = static_cast<float>(0x7a7a7a7au);
    EXPECT_EQ(values(spectra->intensity(0)), std::vector<float>{count});
    EXPECT_EQ(spectra->intensity(records - 1).data(), spectra->intensity(0).data());
    EXPECT_EQ(spectra->counts().blocks, 1u);
    EXPECT_EQ(spectra->counts().bytes_read, block.size());
    EXPECT_EQ(spectra->counts().largest_expansion, 20u);  // header and one count
  }
  // A short stream at the start of a sparse gibibyte claimed as its block: decoding cannot look
  // past twice its expected length (plus two bytes), so no more is read.
  {
    const std::uint32_t counts[] = {9};
    const ts::ProfileBlock block = ts::profile_block(counts);
    ts::DataFile profile(0);
    ts::Descriptor d = profile.add(block.bytes, 1, 1, block.uncompressed_byte_count);
    d.byte_count = std::uint32_t{1} << 30;
    std::vector<ts::Record> index;
    for (std::uint32_t i = 0; i < records; ++i) {
      index.push_back(ts::plain(1 + i));
      index.back().first = d;
    }
    ts::TempDir dir;
    const std::string path = dir.write_acquisition(
        "tail.d", {ts::msscan_image(220, index), std::nullopt, profile.bytes()});
    std::filesystem::resize_file(path + "/AcqData/MSProfile.bin", d.byte_count);
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    const auto spectra = Spectra::decode(*reader);
    ASSERT_TRUE(spectra) << spectra.error().display();
    EXPECT_EQ(values(spectra->intensity(records - 1)), std::vector<float>{9.0f});
    EXPECT_EQ(spectra->counts().bytes_read, 16 + 2 * block.uncompressed_byte_count + 2);
  }
}

// Records that share one long stream under descriptors of their own (each its point count, some
// an m/z range, an expected length or a byte count of their own): the stream is read, checked
// and expanded once, as far as the most points need, and every scan has the values that
// decoding it alone gives.
TEST(Spectra, StreamSharedByOtherDescriptorsIsDecodedOnce) {
  ts::Bytes block(16, 0x5a);
  const ts::Bytes pattern = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                             2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
  test::append_literals(block, pattern);
  constexpr std::size_t references = 4000;
  for (std::size_t i = 0; i < references; ++i) test::append_reference(block, 32, 264);
  ts::DataFile profile(0);
  const ts::Descriptor d = profile.add(block, 1, 1, 32 + 264 * references);
  constexpr std::uint32_t records = 1000;
  std::vector<Scan> scans;
  for (std::uint32_t i = 0; i < records; ++i) {
    ts::Descriptor di = d;
    di.point_count = 1 + i;
    if (i % 7 == 3) di.uncompressed_byte_count += 1;  // the stream falls one byte short
    if (i % 11 == 5) di.byte_count -= 1;              // its last reference loses a byte
    scans.push_back({di, std::nullopt, 3.0 + i % 3});
  }
  ts::TempDir dir;
  const auto reader = Reader::open(write_run(dir, scans, profile, ts::DataFile()));
  ASSERT_TRUE(reader) << reader.error().display();
  const auto spectra = Spectra::decode(*reader);
  ASSERT_TRUE(spectra) << spectra.error().display();
  ASSERT_EQ(spectra->size(), records);
  EXPECT_EQ(spectra->mz(999).size(), 1000u);
  EXPECT_TRUE(spectra->mz(3).empty());  // one byte short
  EXPECT_TRUE(spectra->mz(5).empty());  // truncated
  expect_iteration_values(*reader, *spectra);
  // Two byte counts, one read; the expansion stops at the counts of the largest point count.
  EXPECT_EQ(spectra->counts().blocks, 2u);
  EXPECT_EQ(spectra->counts().bytes_read, block.size());
  EXPECT_EQ(spectra->counts().largest_expansion, 16 + 4 * 1000u);
}

TEST(Spectra, StopWhenAsked) {
  ts::DataFile profile;
  const std::uint32_t counts[] = {1, 2, 3};
  std::vector<Scan> scans;
  for (int i = 0; i < 8; ++i) scans.push_back({profile.add_profile(counts), std::nullopt});
  ts::TempDir dir;
  const auto reader = Reader::open(write_run(dir, scans, profile, ts::DataFile()));
  ASSERT_TRUE(reader) << reader.error().display();
  StopAfter stop(3);
  const auto spectra = Spectra::decode(*reader, &stop);
  ASSERT_FALSE(spectra.has_value());
  EXPECT_EQ(spectra.error().display(), "I/O error: Interrupted system call (os error 4)");
}

}  // namespace
}  // namespace kestrane::reader
