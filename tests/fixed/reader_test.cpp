#include "src/reader/reader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory_resource>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "src/reader/paths.hpp"
#include "tests/support/fixed_directory.hpp"
#include "tests/support/os_error.hpp"

namespace {

using kestrane::reader::directory_name;
using kestrane::reader::Reader;
using vornelle_core::PrecursorInfo;
using vornelle_core::SpectrumRecord;
namespace ts = kestrane::test_support;

constexpr const char* not_found = "parse error: AcqData directory not found";

using kestrane::test::os_error;

using ts::plain;

// Records with ids 100, 101, ... at MS level 1, one per descriptor pair.
std::vector<ts::Record> records_with(const std::vector<std::optional<ts::Descriptor>>& first,
                                     const std::vector<std::optional<ts::Descriptor>>& second) {
  std::vector<ts::Record> records;
  for (std::size_t i = 0; i < first.size(); ++i) {
    ts::Record r = plain(100 + static_cast<std::uint32_t>(i));
    r.first = first[i];
    if (i < second.size()) r.second = second[i];
    records.push_back(r);
  }
  return records;
}

std::vector<SpectrumRecord> drain(const Reader& reader,
                                  std::pmr::memory_resource* arrays =
                                      std::pmr::get_default_resource()) {
  std::vector<SpectrumRecord> out;
  auto it = reader.iter_spectra(arrays);
  while (auto record = it->next()) out.push_back(std::move(*record));
  return out;
}

std::vector<std::string> describe_all(const std::vector<SpectrumRecord>& records) {
  std::vector<std::string> out;
  for (const SpectrumRecord& r : records) out.push_back(ts::describe(r));
  return out;
}

std::vector<double> mz_of(const SpectrumRecord& r) { return {r.mz.begin(), r.mz.end()}; }
std::vector<float> intensity_of(const SpectrumRecord& r) {
  return {r.intensity.begin(), r.intensity.end()};
}

// Changes the working directory for one scope and restores it on every path.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
    if (::chdir(dir.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category(), "chdir " + dir);
    }
  }
  ~WorkingDirectory() {
    if (::chdir(saved_.c_str()) != 0) std::abort();
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

// ---------------------------------------------------------------------------------------------
// Opening

class ReaderOpen : public testing::Test {
 protected:
  void SetUp() override {
    dir_.write_acquisition("run01.d", {ts::msscan_image(220, {plain(1), plain(2)}), {}, {}});
  }
  ts::TempDir dir_;
};

struct NameCase {
  std::string suffix;  // appended to the temporary directory
  std::string name;
  std::string acq_data;  // the AcqData path the file paths are joined to, after the temp dir
};

TEST_F(ReaderOpen, NameAndPathsFollowTheTextGiven) {
  dir_.make_dir("run01.d/sub");
  const std::vector<NameCase> cases = {
      {"/run01.d", "run01.d", "/run01.d/AcqData"},
      {"/run01.d/", "run01.d", "/run01.d/AcqData"},
      {"/run01.d/.", "run01.d", "/run01.d/./AcqData"},
      {"/run01.d/./", "run01.d", "/run01.d/./AcqData"},
      {"/run01.d//", "run01.d", "/run01.d//AcqData"},
      {"/./run01.d", "run01.d", "/./run01.d/AcqData"},
      {"/run01.d/sub/..", "bundle.d", "/run01.d/sub/../AcqData"},
  };
  for (const NameCase& c : cases) {
    const std::string path = dir_.path() + c.suffix;
    SCOPED_TRACE(path);
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(reader->data_dir(), path);
    EXPECT_EQ(reader->name(), c.name);
    EXPECT_EQ(reader->peak_path(), dir_.path() + c.acq_data + "/MSPeak.bin");
    EXPECT_EQ(reader->profile_path(), dir_.path() + c.acq_data + "/MSProfile.bin");
    EXPECT_EQ(reader->msscan().record_stride, 220u);
    EXPECT_EQ(reader->msscan().records.size(), 2u);
  }
  // Only MSScan.bin exists: the data files are neither required nor looked up.
  EXPECT_FALSE(std::filesystem::exists(dir_.join("run01.d/AcqData/MSPeak.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir_.join("run01.d/AcqData/MSProfile.bin")));
}

TEST_F(ReaderOpen, RelativePathsFromTheWorkingDirectory) {
  const struct {
    std::string cwd;
    std::string path;
    std::string name;
    std::string peak_path;
  } cases[] = {
      {"run01.d", ".", "bundle.d", "./AcqData/MSPeak.bin"},
      {"run01.d", "", "bundle.d", "AcqData/MSPeak.bin"},
      {"run01.d", "./", "bundle.d", "./AcqData/MSPeak.bin"},
      {"run01.d/AcqData", "..", "bundle.d", "../AcqData/MSPeak.bin"},
      {"", "run01.d", "run01.d", "run01.d/AcqData/MSPeak.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("in " + c.cwd + ": \"" + c.path + "\"");
    const WorkingDirectory cwd(dir_.join(c.cwd));
    const auto reader = Reader::open(c.path);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(reader->data_dir(), c.path);
    EXPECT_EQ(reader->name(), c.name);
    EXPECT_EQ(reader->peak_path(), c.peak_path);
    EXPECT_EQ(drain(*reader).size(), 2u);
  }
}

TEST_F(ReaderOpen, SymbolicLinksAreFollowedButNotResolved) {
  // Data in MSPeak.bin behind the link shows that blocks are read through it as well.
  ts::DataFile peak;
  const double mz[] = {150.5};
  const float intensity[] = {3.0f};
  ts::Record r = plain(1);
  r.first = peak.add_peak_interleaved(mz, intensity);
  dir_.write_acquisition("real.d", {ts::msscan_image(196, {r}), peak.bytes(), {}});
  dir_.make_dir("linked.d");
  std::filesystem::create_directory_symlink("../real.d/AcqData", dir_.join("linked.d/AcqData"));
  std::filesystem::create_directory_symlink("real.d", dir_.join("alias.d"));

  for (const char* dir : {"linked.d", "alias.d"}) {
    SCOPED_TRACE(dir);
    const std::string path = dir_.join(dir);
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(reader->data_dir(), path);
    EXPECT_EQ(reader->name(), dir);
    EXPECT_EQ(reader->peak_path(), path + "/AcqData/MSPeak.bin");
    const auto records = drain(*reader);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(mz_of(records[0]), std::vector<double>{150.5});
  }
}

TEST_F(ReaderOpen, InvalidUtf8InTheFinalComponentIsReplaced) {
  const std::string raw_name = "bad\xFF\xE2\x82.d";
  dir_.write_acquisition(raw_name, {ts::msscan_image(186, {plain(1)}), {}, {}});
  const auto reader = Reader::open(dir_.join(raw_name));
  ASSERT_TRUE(reader) << reader.error().display();
  EXPECT_EQ(reader->name(), "bad\uFFFD\uFFFD.d");
  EXPECT_EQ(reader->data_dir(), dir_.join(raw_name));
}

TEST_F(ReaderOpen, FailuresReportTheFirstFailingStep) {
  dir_.write_file("file.d", ts::Bytes{1});
  dir_.make_dir("empty.d");
  dir_.write_file("acq_is_file.d/AcqData", ts::Bytes{1});
  dir_.make_dir("no_index.d/AcqData");
  dir_.make_dir("index_is_dir.d/AcqData/MSScan.bin");
  dir_.write_acquisition("bad_magic.d", {ts::msscan_header(92, 100, 0), {}, {}});
  dir_.write_acquisition("bad_stride.d", {ts::msscan_header(92, 97), {}, {}});
  dir_.make_dir("dangling.d");
  std::filesystem::create_directory_symlink("../nowhere", dir_.join("dangling.d/AcqData"));

  const std::string good = dir_.join("run01.d");
  const struct {
    std::string path;
    std::string display;
  } cases[] = {
      {dir_.join("missing.d"), not_found},
      {dir_.join("empty.d"), not_found},
      {dir_.join("dangling.d"), not_found},
      {dir_.join("file.d"), not_found},  // a component that is not a directory
      {good + "/AcqData", not_found},    // AcqData itself: looks for AcqData/AcqData
      // Cut at the NUL the path would name a valid directory; it must not be opened as one.
      {good + std::string("\0/x", 3), not_found},
      {good + std::string("\0", 1), not_found},
      {dir_.join("acq_is_file.d"), os_error(ENOTDIR)},
      {dir_.join("no_index.d"), os_error(ENOENT)},
      {dir_.join("index_is_dir.d"), os_error(EISDIR)},
      {dir_.join("bad_magic.d"), "parse error: Invalid MSScan magic: 0"},
      {dir_.join("bad_stride.d"), "parse error: Cannot determine record stride for payload len 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto reader = Reader::open(c.path);
    ASSERT_FALSE(reader);
    EXPECT_EQ(reader.error().display(), c.display);
  }
}

TEST(ReaderDirectoryName, FinalOrdinaryComponentOrFallback) {
  const struct {
    std::string path;
    std::string name;
  } cases[] = {
      {"", "bundle.d"},
      {"/", "bundle.d"},
      {"//", "bundle.d"},
      {".", "bundle.d"},
      {"./", "bundle.d"},
      {"/.", "bundle.d"},
      {"..", "bundle.d"},
      {"a/..", "bundle.d"},
      {"/a/../", "bundle.d"},
      {"a/../.", "bundle.d"},
      {"a", "a"},
      {"/x/run.d", "run.d"},
      {"/x/run.d/", "run.d"},
      {"/x/run.d/.", "run.d"},
      {"/x/run.d/././/", "run.d"},
      {"a/../b", "b"},
      {"...", "..."},
      {"x/..a", "..a"},
      {".hidden", ".hidden"},
      {"with space", "with space"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("\"" + c.path + "\"");
    EXPECT_EQ(directory_name(c.path), c.name);
  }
}

// One U+FFFD for each maximal subsequence that starts a valid sequence but does not end it,
// and one for each byte that starts none.
TEST(ReaderDirectoryName, InvalidUtf8BecomesOneReplacementPerMaximalSubsequence) {
  const std::string r = "\uFFFD";
  const struct {
    std::string bytes;
    std::string name;
  } cases[] = {
      {"\xFF", r},
      {"\x80\x80", r + r},
      {"a\xC3", "a" + r},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xC0\xAF", r + r},
      {"\xE2\x82", r},
      {"\xE2\x82x", r + "x"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xE0\x9F\x80", r + r + r},
      {"\xE0\xA0\x80", "\xE0\xA0\x80"},
      {"\xED\xA0\x80", r + r + r},
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"\xF0\x9F\x98", r},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xF0\x80\x80", r + r + r},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF5\x80", r + r},
      {"a\xF0\x9F\x98\xC3\xA9z", "a" + r + "\xC3\xA9z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(directory_name("/data/" + c.bytes + "/"), c.name);
  }
}

// ---------------------------------------------------------------------------------------------
// Iteration: where each record's arrays come from

struct ArraysCase {
  const char* what;
  std::vector<double> mz;
  std::vector<float> intensity;
  bool profile_decoded;
};

TEST(ReaderIteration, ProfileFirstThenPeakOnlyWhenNoMzCameOut) {
  ts::DataFile profile;
  ts::DataFile peak;
  const std::uint32_t counts3[] = {0, 7, 16777217};
  const std::uint32_t counts2[] = {5, 6};
  const double mz3[] = {500.25, 600.5};
  const float in3[] = {1000.0f, 2.5f};
  const double stored_mz2[] = {525.0, 650.0};
  const float in2[] = {1.5f, 2.5f};
  const double other_mz[] = {900.0};
  const float other_in[] = {9.0f};

  const ts::Descriptor good_profile = profile.add_profile(counts3);
  const ts::Descriptor two_point_profile = profile.add_profile(counts2);
  const ts::Descriptor empty_profile = profile.add_profile({});
  const ts::Descriptor peak3 = peak.add_peak_interleaved(mz3, in3);
  const ts::Descriptor peak2 = peak.add_peak_split(stored_mz2, in2);
  const ts::Descriptor other_peak = peak.add_peak_interleaved(other_mz, other_in);
  const ts::Descriptor empty_peak = peak.add_peak_interleaved({}, {});

  ts::Descriptor zero_bytes = good_profile;
  zero_bytes.byte_count = 0;
  ts::Descriptor bad_lzf = good_profile;
  bad_lzf.uncompressed_byte_count += 4;
  ts::Descriptor truncated_peak = peak3;
  truncated_peak.point_count = 3;
  ts::Descriptor profile_past_end = good_profile;
  profile_past_end.byte_count = 1'000'000;
  ts::Descriptor peak_past_end = peak3;
  peak_past_end.byte_offset = 1'000'000;
  ts::Descriptor profile_unseekable = good_profile;
  profile_unseekable.byte_offset = std::uint64_t{1} << 63;
  const ts::Descriptor ignored{0, 0, 0, 0, 0};

  // Stride 284: descriptors at 156 and 220, and an m/z range.
  std::vector<ts::Record> records = records_with(
      {good_profile, peak3, peak2, two_point_profile, ignored, empty_profile, zero_bytes, bad_lzf,
       profile_past_end, peak_past_end, profile_unseekable, other_peak, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt, other_peak, ignored, other_peak, empty_peak,
       truncated_peak, other_peak, std::nullopt, other_peak, good_profile, std::nullopt});
  for (ts::Record& r : records) {
    r.mz_range_start = 100.0;
    r.mz_range_end = 101.0;
  }
  records[3].mz_range_start = 200.0;
  records[3].mz_range_end = 300.0;
  ts::TempDir dir;
  const std::string path = dir.write_acquisition(
      "run.d", {ts::msscan_image(284, records), peak.bytes(), profile.bytes()});

  const std::vector<ArraysCase> cases = {
      {"profile only", {100.0, 100.5, 101.0}, {0.0f, 7.0f, 16777216.0f}, true},
      {"peak, format 3", {500.25, 600.5}, {1000.0f, 2.5f}, false},
      {"peak, format 2", {5.25, 6.5}, {1.5f, 2.5f}, false},
      {"profile wins over peak", {200.0, 300.0}, {5.0f, 6.0f}, true},
      {"ignored descriptors", {}, {}, false},
      {"zero-point profile falls back to peak", {900.0}, {9.0f}, true},
      {"empty profile block, zero-point peak", {}, {}, false},
      {"bad LZF stream and truncated peak", {}, {}, false},
      {"profile past the end of its file", {900.0}, {9.0f}, false},
      {"peak past the end of its file", {}, {}, false},
      {"profile at an offset the system refuses", {900.0}, {9.0f}, false},
      {"profile at 220 wins over peak at 156", {100.0, 100.5, 101.0},
       {0.0f, 7.0f, 16777216.0f}, true},
      {"no descriptor", {}, {}, false},
  };
  const auto reader = Reader::open(path);
  ASSERT_TRUE(reader) << reader.error().display();
  const auto spectra = drain(*reader);
  ASSERT_EQ(spectra.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(spectra[i].index, i);
    EXPECT_EQ(spectra[i].scan_id, 100 + i);
    EXPECT_EQ(mz_of(spectra[i]), cases[i].mz);
    EXPECT_EQ(intensity_of(spectra[i]), cases[i].intensity);
    EXPECT_EQ(spectra[i].profile_decoded, cases[i].profile_decoded);
  }
}

// Without an m/z range (every stride but 284) the profile axis runs from 0.0 to 0.0.
TEST(ReaderIteration, ProfileWithoutMzRangeGivesZeroAxisAndSkipsPeak) {
  ts::DataFile profile;
  const std::uint32_t counts[] = {1, 2, 3};
  ts::Record r = plain(1);
  r.first = profile.add_profile(counts);
  ts::TempDir dir;
  const std::string path =
      dir.write_acquisition("run.d", {ts::msscan_image(216, {r}), {}, profile.bytes()});
  const auto reader = Reader::open(path);
  ASSERT_TRUE(reader) << reader.error().display();
  const auto spectra = drain(*reader);
  ASSERT_EQ(spectra.size(), 1u);
  EXPECT_EQ(mz_of(spectra[0]), (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(intensity_of(spectra[0]), (std::vector<float>{1.0f, 2.0f, 3.0f}));
  EXPECT_TRUE(spectra[0].profile_decoded);
  EXPECT_FALSE(spectra[0].mz_range_start);
}

TEST(ReaderIteration, MissingDataFilesGiveEmptyRecordsForEveryEntry) {
  ts::DataFile profile;
  ts::DataFile peak;
  const std::uint32_t counts[] = {1, 2};
  const double mz[] = {10.0};
  const float intensity[] = {1.0f};
  const ts::Descriptor p = profile.add_profile(counts);
  const ts::Descriptor q = peak.add_peak_interleaved(mz, intensity);
  auto records = records_with({p, q, p, q}, {q, std::nullopt, q, std::nullopt});
  for (ts::Record& r : records) {
    r.mz_range_start = 100.0;
    r.mz_range_end = 101.0;
  }

  const struct {
    const char* what;
    bool peak_file;
    bool profile_file;
    std::vector<std::vector<double>> mz;
    std::vector<bool> profile_decoded;
  } cases[] = {
      {"both files", true, true, {{100.0, 101.0}, {10.0}, {100.0, 101.0}, {10.0}},
       {true, false, true, false}},
      {"no MSProfile.bin", true, false, {{10.0}, {10.0}, {10.0}, {10.0}},
       {false, false, false, false}},
      {"no MSPeak.bin", false, true, {{100.0, 101.0}, {}, {100.0, 101.0}, {}},
       {true, false, true, false}},
      {"neither file", false, false, {{}, {}, {}, {}}, {false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ts::TempDir dir;
    const std::string path = dir.write_acquisition(
        "run.d", {ts::msscan_image(284, records),
                  c.peak_file ? std::optional(peak.bytes()) : std::nullopt,
                  c.profile_file ? std::optional(profile.bytes()) : std::nullopt});
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    const auto spectra = drain(*reader);
    ASSERT_EQ(spectra.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(mz_of(spectra[i]), c.mz[i]);
      EXPECT_EQ(spectra[i].intensity.size(), c.mz[i].size());
      EXPECT_EQ(spectra[i].profile_decoded, c.profile_decoded[i]);
    }
  }
}

// Each step opens the data files anew, so a change between two steps shows at the later one.
TEST(ReaderIteration, DataFilesAreReadInTheirStateAtEachStep) {
  ts::DataFile profile;
  ts::DataFile peak;
  ts::DataFile other_peak;
  const std::uint32_t counts[] = {4, 5};
  const double mz[] = {10.0};
  const double other_mz[] = {20.0};
  const float intensity[] = {1.0f};
  const ts::Descriptor p = profile.add_profile(counts);
  const ts::Descriptor q = peak.add_peak_interleaved(mz, intensity);
  if (other_peak.add_peak_interleaved(other_mz, intensity).byte_offset != q.byte_offset) {
    FAIL() << "the two peak files must place their block alike";
  }
  std::vector<ts::Record> records(6);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i] = plain(static_cast<std::uint32_t>(i + 1));
    records[i].first = p;
    records[i].second = q;
    records[i].mz_range_start = 1.0;
    records[i].mz_range_end = 2.0;
  }
  ts::TempDir dir;
  const std::string path = dir.write_acquisition(
      "run.d", {ts::msscan_image(284, records), peak.bytes(), profile.bytes()});
  const auto reader = Reader::open(path);
  ASSERT_TRUE(reader) << reader.error().display();
  auto it = reader->iter_spectra();

  const auto step = [&](std::vector<double> want_mz, bool want_profile) {
    const auto record = it->next();
    ASSERT_TRUE(record);
    EXPECT_EQ(mz_of(*record), want_mz);
    EXPECT_EQ(record->profile_decoded, want_profile);
  };
  step({1.0, 2.0}, true);
  step({1.0, 2.0}, true);
  std::filesystem::remove(reader->profile_path());
  step({10.0}, false);
  std::filesystem::remove(reader->peak_path());
  step({}, false);
  dir.write_file("run.d/AcqData/MSPeak.bin", other_peak.bytes());
  step({20.0}, false);
  dir.write_file("run.d/AcqData/MSProfile.bin", profile.bytes());
  step({1.0, 2.0}, true);
  EXPECT_FALSE(it->next());
}

// ---------------------------------------------------------------------------------------------
// Iteration: the fields taken from the scan index

SpectrumRecord expected_record(std::uint64_t index, std::uint32_t scan_id, std::uint32_t ms_level,
                               double retention_time_sec, std::uint8_t layout_class) {
  SpectrumRecord e;
  e.index = index;
  e.native_id = "scanId=" + std::to_string(scan_id);
  e.scan_id = scan_id;
  e.ms_level = ms_level;
  e.retention_time_sec = retention_time_sec;
  e.layout_class = layout_class;
  return e;
}

TEST(ReaderIteration, IndexFieldsPrecursorAndRetentionTime) {
  ts::Record a = plain(7, 1);  // also the first record: its level plays no part in detection
  a.retention_time_min = 1.5;
  a.precursor_mz = 111.0;
  a.mrm_channel = 3;
  ts::Record b = plain(8, 2);
  b.retention_time_min = -2.25;
  b.precursor_mz = 445.125;
  b.mrm_channel = 7;
  ts::Record c = plain(4294967295u, 0);
  c.retention_time_min = 0.1;
  c.precursor_mz = 222.0;
  c.mrm_channel = 9;
  ts::Record d = plain(0, 9);
  d.precursor_mz = 333.5;
  d.mrm_channel = 0;
  d.mz_range_start = 50.0;
  d.mz_range_end = 60.0;
  const std::vector<ts::Record> records = {a, b, c, d};

  // The same four records under each stride; only what the stride holds may come through.
  for (const std::uint32_t stride : ts::all_strides) {
    SCOPED_TRACE(stride);
    const bool mrm = stride == 196 || stride == 186;
    const bool range = stride == 284;
    const std::uint8_t layout_class = stride < 220 ? 1 : 3;
    std::vector<SpectrumRecord> expected = {
        expected_record(0, 7, 1, 90.0, layout_class),
        expected_record(1, 8, 2, -135.0, layout_class),
        expected_record(2, 4294967295u, 0, 0.1 * 60.0, layout_class),
        expected_record(3, 0, 9, 0.0, layout_class),
    };
    if (mrm) {
      expected[1].precursor = PrecursorInfo{std::nullopt, "mrm_channel=7"};
      expected[3].precursor = PrecursorInfo{std::nullopt, "mrm_channel=0"};
    } else {
      expected[1].precursor = PrecursorInfo{445.125, "scanId=8"};
      expected[3].precursor = PrecursorInfo{333.5, "scanId=0"};
    }
    if (range) {
      for (SpectrumRecord& e : expected) {
        e.mz_range_start = 0.0;
        e.mz_range_end = 0.0;
      }
      expected[3].mz_range_start = 50.0;
      expected[3].mz_range_end = 60.0;
    }

    ts::TempDir dir;
    const std::string path =
        dir.write_acquisition("run.d", {ts::msscan_image(stride, records), {}, {}});
    const auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    EXPECT_EQ(describe_all(drain(*reader)), describe_all(expected));
  }
}

// ---------------------------------------------------------------------------------------------
// The iterator protocol

class ReaderIterator : public testing::Test {
 protected:
  void SetUp() override {
    ts::DataFile peak;
    std::vector<ts::Record> records;
    for (std::uint32_t i = 0; i < 5; ++i) {
      const double mz[] = {100.0 + i, 200.0 + i};
      const float intensity[] = {static_cast<float>(i), 1.0f};
      ts::Record r = plain(10 + i);
      r.first = peak.add_peak_interleaved(mz, intensity);
      records.push_back(r);
    }
    const std::string path =
        dir_.write_acquisition("run.d", {ts::msscan_image(196, records), peak.bytes(), {}});
    auto reader = Reader::open(path);
    ASSERT_TRUE(reader) << reader.error().display();
    reader_.emplace(std::move(*reader));
    reference_ = describe_all(drain(*reader_));
    ASSERT_EQ(reference_.size(), 5u);
  }

  static std::string hint(const vornelle_core::SpectrumIterator& it) {
    const auto h = it.size_hint();
    return std::to_string(h.lower) + ".." + (h.upper ? std::to_string(*h.upper) : "none");
  }

  ts::TempDir dir_;
  std::optional<Reader> reader_;
  std::vector<std::string> reference_;
};

TEST_F(ReaderIterator, NthAndAdvanceByKeepTheIndexOfEachRecord) {
  auto it = reader_->iter_spectra();
  EXPECT_EQ(hint(*it), "5..5");
  const auto second = it->nth(2);
  ASSERT_TRUE(second);
  EXPECT_EQ(ts::describe(*second), reference_[2]);
  EXPECT_EQ(hint(*it), "2..2");
  const auto third = it->next();
  ASSERT_TRUE(third);
  EXPECT_EQ(ts::describe(*third), reference_[3]);
  EXPECT_EQ(it->advance_by(0), 0u);
  EXPECT_EQ(hint(*it), "1..1");
  EXPECT_EQ(it->advance_by(4), 3u);  // one record was left
  EXPECT_EQ(hint(*it), "0..0");
  // Exhausted for good.
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(it->next());
    EXPECT_FALSE(it->nth(0));
    EXPECT_EQ(it->advance_by(3), 3u);
    EXPECT_EQ(it->advance_by(0), 0u);
    EXPECT_EQ(hint(*it), "0..0");
  }
}

TEST_F(ReaderIterator, SkippingToTheEnds) {
  const struct {
    const char* what;
    std::size_t skip;
    std::size_t advance_left;        // what advance_by(skip) returns on a fresh iterator
    std::optional<std::size_t> nth;  // the record nth(skip) returns on a fresh iterator
  } cases[] = {
      {"nothing", 0, 0, 0},
      {"all but one", 4, 0, 4},
      {"all", 5, 0, std::nullopt},
      {"one too many", 6, 1, std::nullopt},
      {"many too many", 1000, 995, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto advanced = reader_->iter_spectra();
    EXPECT_EQ(advanced->advance_by(c.skip), c.advance_left);
    const std::size_t left = c.skip >= 5 ? 0 : 5 - c.skip;
    EXPECT_EQ(hint(*advanced), std::to_string(left) + ".." + std::to_string(left));
    const auto after = advanced->next();
    if (left > 0) {
      ASSERT_TRUE(after);
      EXPECT_EQ(ts::describe(*after), reference_[c.skip]);
    } else {
      EXPECT_FALSE(after);
    }

    auto nth = reader_->iter_spectra();
    const auto record = nth->nth(c.skip);
    if (c.nth) {
      ASSERT_TRUE(record);
      EXPECT_EQ(ts::describe(*record), reference_[*c.nth]);
    } else {
      EXPECT_FALSE(record);
      EXPECT_EQ(hint(*nth), "0..0");
    }
  }
}

TEST_F(ReaderIterator, IteratorsAreIndependentOfEachOther) {
  auto first = reader_->iter_spectra();
  ASSERT_TRUE(first->next());
  auto second = reader_->iter_spectra();
  first.reset();  // destroying one early leaves the Reader as it was
  std::vector<SpectrumRecord> records;
  while (auto record = second->next()) records.push_back(std::move(*record));
  EXPECT_EQ(describe_all(records), reference_);
}

// ---------------------------------------------------------------------------------------------
// Array allocation

// Counts what passes through it and hands the work to the new/delete resource.
class CountingResource : public std::pmr::memory_resource {
 public:
  std::size_t allocations = 0;
  std::size_t deallocations = 0;
  std::size_t outstanding_bytes = 0;

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    ++allocations;
    outstanding_bytes += bytes;
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    ++deallocations;
    outstanding_bytes -= bytes;
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

// Restores the default memory resource at the end of a scope.
class DefaultResource {
 public:
  explicit DefaultResource(std::pmr::memory_resource* r)
      : saved_(std::pmr::set_default_resource(r)) {}
  ~DefaultResource() { std::pmr::set_default_resource(saved_); }
  DefaultResource(const DefaultResource&) = delete;
  DefaultResource& operator=(const DefaultResource&) = delete;

 private:
  std::pmr::memory_resource* saved_;
};

TEST(ReaderIteration, ArraysComeFromTheResourceGiven) {
  ts::DataFile profile;
  ts::DataFile peak;
  const std::uint32_t counts[] = {1, 2, 3, 4};
  const double mz[] = {10.0, 11.0};
  const float intensity[] = {1.0f, 2.0f};
  const double stored[] = {1000.0};
  const float one[] = {5.0f};
  const ts::Descriptor p = profile.add_profile(counts);
  const ts::Descriptor zero_points = profile.add_profile({});
  const ts::Descriptor q3 = peak.add_peak_interleaved(mz, intensity);
  const ts::Descriptor q2 = peak.add_peak_split(stored, one);
  auto records = records_with({p, q3, zero_points, std::nullopt, q2, p},
                              {std::nullopt, std::nullopt, q2, std::nullopt, std::nullopt, q3});
  for (ts::Record& r : records) r.mz_range_end = 3.0;
  ts::TempDir dir;
  const std::string path = dir.write_acquisition(
      "run.d", {ts::msscan_image(284, records), peak.bytes(), profile.bytes()});
  const auto reader = Reader::open(path);
  ASSERT_TRUE(reader) << reader.error().display();

  CountingResource arrays;
  CountingResource fallback;
  std::vector<std::string> custom_texts;
  {
    std::vector<SpectrumRecord> custom;
    {
      const DefaultResource guard(&fallback);
      custom = drain(*reader, &arrays);
    }
    // Each non-empty array is allocated once, at its final size, from `arrays`.
    std::size_t non_empty = 0;
    for (const SpectrumRecord& r : custom) {
      if (r.mz.empty()) continue;
      ++non_empty;
      EXPECT_EQ(r.mz.get_allocator().resource(), &arrays);
      EXPECT_EQ(r.intensity.get_allocator().resource(), &arrays);
    }
    EXPECT_EQ(non_empty, 5u);
    EXPECT_EQ(arrays.allocations, 2 * non_empty);
    EXPECT_EQ(fallback.allocations, 0u);
    custom_texts = describe_all(custom);
  }
  EXPECT_EQ(arrays.deallocations, arrays.allocations);
  EXPECT_EQ(arrays.outstanding_bytes, 0u);

  EXPECT_EQ(custom_texts, describe_all(drain(*reader)));
}

}  // namespace
