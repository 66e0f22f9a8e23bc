// Acquisition::open and read over generated directories of every family: values, statuses per
// block, the fallback between profile and centroid, and open errors.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/acq/icp.hpp"
#include "tests/support/acq_builders.hpp"
#include "tests/support/fixed_directory.hpp"

namespace kestrane::acq {
namespace {

using acq_test::Bytes;
using acq_test::DirectoryFiles;
using acq_test::Values;

Calibration cal_of(const acq_test::MassCalValues& v, std::uint32_t flags) {
  return {v[0], v[1], v[2], v[3], flags, {v[4], v[5], v[6], v[7], v[8], v[9]}};
}

// A TOF directory: v1 records with two blocks (run-length profile, centroid), rows and a
// default calibration. Each scan is one case of the status table below.
struct TofDir {
  DirectoryFiles files;
  std::vector<std::int32_t> counts = {0, 0, 5, 300, 40000, 2, 0};
  std::vector<double> peak_x = {30000.0, 41000.5};
  std::vector<float> peak_y = {12.5f, 99.0f};
  acq_test::MassCalValues row = acq_test::tof_row(3);

  explicit TofDir(bool calibration = true) {
    const auto spec = acq_test::tof_v1_schema();
    const auto layout = acq_test::layout_of(spec, 2);
    acq_test::DataFileBuilder profile(258), peak(259);
    const Bytes rle = acq_test::run_length_block(20000.0, 0.5, counts);
    const Bytes centroid = acq_test::centroid_block(peak_x, peak_y);
    Bytes broken = rle;
    broken[16] = 0;  // no 0x90 tag
    const auto block = [](int format, std::uint64_t offset, std::size_t bytes, std::size_t n) {
      return Values{{"SpectrumFormatID", format}, {"SpectrumOffset", static_cast<double>(offset)},
                    {"ByteCount", static_cast<double>(bytes)}, {"PointCount", static_cast<double>(n)},
                    {"UncompressedByteCount", 999}};
    };
    const Values empty = {{"SpectrumFormatID", 2}};
    const auto scalars = [](int i) {
      return Values{{"ScanID", 10 + i}, {"ScanTime", 0.5 * i}, {"MSLevel", 1}, {"ScanType", 1},
                    {"IonPolarity", 1}, {"CalibrationID", 1},
                    {"MassCalOffset", static_cast<double>(acq_test::mass_cal_row_offset(0))}};
    };
    const auto p0 = profile.add(rle), c0 = peak.add(centroid);
    const auto p1 = profile.add(broken), c1 = peak.add(centroid);
    std::vector<Bytes> records = {
        acq_test::record(layout, scalars(0), {block(1, p0, rle.size(), counts.size()),
                                              block(2, c0, centroid.size(), 2)}),
        acq_test::record(layout, scalars(1), {block(1, p1, broken.size(), counts.size()),
                                              block(2, c1, centroid.size(), 2)}),
        // Both blocks start at the end of their files: a cut-off record.
        acq_test::record(layout, scalars(2), {block(1, profile.bytes().size(), rle.size(), 7),
                                              block(2, peak.bytes().size(), centroid.size(), 2)}),
        acq_test::record(layout, scalars(3), {empty, empty}),
        acq_test::record(layout, scalars(4), {block(9, p0, rle.size(), 7), empty}),
    };
    files["AcqData/MSScan.bin"] =
        acq_test::msscan(1, 2, {acq_test::run_length_format(1), acq_test::tof_peak_format(2)},
                         records);
    files["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(spec));
    files["AcqData/MSProfile.bin"] = profile.bytes();
    files["AcqData/MSPeak.bin"] = peak.bytes();
    files["AcqData/MSTS.xml"] = acq_test::text_bytes(acq_test::msts_xml({{1, 4}}), true);
    if (calibration) {
      files["AcqData/MSMassCal.bin"] = acq_test::mass_cal_file({row});
      files["AcqData/DefaultMassCal.xml"] = acq_test::text_bytes(
          acq_test::default_mass_cal_xml({acq_test::tof_default()}), true);
    }
  }
};

Acquisition open_files(const test_support::TempDir& tmp, const DirectoryFiles& files,
                       const std::string& name = "run.d") {
  acq_test::write_directory(tmp.join(name), files);
  auto acq = Acquisition::open(tmp.join(name));
  if (!acq) throw std::runtime_error(acq.error().display());
  return std::move(*acq);
}

TEST(AcquisitionRead, CalibratesRunLengthProfilesAndCentroidsWithTheRow) {
  test_support::TempDir tmp;
  const TofDir d;
  const Acquisition acq = open_files(tmp, d.files);
  ASSERT_EQ(acq.size(), 5u);
  const Calibration cal = cal_of(d.row, acq_test::tof_default().flags);

  const Spectrum p = acq.read(0);
  EXPECT_EQ(p.status, Status::ok);
  EXPECT_EQ(p.representation, Representation::profile);
  EXPECT_EQ(p.calibration, CalibrationSource::per_scan);
  ASSERT_EQ(p.mz.size(), d.counts.size());
  for (std::size_t k = 0; k < d.counts.size(); ++k) {
    EXPECT_EQ(p.intensity[k], d.counts[k]);
    EXPECT_EQ(p.mz[k], calibrate_point(cal, 20000.0 + static_cast<double>(k) * 0.5)) << k;
  }
  const Spectrum c = acq.read(0, Prefer::centroid);
  EXPECT_EQ(c.representation, Representation::centroid);
  ASSERT_EQ(c.mz.size(), 2u);
  EXPECT_EQ(c.mz[1], calibrate_point(cal, 41000.5));
  EXPECT_EQ(c.intensity[0], 12.5);
  EXPECT_EQ(c.profile_status, Status::ok);  // checked, not decoded

  const ScanInfo info = acq.scan(0);
  EXPECT_EQ(info.scan_id, 10);
  EXPECT_EQ(info.polarity, Polarity::negative);
  EXPECT_EQ(info.profile_points, 7u);
  EXPECT_EQ(info.centroid_points, 2u);
  EXPECT_FALSE(info.precursor_mz);
  EXPECT_EQ(acq.record(0).block_integer(1, "UncompressedByteCount"), 999);
}

TEST(AcquisitionRead, EveryBlockHasAStatusAndFailuresEmitNothing) {
  test_support::TempDir tmp;
  const Acquisition calibrated = open_files(tmp, TofDir(true).files, "a.d");
  const Acquisition bare = open_files(tmp, TofDir(false).files, "b.d");
  struct Case {
    const char* name;
    const Acquisition* acq;
    std::size_t scan;
    Prefer prefer;
    Status status;
    std::optional<Status> profile, centroid;
    std::optional<Representation> representation;
  };
  const auto P = Prefer::profile;
  const auto C = Prefer::centroid;
  const Case cases[] = {
      {"both ok", &calibrated, 0, P, Status::ok, Status::ok, Status::ok, Representation::profile},
      {"broken profile falls back", &calibrated, 1, P, Status::ok, Status::malformed, Status::ok,
       Representation::centroid},
      {"centroid preferred, profile not decoded", &calibrated, 1, C, Status::ok, Status::ok,
       Status::ok, Representation::centroid},
      {"cut off", &calibrated, 2, P, Status::incomplete, Status::past_end, Status::past_end,
       std::nullopt},
      {"empty blocks", &calibrated, 3, P, Status::empty, std::nullopt, Status::empty, std::nullopt},
      {"format absent from the table", &calibrated, 4, P, Status::unknown_format, std::nullopt,
       Status::empty, std::nullopt},
      {"no calibration", &bare, 0, P, Status::uncalibrated, Status::uncalibrated,
       Status::uncalibrated, std::nullopt},
      {"scan past the index", &calibrated, 5, P, Status::malformed, std::nullopt, std::nullopt,
       std::nullopt},
  };
  Spectrum reused;
  ReadScratch scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.acq->read_into(c.scan, c.prefer, reused, scratch);
    EXPECT_EQ(reused.status, c.status);
    EXPECT_EQ(reused.profile_status, c.profile);
    EXPECT_EQ(reused.centroid_status, c.centroid);
    EXPECT_EQ(reused.representation, c.representation);
    EXPECT_EQ(reused.mz.size(), reused.intensity.size());
    if (!c.representation) {
      EXPECT_TRUE(reused.mz.empty());
    }
  }
  EXPECT_EQ(bare.read(0).calibration, CalibrationSource::uncalibrated);
  EXPECT_TRUE(calibrated.scan(2).incomplete);
}

TEST(AcquisitionRead, StoredAxesNeedNoCalibration) {
  test_support::TempDir tmp;
  // GC: f64 m/z and f64 intensities; quadrupole: raw f32 profile on a start/step axis.
  const std::vector<double> gc_mz = {static_cast<double>(130.99f), 202.0};
  const std::vector<double> gc_y = {10242.948, 1155.6968};
  acq_test::DataFileBuilder peak(259), profile(258);
  const Bytes gc_block = acq_test::centroid_block_f64(gc_mz, gc_y);
  const auto gc_at = peak.add(gc_block);
  const auto gc_layout = acq_test::layout_of(acq_test::gc_schema(), 1);
  DirectoryFiles gc;
  gc["AcqData/MSScan.bin"] = acq_test::msscan(
      1, 1, {acq_test::gc_peak_format(1)},
      {acq_test::record(gc_layout, {{"ScanID", 1}, {"MSLevel", 1}, {"ScanType", 2}},
                        {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(gc_at)},
                          {"ByteCount", 32}, {"PointCount", 2}, {"MinX", 6.5}}})});
  gc["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(acq_test::gc_schema()));
  gc["AcqData/MSPeak.bin"] = peak.bytes();

  const std::vector<float> y(5121, 1.5f);
  const Bytes raw = acq_test::raw_profile_block(100.0, static_cast<double>(0.1f), y);
  const auto raw_at = profile.add(raw);
  const auto quad_layout = acq_test::layout_of(acq_test::quad_v2_schema(), 1);
  DirectoryFiles quad;
  quad["AcqData/MSScan.bin"] = acq_test::msscan(
      2, 1, {acq_test::gc_peak_format(1), acq_test::raw_format(2), acq_test::tof_peak_format(3)},
      {acq_test::record(quad_layout, {{"MSLevel", 2}, {"MzOfInterest", static_cast<double>(611.3f)}},
                        {{{"SpectrumFormatID", 2}, {"SpectrumOffset", static_cast<double>(raw_at)},
                          {"ByteCount", static_cast<double>(raw.size())}, {"PointCount", 5121}}})});
  quad["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(acq_test::quad_v2_schema()));
  quad["AcqData/MSProfile.bin"] = profile.bytes();

  const Spectrum g = open_files(tmp, gc, "gc.d").read(0);
  EXPECT_EQ(g.status, Status::ok);
  EXPECT_EQ(g.calibration, CalibrationSource::axis);
  EXPECT_EQ(g.mz[0], 130.99000549316406);
  EXPECT_EQ(g.intensity[1], 1155.6968);

  const Acquisition q = open_files(tmp, quad, "quad.d");
  const Spectrum s = q.read(0);
  EXPECT_EQ(s.status, Status::ok);
  ASSERT_EQ(s.mz.size(), 5121u);
  EXPECT_EQ(s.mz.back(), 100.0 + 5120.0 * static_cast<double>(0.1f));  // product, then sum
  EXPECT_NEAR(s.mz.back(), 612.0000076, 5e-8);
  EXPECT_EQ(q.scan(0).precursor_mz, static_cast<double>(611.3f));
}

TEST(AcquisitionRead, LzfProfilesUseTheDefaultWithoutRows) {
  test_support::TempDir tmp;
  TofDir base;
  const std::vector<std::uint32_t> counts = {7, 0, 8022, 3};
  const Bytes lzf = acq_test::lzf_profile_block(30000.0, 0.5, counts);
  acq_test::DataFileBuilder profile(258);
  const auto at = profile.add(lzf);
  const auto layout = acq_test::layout_of(acq_test::tof_v1_schema(), 2);
  DirectoryFiles files = base.files;
  files.erase("AcqData/MSMassCal.bin");
  files["AcqData/MSProfile.bin"] = profile.bytes();
  files["AcqData/MSScan.bin"] = acq_test::msscan(
      1, 2, {acq_test::lzf_format(1), acq_test::tof_peak_format(2)},
      {acq_test::record(layout, {{"CalibrationID", 1}},
                        {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(at)},
                          {"ByteCount", static_cast<double>(lzf.size())}, {"PointCount", 4},
                          {"UncompressedByteCount", 32}}})});
  const Acquisition acq = open_files(tmp, files);
  const Spectrum s = acq.read(0);
  EXPECT_EQ(s.status, Status::ok);
  EXPECT_EQ(s.calibration, CalibrationSource::default_entry);
  ASSERT_EQ(s.intensity.size(), 4u);
  EXPECT_EQ(s.intensity[2], 8022.0);
  const auto d = acq_test::tof_default();
  const Calibration cal{d.a, d.t0, d.t_min, d.t_max, d.flags,
                        {d.c[0], d.c[1], d.c[2], d.c[3], d.c[4], d.c[5]}};
  EXPECT_EQ(s.mz[3], calibrate_point(cal, 30001.5));
  // The directory's MSTS.xml counts 4 scans for 1 record.
  ASSERT_EQ(acq.warnings().size(), 1u);
  EXPECT_EQ(acq.warnings()[0], "MSTS.xml: NumOfScans adds up to 4, MSScan.bin holds 1 records");
}

DirectoryFiles icp_files(bool schema) {
  const std::vector<float> x = {1.0f, 2.0f};
  const std::vector<double> counts = {52.000443, 7.0}, pulse = {52.000443, -1.0},
                            third = {0.0, 3.0};
  acq_test::DataFileBuilder profile(258);
  const Bytes block = acq_test::channels_block(x, counts, pulse, third);
  const auto at = profile.add(block);
  const auto layout = acq_test::layout_of(acq_test::icp_schema(), 1);
  DirectoryFiles f;
  f["AcqData/MSScan.bin"] = acq_test::msscan(
      1, 1, {acq_test::channels_format(1)},
      {acq_test::record(layout, {{"ScanID", 1}, {"MSLevel", 2}, {"TimeSegmentID", 1},
                                 {"XSpecificParamType.Offset", 72},
                                 {"XSpecificParamType.ByteCount", 24}},
                        {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(at)},
                          {"ByteCount", static_cast<double>(block.size())}, {"PointCount", 2}}})});
  if (schema) f["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(acq_test::icp_schema()));
  f["AcqData/MSProfile.bin"] = profile.bytes();
  f["AcqData/MSScan_XSpecific.bin"] = acq_test::xspecific_bin({{1.0, 1}, {2.0, 240}});
  f["AcqData/MSTS_XSpecific.xml"] =
      acq_test::text_bytes(acq_test::xspecific_xml(1, {{1, 0.16}, {2, 0.2}}), true);
  f["MSTS_XAddition.xml"] =
      acq_test::text_bytes(acq_test::xaddition_xml(1, {{1, 31.0, 47.0}, {2, 12.0, 12.0}}), true);
  return f;
}

TEST(AcquisitionRead, IcpChannelsTakeTheirMassesFromTheCompanions) {
  test_support::TempDir tmp;
  for (const bool schema : {true, false}) {
    SCOPED_TRACE(schema);
    const Acquisition acq = open_files(tmp, icp_files(schema), schema ? "s.d" : "n.d");
    EXPECT_EQ(acq.info().schema_source, schema ? "MSScan.xsd" : "built-in ICP layout");
    const Spectrum s = acq.read(0, Prefer::centroid);
    EXPECT_EQ(s.status, Status::ok);
    EXPECT_EQ(s.representation, Representation::channels);
    EXPECT_EQ(std::vector<double>(s.mz.begin(), s.mz.end()), (std::vector<double>{47.0, 12.0}));
    EXPECT_EQ(std::vector<double>(s.precursor_mz.begin(), s.precursor_mz.end()),
              (std::vector<double>{31.0, 12.0}));
    EXPECT_EQ(s.intensity[0] / s.accumulation_time_sec[0], 52.000443 / 0.16);
    EXPECT_EQ(std::vector<std::int32_t>(s.detector_mode.begin(), s.detector_mode.end()),
              (std::vector<std::int32_t>{1, 240}));
  }
  // Without the index map, X is the mass; an index the map lacks is not guessed.
  DirectoryFiles no_map = icp_files(true);
  no_map.erase("MSTS_XAddition.xml");
  EXPECT_EQ(open_files(tmp, no_map, "m.d").read(0).mz[0], 1.0);
  DirectoryFiles short_map = icp_files(true);
  short_map["MSTS_XAddition.xml"] =
      acq_test::text_bytes(acq_test::xaddition_xml(1, {{1, 31.0, 47.0}}));
  const Spectrum s = open_files(tmp, short_map, "k.d").read(0);
  EXPECT_EQ(s.status, Status::malformed);
  EXPECT_TRUE(s.mz.empty());
}

TEST(IcpChannelMap, FindsAnIndexByBinarySearchTheLastEntryOfItWinning) {
  // Out of order, index 3 twice, a negative index.
  const auto map = parse_xaddition(acq_test::text_bytes(acq_test::xaddition_xml(
      1, {{9, 90.0, 91.0}, {3, 30.0, 31.0}, {-2, 20.0, 21.0}, {3, 32.0, 33.0}, {5, 50.0, 51.0}})));
  ASSERT_TRUE(map) << map.error().display();
  EXPECT_EQ(conflicting_indices(*map), (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 3}}));
  const auto repeated = parse_xaddition(acq_test::text_bytes(
      acq_test::xaddition_xml(1, {{3, 30.0, 31.0}, {3, 30.0, 31.0}, {4, 1.0, 2.0}})));
  ASSERT_TRUE(repeated);
  EXPECT_TRUE(conflicting_indices(*repeated).empty());  // the same masses twice
  const std::vector<ChannelMass>& masses = map->at(1);
  const struct {
    double x;
    std::optional<double> product;
  } cases[] = {{3.0, 33.0}, {9.0, 91.0}, {-2.0, 21.0}, {5.0, 51.0}, {4.0, std::nullopt},
               {10.0, std::nullopt}, {-3.0, std::nullopt}, {3.5, std::nullopt},
               {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
               {std::numeric_limits<double>::infinity(), std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    const ChannelMass* found = find_channel(masses, c.x);
    ASSERT_EQ(found != nullptr, c.product.has_value());
    if (found != nullptr) {
      EXPECT_EQ(found->product_mz, *c.product);
    }
  }
  // At open, an index given twice with other masses is reported; the last entry stays in use.
  test_support::TempDir tmp;
  DirectoryFiles twice = icp_files(true);
  twice["MSTS_XAddition.xml"] = acq_test::text_bytes(
      acq_test::xaddition_xml(1, {{1, 31.0, 47.0}, {2, 12.0, 12.0}, {1, 30.0, 46.0}}));
  const Acquisition acq = open_files(tmp, twice);
  EXPECT_EQ(acq.warnings(),
            (std::vector<std::string>{
                "MSTS_XAddition.xml: 1 indices appear more than once in their segment with "
                "different masses; the last entry of each is used (first: segment 1, index 1)"}));
  EXPECT_EQ(acq.read(0).mz[0], 46.0);
  // A mass that is not finite makes the entry unreadable.
  const auto nan = parse_xaddition(acq_test::text_bytes(acq_test::xaddition_xml(
      1, {{1, 31.0, std::numeric_limits<double>::quiet_NaN()}})));
  ASSERT_FALSE(nan);
  EXPECT_EQ(nan.error().display(),
            "parse error: MSTS_XAddition.xml: segment 1: unreadable indexed mass");
}

TEST(AcquisitionOpen, RefusesWithTheFileAndTheReason) {
  test_support::TempDir tmp;
  struct Case {
    const char* name;
    DirectoryFiles files;
    std::string message;
  };
  DirectoryFiles no_xsd = TofDir().files;
  no_xsd.erase("AcqData/MSScan.xsd");
  DirectoryFiles icp_no_records = icp_files(false);
  icp_no_records.erase("AcqData/MSScan_XSpecific.bin");
  DirectoryFiles bad_type = TofDir().files;
  std::string xsd = acq_test::schema_xml(acq_test::tof_v1_schema());
  xsd.replace(xsd.find("xs:long"), 7, "xs:ulong");
  bad_type["AcqData/MSScan.xsd"] = acq_test::text_bytes(xsd);
  DirectoryFiles table = TofDir().files;
  table["AcqData/MSScan.bin"][80] = 1;  // one entry fewer than the table holds
  const Case cases[] = {
      {"no schema, not ICP", no_xsd,
       "parse error: MSScan.xsd: missing, and the built-in ICP layout does not apply (the format "
       "table is not one profile entry with 4 axes)"},
      {"no schema, no MSScan_XSpecific.bin", icp_no_records,
       "parse error: MSScan.xsd: missing, and the built-in ICP layout does not apply (no "
       "MSScan_XSpecific.bin)"},
      {"unknown type", bad_type,
       "parse error: MSScan.xsd: element MassCalOffset has unknown type ulong"},
      {"table not ending at the data offset", table,
       "parse error: MSScan.bin: format table ends at 160, not at the data offset 228"},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = tmp.join("e" + std::to_string(k++));
    acq_test::write_directory(dir, c.files);
    const auto acq = Acquisition::open(dir);
    ASSERT_FALSE(acq);
    EXPECT_EQ(acq.error().display(), c.message);
  }
  const auto missing = Acquisition::open(tmp.join("nowhere"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
  EXPECT_EQ(missing.error().path(), tmp.join("nowhere"));
  std::filesystem::create_directories(tmp.join("plain/AcqData"));
  for (const char* dir : {"plain", "plain/AcqData"}) {
    const auto plain = Acquisition::open(tmp.join(dir));
    ASSERT_FALSE(plain);
    EXPECT_EQ(plain.error().display(), "parse error: not an acquisition directory: " +
                                           tmp.join(dir) + " (no AcqData/MSScan.bin)");
  }
}

// An open stopped on request at each of the points where it asks, found by counting the asks of
// an open that is never stopped: each returns interrupted(), whatever it had read.
TEST(AcquisitionOpen, StopsWithInterruptedAtEveryPointItAsks) {
  struct StopAt final : Interrupt {
    std::size_t asked = 0, stop_at = SIZE_MAX;
    bool requested() noexcept override { return ++asked >= stop_at; }
  };
  test_support::TempDir tmp;
  for (const auto& [name, files] : {std::pair{"tof.d", TofDir().files},
                                    std::pair{"icp.d", icp_files(false)}}) {
    SCOPED_TRACE(name);
    acq_test::write_directory(tmp.join(name), files);
    StopAt never;
    ASSERT_TRUE(Acquisition::open(tmp.join(name), &never));
    ASSERT_GE(never.asked, 3u);
    for (std::size_t k = 1; k <= never.asked; ++k) {
      SCOPED_TRACE(k);
      StopAt at;
      at.stop_at = k;
      const auto acq = Acquisition::open(tmp.join(name), &at);
      ASSERT_FALSE(acq);
      EXPECT_EQ(acq.error().display(), interrupted().display());
    }
    StopFlag set;
    set.request();
    EXPECT_FALSE(Acquisition::open(tmp.join(name), &set));
  }
}

// The walk in pieces: every point once, in order; a piece function returning false ends it
// there (not a stop: true), a stop request ends it after the piece in progress (false).
TEST(ForPieces, EndsWhereThePieceFunctionOrAStopSays) {
  struct StopAfter final : Interrupt {
    std::size_t asks = 0, limit = SIZE_MAX;
    bool requested() noexcept override { return ++asks >= limit; }
  };
  struct Case {
    std::size_t n, piece, stop_after, end_after;  // SIZE_MAX: never
    std::vector<std::size_t> ends;
    bool whole;
  };
  for (const Case& c : std::vector<Case>{
           {10, 4, SIZE_MAX, SIZE_MAX, {4, 8, 10}, true},
           {8, 4, SIZE_MAX, SIZE_MAX, {4, 8}, true},
           {0, 4, SIZE_MAX, SIZE_MAX, {0}, true},
           {10, 4, 1, SIZE_MAX, {4}, false},
           {10, 4, SIZE_MAX, 2, {4, 8}, true},
       }) {
    SCOPED_TRACE(testing::Message() << c.n << "/" << c.piece);
    StopAfter stop;
    stop.limit = c.stop_after;
    std::vector<std::size_t> ends;
    std::size_t next = 0;
    const bool whole = for_pieces(c.n, c.piece, &stop, [&](std::size_t b, std::size_t e) {
      EXPECT_EQ(b, next);
      next = e;
      ends.push_back(e);
      return ends.size() < c.end_after;
    });
    EXPECT_EQ(ends, c.ends);
    EXPECT_EQ(whole, c.whole);
  }
}

// Records naming the block of their neighbour: a pass over the run with one read buffer
// decodes each shared block once and gives the values of reads that decode every block, the
// calibration of each record applied. Failures are shared too.
TEST(AcquisitionRead, BlockSharedByNeighboursIsDecodedOncePerBuffer) {
  test_support::TempDir tmp;
  const auto spec = acq_test::tof_v1_schema();
  const auto layout = acq_test::layout_of(spec, 2);
  acq_test::DataFileBuilder profile(258), peak(259);
  const std::vector<std::int32_t> counts_a = {0, 3, 5, 300, 40000, 2, 0}, counts_b = {7, 8};
  const Bytes a = acq_test::run_length_block(20000.0, 0.5, counts_a);
  const Bytes b = acq_test::run_length_block(21000.0, 0.25, counts_b);
  Bytes broken = a;
  broken[16] = 0;  // no 0x90 tag
  const std::vector<double> x = {30000.0, 41000.5};
  const std::vector<float> y = {12.5f, 99.0f}, y2 = {1.0f, 2.0f};
  const Bytes c = acq_test::centroid_block(x, y), c2 = acq_test::centroid_block(x, y2);
  const auto pa = profile.add(a), pb = profile.add(b), pd = profile.add(broken);
  const auto ca = peak.add(c), cb = peak.add(c2);
  const auto block = [](int format, std::uint64_t offset, const Bytes& bytes, std::size_t n) {
    return Values{{"SpectrumFormatID", format}, {"SpectrumOffset", static_cast<double>(offset)},
                  {"ByteCount", static_cast<double>(bytes.size())},
                  {"PointCount", static_cast<double>(n)}};
  };
  const Values empty = {{"SpectrumFormatID", 2}};
  // Profile A A A B A A D D; centroid C C C C C C2 - -; rows alternate between two rows.
  std::vector<Bytes> records;
  const struct {
    Values p, c;
  } uses[] = {{block(1, pa, a, 7), block(2, ca, c, 2)},   {block(1, pa, a, 7), block(2, ca, c, 2)},
              {block(1, pa, a, 7), block(2, ca, c, 2)},   {block(1, pb, b, 2), block(2, ca, c, 2)},
              {block(1, pa, a, 7), block(2, ca, c, 2)},   {block(1, pa, a, 7), block(2, cb, c2, 2)},
              {block(1, pd, broken, 7), empty},           {block(1, pd, broken, 7), empty}};
  for (std::size_t i = 0; i < std::size(uses); ++i) {
    const Values scalars = {{"ScanID", static_cast<double>(i + 1)}, {"ScanTime", 0.1 * static_cast<double>(i)},
                            {"MSLevel", 1}, {"CalibrationID", 1},
                            {"MassCalOffset",
                             static_cast<double>(acq_test::mass_cal_row_offset(i % 2))}};
    records.push_back(acq_test::record(layout, scalars, {uses[i].p, uses[i].c}));
  }
  DirectoryFiles files;
  files["AcqData/MSScan.bin"] = acq_test::msscan(
      1, 2, {acq_test::run_length_format(1), acq_test::tof_peak_format(2)}, records);
  files["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(spec));
  files["AcqData/MSProfile.bin"] = profile.bytes();
  files["AcqData/MSPeak.bin"] = peak.bytes();
  files["AcqData/MSMassCal.bin"] = acq_test::mass_cal_file({acq_test::tof_row(0),
                                                            acq_test::tof_row(1)});
  files["AcqData/DefaultMassCal.xml"] =
      acq_test::text_bytes(acq_test::default_mass_cal_xml({acq_test::tof_default()}), true);
  const Acquisition acq = open_files(tmp, files);
  ASSERT_EQ(acq.size(), std::size(uses));

  const auto same = [](const Spectrum& got, const Spectrum& want) {
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.profile_status, want.profile_status);
    EXPECT_EQ(got.centroid_status, want.centroid_status);
    EXPECT_EQ(got.calibration, want.calibration);
    const auto bits = [](const vornelle_core::Array<double>& v) {
      std::vector<std::uint64_t> out;
      for (const double d : v) out.push_back(std::bit_cast<std::uint64_t>(d));
      return out;
    };
    EXPECT_EQ(bits(got.mz), bits(want.mz));
    EXPECT_EQ(bits(got.intensity), bits(want.intensity));
  };
  // profile: A, B, D; centroid: C, C2, then D for the records without a centroid.
  for (const auto& [prefer, decodes] : {std::pair{Prefer::profile, 3u},
                                        std::pair{Prefer::centroid, 3u}}) {
    SCOPED_TRACE(prefer == Prefer::profile ? "profile" : "centroid");
    std::vector<Spectrum> each;
    const std::uint64_t before_each = blocks_decoded();
    for (std::size_t i = 0; i < acq.size(); ++i) each.push_back(acq.read(i, prefer));
    EXPECT_EQ(blocks_decoded() - before_each, acq.size());  // a fresh buffer per read
    EXPECT_NE(each[0].mz, each[1].mz);  // rows 0 and 1 calibrate A differently
    EXPECT_EQ(each[6].status, Status::malformed);
    Spectrum s;
    ReadScratch scratch;
    const std::uint64_t before = blocks_decoded();
    for (std::size_t i = 0; i < acq.size(); ++i) {
      SCOPED_TRACE(i);
      acq.read_into(i, prefer, s, scratch);
      same(s, each[i]);
    }
    EXPECT_EQ(blocks_decoded() - before, decodes);
  }
}

// An index ending inside a record (a run stopped while writing it): the whole records are read,
// the cut one is reported.
TEST(AcquisitionOpen, IndexCutInsideARecordKeepsTheWholeRecords) {
  test_support::TempDir tmp;
  DirectoryFiles files = TofDir().files;
  const Acquisition whole = open_files(tmp, files, "whole.d");
  for (const std::size_t cut : {std::size_t{1}, std::size_t{255}}) {
    SCOPED_TRACE(cut);
    DirectoryFiles cut_files = files;
    auto& index = cut_files["AcqData/MSScan.bin"];
    const Bytes tail(index.end() - static_cast<std::ptrdiff_t>(cut), index.end());
    index.insert(index.end(), tail.begin(), tail.end());
    const Acquisition acq = open_files(tmp, cut_files, "cut" + std::to_string(cut) + ".d");
    ASSERT_EQ(acq.size(), whole.size());
    std::vector<std::string> warnings = whole.warnings();
    warnings.insert(warnings.begin(), "MSScan.bin: ends " + std::to_string(cut) +
                                          " bytes into a record of 256 (from MSScan.xsd); the " +
                                          std::to_string(whole.size()) + " whole records are read");
    EXPECT_EQ(acq.warnings(), warnings);
    for (std::size_t i = 0; i < acq.size(); ++i) {
      const Spectrum got = acq.read(i), expected = whole.read(i);
      EXPECT_EQ(got.status, expected.status);
      EXPECT_EQ(std::vector<double>(got.mz.begin(), got.mz.end()),
                std::vector<double>(expected.mz.begin(), expected.mz.end()));
    }
  }
}

// A data file cut short in place: before its first read, its blocks past the new end are
// past_end; after it, reads keep the bytes of that first read (the file's whole copy).
TEST(AcquisitionRead, FileCutInPlaceKeepsWhatTheFirstReadSaw) {
  test_support::TempDir tmp;
  const DirectoryFiles files = TofDir(true).files;
  const Acquisition before = open_files(tmp, files, "before.d");
  std::filesystem::resize_file(tmp.join("before.d") + "/AcqData/MSProfile.bin", 68);
  const Spectrum cut = before.read(0);
  EXPECT_EQ(cut.profile_status, Status::past_end);
  EXPECT_EQ(cut.representation, Representation::centroid);

  const Acquisition after = open_files(tmp, files, "after.d");
  const Spectrum first = after.read(0);
  ASSERT_EQ(first.status, Status::ok);
  std::filesystem::resize_file(tmp.join("after.d") + "/AcqData/MSProfile.bin", 68);
  const Spectrum again = after.read(0);
  EXPECT_EQ(again.profile_status, Status::ok);
  EXPECT_EQ(std::vector<double>(again.intensity.begin(), again.intensity.end()),
            std::vector<double>(first.intensity.begin(), first.intensity.end()));
}

// scan_table() is scan(i) of every record, column by column, over every layout family: 16-bit
// and float fields (v2), precursor fields, fields after the blocks, values scan() leaves absent.
TEST(AcquisitionScanTable, ColumnsHoldScanOfEveryRecord) {
  test_support::TempDir tmp;
  const std::vector<std::pair<std::string, acq_test::SchemaSpec>> schemas = {
      {"tof-v1", acq_test::tof_v1_schema()}, {"tof-older", acq_test::tof_older_schema()},
      {"tof-v2", acq_test::tof_v2_schema()}, {"gc", acq_test::gc_schema()},
      {"quad-v2", acq_test::quad_v2_schema()}, {"icp", acq_test::icp_schema()}};
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  const auto real = [&](std::optional<double> v) {
    return bits(v.value_or(std::numeric_limits<double>::quiet_NaN()));
  };
  for (const auto& [name, spec] : schemas) {
    SCOPED_TRACE(name);
    const auto layout = acq_test::layout_of(spec, 1);
    std::vector<Bytes> records;
    for (int i = 0; i < 70; ++i) {  // more than one chunk of scan_table's loops
      records.push_back(acq_test::record(
          layout,
          {{"ScanID", 1000 - 7 * i}, {"ScanMethodID", i % 2}, {"TimeSegmentID", -i},
           {"ScanTime", 0.25 * i + 0.1}, {"MSLevel", 1 + i % 3}, {"ScanType", i - 1},
           {"IonPolarity", i % 3}, {"MzOfInterest", 300.5 - 150.0 * i},
           {"CollisionEnergy", 1.5 * i}, {"TIC", 1e6 / (i + 1)}, {"BasePeakMZ", 100.25 + i},
           {"BasePeakValue", -2.0 * i}, {"CalibrationID", i}},
          {{{"SpectrumFormatID", i == 4 ? 7 : 1}, {"SpectrumOffset", 68.0 * i},
            {"ByteCount", i == 3 ? 0 : 12 * i}, {"PointCount", i == 3 ? 0 : i - 1}}}));
    }
    DirectoryFiles files;
    files["AcqData/MSScan.bin"] = acq_test::msscan(spec.version == "2.0" ? 2 : 1, 1,
                                                   {acq_test::tof_peak_format(1)}, records);
    files["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(spec));
    files["AcqData/MSPeak.bin"] = Bytes(100, 0);
    const Acquisition a = open_files(tmp, files, name + ".d");
    const ScanTable t = a.scan_table();
    ASSERT_EQ(t.scan_id.size(), a.size());
    ASSERT_EQ(a.size(), 70u);
    for (std::size_t i = 0; i < a.size(); ++i) {
      SCOPED_TRACE(i);
      const ScanInfo s = a.scan(i);
      EXPECT_EQ(t.scan_id[i], s.scan_id);
      EXPECT_EQ(t.scan_method_id[i], s.scan_method_id);
      EXPECT_EQ(t.time_segment_id[i], s.time_segment_id);
      EXPECT_EQ(bits(t.retention_time_min[i]), bits(s.retention_time_min));
      EXPECT_EQ(t.ms_level[i], s.ms_level);
      EXPECT_EQ(t.scan_type[i], s.scan_type.value_or(0));
      EXPECT_EQ(t.polarity[i], !s.polarity ? 0 : *s.polarity == Polarity::positive ? 1 : -1);
      EXPECT_EQ(bits(t.precursor_mz[i]), real(s.precursor_mz));
      EXPECT_EQ(bits(t.collision_energy[i]), real(s.collision_energy));
      EXPECT_EQ(bits(t.isolation_width[i]), real(s.isolation_width));
      EXPECT_EQ(t.charge_state[i], s.charge_state.value_or(0));
      EXPECT_EQ(bits(t.tic[i]), real(s.tic));
      EXPECT_EQ(bits(t.base_peak_mz[i]), real(s.base_peak_mz));
      EXPECT_EQ(bits(t.base_peak_value[i]), real(s.base_peak_value));
      EXPECT_EQ(t.profile_points[i], s.profile_points);
      EXPECT_EQ(t.centroid_points[i], s.centroid_points);
      EXPECT_EQ(t.incomplete[i] != 0, s.incomplete);
    }
  }
}

// The rules from stored fields to scan values, over MS1 and MS2 records, in scan() and in
// scan_table() alike: precursor and collision energy for MS2 and higher only (MS1 records store
// 0 or leftovers there), a precursor only when positive, polarity from 0 and 1 only.
TEST(AcquisitionScanTable, RulesGiveTheSameValuesInScanAndTable) {
  struct Row {
    int ms_level, ion_polarity;
    double mz_of_interest, collision_energy;
    std::optional<Polarity> polarity;
    std::optional<double> precursor_mz, energy;
  };
  constexpr auto none = std::nullopt;
  constexpr auto pos = Polarity::positive, neg = Polarity::negative;
  const std::vector<Row> rows = {
      {1, 0, 0.0, 0.0, pos, none, none},        {1, 1, 611.25, 20.5, neg, none, none},
      {0, 0, 400.5, 10.0, pos, none, none},     {2, 0, 611.25, 20.5, pos, 611.25, 20.5},
      {2, 2, 0.0, 0.0, none, none, 0.0},        {2, -1, -5.5, 35.0, none, none, 35.0},
      {3, 1, 300.125, 12.5, neg, 300.125, 12.5},
  };
  test_support::TempDir tmp;
  const auto spec = acq_test::tof_older_schema();
  const auto layout = acq_test::layout_of(spec, 1);
  std::vector<Bytes> records;
  for (const Row& r : rows) {
    records.push_back(acq_test::record(
        layout,
        {{"MSLevel", r.ms_level}, {"IonPolarity", r.ion_polarity},
         {"MzOfInterest", r.mz_of_interest}, {"CollisionEnergy", r.collision_energy}},
        {{{"SpectrumFormatID", 1}}}));
  }
  DirectoryFiles files;
  files["AcqData/MSScan.bin"] =
      acq_test::msscan(1, 1, {acq_test::tof_peak_format(1)}, records);
  files["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(spec));
  const Acquisition a = open_files(tmp, files, "rules.d");
  const ScanTable t = a.scan_table();
  ASSERT_EQ(a.size(), rows.size());
  const auto nan_for = [](std::optional<double> v) {
    return std::bit_cast<std::uint64_t>(v.value_or(std::numeric_limits<double>::quiet_NaN()));
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const Row& r = rows[i];
    const ScanInfo s = a.scan(i);
    EXPECT_EQ(s.polarity, r.polarity);
    EXPECT_EQ(s.precursor_mz, r.precursor_mz);
    EXPECT_EQ(s.collision_energy, r.energy);
    EXPECT_EQ(t.polarity[i], !r.polarity ? 0 : *r.polarity == pos ? 1 : -1);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(t.precursor_mz[i]), nan_for(r.precursor_mz));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(t.collision_energy[i]), nan_for(r.energy));
  }
}

}  // namespace
}  // namespace kestrane::acq
