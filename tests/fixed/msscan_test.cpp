#include "src/raw/msscan.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/os_error.hpp"
#include "tests/support/fixed_directory.hpp"

namespace {

using kestrane::raw::BlockDescriptor;
using kestrane::raw::MSScan;
using kestrane::raw::ScanRecord;
namespace ts = kestrane::test_support;

std::string describe(const std::optional<BlockDescriptor>& d) {
  if (!d) return "-";
  return std::to_string(d->format_id) + "@" + std::to_string(d->byte_offset) + "+" +
         std::to_string(d->byte_count) + "#" + std::to_string(d->point_count) + "u" +
         (d->uncompressed_byte_count ? std::to_string(*d->uncompressed_byte_count) : "-");
}

template <class T>
std::string describe(const std::optional<T>& v) {
  return v ? std::to_string(*v) : std::string("-");
}

std::string describe(const ScanRecord& r) {
  return "id=" + std::to_string(r.scan_id) + " rt=" + std::to_string(r.retention_time_min) +
         " level=" + std::to_string(r.ms_level) + " mrm=" + describe(r.mrm_channel) +
         " precursor=" + describe(r.precursor_mz) + " range=" + describe(r.mz_range_start) +
         ".." + describe(r.mz_range_end) + " profile=" + describe(r.profile_block) +
         " peak=" + describe(r.peak_block);
}

std::vector<std::string> describe_all(const MSScan& scan) {
  std::vector<std::string> out;
  for (const ScanRecord& r : scan.records) out.push_back(describe(r));
  return out;
}

// The display text of the failure, or a note that parsing succeeded.
std::string failure_of(const ts::Bytes& bytes) {
  const auto scan = MSScan::parse(bytes);
  if (scan) {
    return "parsed: stride " + std::to_string(scan->record_stride) + ", " +
           std::to_string(scan->records.size()) + " records";
  }
  return scan.error().display();
}

std::string stride_message(std::size_t payload_len) {
  return "parse error: Cannot determine record stride for payload len " +
         std::to_string(payload_len);
}

using kestrane::test::os_error;

using ts::plain;

struct FailureCase {
  const char* name;
  ts::Bytes bytes;
  std::string display;
};

TEST(MSScanParse, MalformedImagesReportTheFirstFailingCheck) {
  const std::string too_small = "parse error: MSScan.bin too small for header";
  const std::string truncated = "parse error: MSScan.bin truncated header";
  const std::vector<FailureCase> cases = {
      {"empty file", {}, too_small},
      {"91 bytes", ts::msscan_header(92, 91), too_small},
      {"91 bytes with a wrong magic", ts::msscan_header(92, 91, 0xDEADBEEF), too_small},
      {"92 bytes, data offset 92", ts::msscan_header(92), stride_message(0)},
      {"magic 256", ts::msscan_header(92, 92, 256), "parse error: Invalid MSScan magic: 256"},
      {"magic 0", ts::msscan_header(92, 92, 0), "parse error: Invalid MSScan magic: 0"},
      {"largest magic before a bad data offset", ts::msscan_header(5000, 92, 0xFFFFFFFF),
       "parse error: Invalid MSScan magic: 4294967295"},
      {"data offset one past the length", ts::msscan_header(101, 100), truncated},
      {"data offset equal to the length", ts::msscan_header(100, 100), stride_message(0)},
      {"largest data offset", ts::msscan_header(0xFFFFFFFF, 100), truncated},
      {"payload of 1 byte", ts::msscan_header(92, 93), stride_message(1)},
      {"payload of 2 bytes", ts::msscan_header(92, 94), stride_message(2)},
      {"payload of 3 bytes", ts::msscan_header(92, 95), stride_message(3)},
      {"payload of 3 bytes inside the header", ts::msscan_header(89, 92), stride_message(3)},
      {"payload a multiple of no stride", ts::msscan_header(92, 92 + 285), stride_message(285)},
      {"568 bytes, equal scan ids", ts::msscan_image(284, {plain(10), plain(10)}),
       stride_message(568)},
      {"440 bytes, second record at MS level 3", ts::msscan_image(220, {plain(10), plain(11, 3)}),
       stride_message(440)},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure_of(c.bytes), c.display);
  }
}

struct SecondRecordCase {
  std::uint32_t first_id;
  std::uint32_t second_id;
  std::uint16_t second_level;
  bool accepted;
};

// Two 284-byte records: 568 is a multiple of no other stride, so the second record alone decides.
TEST(MSScanStride, SecondRecordTestBoundaries) {
  const std::vector<SecondRecordCase> cases = {
      {5, 6, 1, true},
      {5, 100004, 1, true},   // first + 99999
      {5, 100004, 2, true},
      {5, 100005, 1, false},  // first + 100000
      {5, 5, 1, false},
      {5, 4, 1, false},
      {5, 6, 0, false},
      {5, 6, 3, false},
      {5, 6, 0xFFFF, false},
      {4294967295u, 0, 1, false},  // nothing lies above the largest id, even after wrapping
      // The limit is formed in 64 bits: a first id near the top of u32 still admits larger ids.
      {4294967280u, 4294967295u, 1, true},
      {4294867296u, 4294967295u, 2, true},  // first + 99999 reaches the largest u32
  };
  for (const SecondRecordCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.first_id) + " then " + std::to_string(c.second_id) +
                 " at level " + std::to_string(c.second_level));
    const ts::Bytes image =
        ts::msscan_image(284, {plain(c.first_id, 7), plain(c.second_id, c.second_level)});
    EXPECT_EQ(failure_of(image),
              c.accepted ? "parsed: stride 284, 2 records" : stride_message(568));
  }
}

TEST(MSScanStride, OnlyTheFirstTwoRecordsAreExamined) {
  // A third record that would fail the test (lower id, level 9) is listed all the same.
  const auto scan = MSScan::parse(ts::msscan_image(220, {plain(10), plain(11), plain(3, 9)}));
  ASSERT_TRUE(scan) << scan.error().display();
  ASSERT_EQ(scan->records.size(), 3u);
  EXPECT_EQ(scan->records[2].scan_id, 3u);
  EXPECT_EQ(scan->records[2].ms_level, 9u);
}

class MSScanSingleRecord : public testing::TestWithParam<std::uint32_t> {};

// A payload of exactly one stride takes that stride without looking at the record.
TEST_P(MSScanSingleRecord, PayloadOfOneStrideIsTakenUnexamined) {
  const std::uint32_t stride = GetParam();
  ts::Record r = plain(0, 0xFFFF);
  r.first = ts::Descriptor{2, 0x0102030405060708, 36, 3, 0};
  const auto scan = MSScan::parse(ts::msscan_image(stride, {r}));
  ASSERT_TRUE(scan) << scan.error().display();
  EXPECT_EQ(scan->record_stride, stride);
  EXPECT_EQ(scan->data_offset, 92u);
  ASSERT_EQ(scan->records.size(), 1u);
  EXPECT_EQ(scan->records[0].ms_level, 65535u);
  EXPECT_EQ(describe(scan->records[0].peak_block), "2@72623859790382856+36#3u-");
}

INSTANTIATE_TEST_SUITE_P(AllStrides, MSScanSingleRecord, testing::ValuesIn(ts::all_strides));

// 10780 bytes are 49 records of 220 bytes and also 55 of 196 bytes; the order of the candidates
// decides when both views pass.
TEST(MSScanStride, PayloadMultipleOf220And196) {
  std::vector<ts::Record> as_220(49, plain(0));
  as_220[0] = plain(100);
  as_220[1] = plain(101, 2);
  ts::Bytes both_pass = ts::msscan_image(220, as_220);
  // Make the 196-byte view's second record plausible as well.
  ts::store_u32(both_pass, 92 + 196, 150);
  ts::store_u16(both_pass, 92 + 196 + 20, 1);

  std::vector<ts::Record> as_196(55, plain(0));
  as_196[0] = plain(100);
  as_196[1] = plain(101, 1);
  const ts::Bytes only_196 = ts::msscan_image(196, as_196);  // the 220 view reads id 0 second

  ASSERT_EQ(both_pass.size() - 92, 10780u);
  EXPECT_EQ(failure_of(both_pass), "parsed: stride 220, 49 records");
  EXPECT_EQ(failure_of(only_196), "parsed: stride 196, 55 records");

  ts::Bytes neither = only_196;
  ts::store_u16(neither, 92 + 196 + 20, 3);
  EXPECT_EQ(failure_of(neither), stride_message(10780));
}

TEST(MSScanParse, DataOffsetZeroDecodesTheHeaderAsARecord) {
  const auto scan = MSScan::parse(ts::msscan_header(0, 284));
  ASSERT_TRUE(scan) << scan.error().display();
  EXPECT_EQ(scan->data_offset, 0u);
  EXPECT_EQ(scan->record_stride, 284u);
  ASSERT_EQ(scan->records.size(), 1u);
  EXPECT_EQ(describe(scan->records[0]),
            "id=257 rt=0.000000 level=0 mrm=- precursor=- range=0.000000..0.000000 profile=- "
            "peak=-");
}

TEST(MSScanParse, DataOffsetBelowHeaderSizeIsAccepted) {
  ts::Record r = plain(77, 5);
  r.first = ts::Descriptor{3, 9, 12, 1, 0};
  const ts::Bytes image = ts::msscan_image(186, {r}, 40);
  ASSERT_EQ(image.size(), 226u);
  const auto scan = MSScan::parse(image);
  ASSERT_TRUE(scan) << scan.error().display();
  EXPECT_EQ(scan->data_offset, 40u);
  EXPECT_EQ(scan->record_stride, 186u);
  ASSERT_EQ(scan->records.size(), 1u);
  EXPECT_EQ(describe(scan->records[0]),
            "id=77 rt=0.000000 level=5 mrm=0 precursor=- range=-..- profile=- peak=3@9+12#1u-");
}

struct StrideFields {
  std::uint32_t stride;
  bool mrm_channel;
  bool precursor_mz;
  bool mz_range;
};

void PrintTo(const StrideFields& fields, std::ostream* os) { *os << "stride " << fields.stride; }

class MSScanStrideFields
    : public testing::TestWithParam<std::tuple<StrideFields, std::uint32_t>> {};

// Four records with every field written; what each stride reads is stated per row. Data offset
// 95 and a buffer starting at an odd address put every field at an unaligned position.
TEST_P(MSScanStrideFields, RecordsHoldWhatTheirStrideDefines) {
  const auto [fields, data_offset] = GetParam();
  const std::uint32_t stride = fields.stride;
  std::vector<ts::Record> records(4);
  const std::uint16_t levels[] = {7, 1, 2, 0};
  const std::uint32_t ids[] = {1000, 1001, 4, 0};
  for (std::size_t i = 0; i < records.size(); ++i) {
    ts::Record& r = records[i];
    r.scan_id = ids[i];
    r.ms_level = levels[i];
    r.mrm_channel = 11 + static_cast<std::uint32_t>(i);
    r.retention_time_min = 0.5 * static_cast<double>(i) - 0.75;
    r.precursor_mz = 400.5 + static_cast<double>(i);
    r.mz_range_start = 100.25;
    r.mz_range_end = 2000.75;
  }
  // Every descriptor carries an uncompressed byte count; only format 1 may take it. 65537 has
  // 1 in its low half: a wide format id read as 16 bits would turn it into a profile block.
  records[0].first = ts::Descriptor{2, 0x0102030405060708, 1234, 100, 777};
  records[1].first = ts::Descriptor{1, 0x8000000000000001, 0xFFFFFFFF, 7, 999};
  records[2].first = ts::Descriptor{3, 5, 6, 0, 888};
  records[3].first = ts::Descriptor{stride == 186 ? 0u : 65537u, 1, 2, 3, 4};

  ts::Bytes image = ts::msscan_image(stride, records, data_offset);
  ts::Bytes shifted(image.size() + 1);  // one leading byte: the image starts at an odd address
  std::memcpy(shifted.data() + 1, image.data(), image.size());
  const auto scan = MSScan::parse(std::span<const std::uint8_t>(shifted).subspan(1));
  ASSERT_TRUE(scan) << scan.error().display();
  EXPECT_EQ(scan->record_stride, stride);
  EXPECT_EQ(scan->data_offset, data_offset);

  std::vector<ScanRecord> expected(4);
  for (std::size_t i = 0; i < 4; ++i) {
    ScanRecord& e = expected[i];
    e.scan_id = ids[i];
    e.ms_level = levels[i];
    e.retention_time_min = records[i].retention_time_min;
    if (fields.mrm_channel) e.mrm_channel = records[i].mrm_channel;
    if (fields.precursor_mz && levels[i] >= 2) e.precursor_mz = records[i].precursor_mz;
    if (fields.mz_range) {
      e.mz_range_start = 100.25;
      e.mz_range_end = 2000.75;
    }
  }
  expected[0].peak_block = BlockDescriptor{2, 0x0102030405060708, 1234, 100, std::nullopt};
  expected[1].profile_block = BlockDescriptor{1, 0x8000000000000001, 0xFFFFFFFF, 7, 999};
  expected[2].peak_block = BlockDescriptor{3, 5, 6, 0, std::nullopt};

  std::vector<std::string> want;
  for (const ScanRecord& e : expected) want.push_back(describe(e));
  EXPECT_EQ(describe_all(*scan), want);
}

INSTANTIATE_TEST_SUITE_P(
    AllStrides, MSScanStrideFields,
    testing::Combine(testing::Values(StrideFields{284, false, true, true},
                                     StrideFields{220, false, true, false},
                                     StrideFields{216, false, true, false},
                                     StrideFields{196, true, false, false},
                                     StrideFields{186, true, false, false}),
                     testing::Values(92u, 95u)));

class MSScanIgnoredFormat
    : public testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {};

TEST_P(MSScanIgnoredFormat, DescriptorIsIgnoredAndRecordListed) {
  const auto [stride, format_id] = GetParam();
  ts::Record r = plain(1);
  r.first = ts::Descriptor{format_id, 10, 20, 30, 40};
  const auto scan = MSScan::parse(ts::msscan_image(stride, {r, plain(2)}));
  ASSERT_TRUE(scan) << scan.error().display();
  ASSERT_EQ(scan->records.size(), 2u);
  EXPECT_EQ(describe(scan->records[0].profile_block), "-");
  EXPECT_EQ(describe(scan->records[0].peak_block), "-");
}

INSTANTIATE_TEST_SUITE_P(AllStrides, MSScanIgnoredFormat,
                         testing::Combine(testing::ValuesIn(ts::all_strides),
                                          testing::Values(0u, 4u, 0xFFFFu)));

// The packed format id is a u16 followed at once by the byte offset: read as 32 bits, the
// offset's low bytes would spoil it.
TEST(MSScanPackedDescriptor, FormatIdIsSixteenBitsWide) {
  ts::Record r = plain(1);
  r.first = ts::Descriptor{1, 0x1122334455667788, 0xA1B2C3D4, 0x01020304, 0x0A0B0C0D};
  const auto scan = MSScan::parse(ts::msscan_image(186, {r}));
  ASSERT_TRUE(scan) << scan.error().display();
  EXPECT_EQ(scan->records[0].profile_block,
            (BlockDescriptor{1, 0x1122334455667788, 0xA1B2C3D4, 0x01020304, 0x0A0B0C0D}));
  EXPECT_EQ(describe(scan->records[0].peak_block), "-");
}

struct ReplacementCase {
  std::uint32_t first_format;   // descriptor at 156
  std::uint32_t second_format;  // descriptor at 220
  const char* profile;
  const char* peak;
};

TEST(MSScanDescriptors, SecondDescriptorReplacesFirstOfTheSameClass) {
  const std::vector<ReplacementCase> cases = {
      {1, 1, "1@2000+20#2u222", "-"},
      {3, 1, "1@2000+20#2u222", "3@1000+10#1u-"},
      {2, 3, "-", "3@2000+20#2u-"},
      {1, 2, "1@1000+10#1u111", "2@2000+20#2u-"},
      {1, 0, "1@1000+10#1u111", "-"},
      {0, 2, "-", "2@2000+20#2u-"},
      {4, 0, "-", "-"},
  };
  for (const ReplacementCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.first_format) + " then " + std::to_string(c.second_format));
    ts::Record r = plain(1);
    r.first = ts::Descriptor{c.first_format, 1000, 10, 1, 111};
    r.second = ts::Descriptor{c.second_format, 2000, 20, 2, 222};
    r.mz_range_start = 50.0;  // right after the second descriptor's uncompressed byte count
    const auto scan = MSScan::parse(ts::msscan_image(284, {r}));
    ASSERT_TRUE(scan) << scan.error().display();
    EXPECT_EQ(describe(scan->records[0].profile_block), c.profile);
    EXPECT_EQ(describe(scan->records[0].peak_block), c.peak);
    EXPECT_EQ(scan->records[0].mz_range_start, 50.0);
  }
}

TEST(MSScanFromPath, ReadsTheFileAndParsesIt) {
  ts::TempDir dir;
  ts::Record r = plain(42, 2);
  r.precursor_mz = 321.5;
  const ts::Bytes image = ts::msscan_image(216, {r, plain(43)});
  dir.write_file("MSScan.bin", image);
  const auto from_file = MSScan::from_path(dir.join("MSScan.bin"));
  const auto from_bytes = MSScan::parse(image);
  ASSERT_TRUE(from_file) << from_file.error().display();
  ASSERT_TRUE(from_bytes);
  EXPECT_EQ(from_file->record_stride, 216u);
  EXPECT_EQ(describe_all(*from_file), describe_all(*from_bytes));
}

TEST(MSScanFromPath, FailuresCarryTheirCause) {
  ts::TempDir dir;
  dir.make_dir("a_directory");
  dir.write_file("a_file", ts::Bytes{1, 2, 3});
  dir.write_file("short.bin", ts::msscan_header(92, 91));
  const std::string valid = dir.join("valid.bin");
  dir.write_file("valid.bin", ts::msscan_image(186, {plain(1)}));
  const struct {
    std::string path;
    std::string display;
  } cases[] = {
      {dir.join("missing.bin"), os_error(ENOENT)},
      {dir.join("a_directory"), os_error(EISDIR)},
      {dir.join("a_file/MSScan.bin"), os_error(ENOTDIR)},
      {dir.join("short.bin"), "parse error: MSScan.bin too small for header"},
      // The system takes NUL-terminated paths; this one must not be read as "valid.bin".
      {valid + std::string("\0x", 2), os_error(EINVAL)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto scan = MSScan::from_path(c.path);
    ASSERT_FALSE(scan);
    EXPECT_EQ(scan.error().display(), c.display);
  }
}

}  // namespace
