// The converter over built directories: what each record becomes (type, representation,
// polarity, precursor, failure, arrays bit for bit), incomplete records skipped and counted, ICP
// channels as chromatograms, refused native IDs, cancellation and progress; selections and the
// TIC and base peak chromatograms of the spectra written.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "src/convert/convert.hpp"
#include "src/convert/generated.hpp"
#include "src/convert/mapping.hpp"
#include "src/spectrum/summary.hpp"
#include "tests/support/acq_builders.hpp"
#include "tests/support/fixed_directory.hpp"
#include "tests/support/mzml_support.hpp"

namespace kestrane::convert {
namespace {

using acq_test::Bytes;
using acq_test::DirectoryFiles;
using acq_test::Values;
namespace ts = test_support;

const float precursor32 = 611.3f;

Values block_at(std::uint64_t offset, std::size_t bytes, std::size_t points) {
  return {{"SpectrumFormatID", 2},
          {"SpectrumOffset", static_cast<double>(offset)},
          {"ByteCount", static_cast<double>(bytes)},
          {"PointCount", static_cast<double>(points)}};
}

// Quadrupole records (raw float32 profiles, m/z axis), one per row of the mapping table below.
DirectoryFiles quad_files(const std::vector<std::int64_t>& ids = {1, 2, 3, 5, 9, 10}) {
  auto spec = acq_test::quad_v2_schema();
  spec.head.insert(spec.head.end(), {{"MzIsolationWidth", "float"}, {"ChargeState", "short"}});
  const auto layout = acq_test::layout_of(spec, 1);
  acq_test::DataFileBuilder profile(258);
  const std::vector<float> y = {1.5f, 0.0f, 7.25f};
  const std::vector<float> y2 = {0.1f, 3.0e38f, 2.0f};
  const Bytes b0 = acq_test::raw_profile_block(100.0, 0.10000000149011612, y);
  const Bytes b1 = acq_test::raw_profile_block(200.0, 0.5, y2);
  const auto p0 = profile.add(b0), p1 = profile.add(b1);
  const auto scalars = [&](std::size_t i, double rt, int level, int type, int polarity) {
    return Values{{"ScanID", static_cast<double>(ids[i])}, {"ScanTime", rt}, {"MSLevel", level},
                  {"ScanType", type}, {"IonPolarity", polarity}, {"TimeSegmentID", 1}};
  };
  Values ms2 = scalars(1, 0.75, 2, 512, 1);
  ms2["MzOfInterest"] = precursor32;
  ms2["CollisionEnergy"] = 20.0;
  ms2["MzIsolationWidth"] = 1.5;
  ms2["ChargeState"] = 2;
  const std::vector<Bytes> records = {
      acq_test::record(layout, scalars(0, 0.5, 1, 1, 0), {block_at(p0, b0.size(), 3)}),
      acq_test::record(layout, ms2, {block_at(p1, b1.size(), 3)}),
      acq_test::record(layout, scalars(2, 0.75, 1, 2, 0), {{{"SpectrumFormatID", 2}}}),
      acq_test::record(layout, scalars(3, 1.0, 1, 1, 7), {block_at(p0, 20, 3)}),
      acq_test::record(layout, scalars(4, 1.25, 1, 1, 0),
                       {block_at(profile.bytes().size(), b0.size(), 3)}),
      acq_test::record(layout, scalars(5, 1.5, 2, 1, 0), {block_at(p0, b0.size(), 3)}),
  };
  DirectoryFiles f;
  f["AcqData/MSScan.bin"] = acq_test::msscan(2, 1, {acq_test::raw_format(2)}, records);
  f["AcqData/MSScan.xsd"] = acq_test::text_bytes(acq_test::schema_xml(spec));
  f["AcqData/MSProfile.bin"] = profile.bytes();
  return f;
}

struct Directory {
  ts::TempDir tmp;
  acq::Acquisition acq;
  std::string out;

  explicit Directory(const DirectoryFiles& files)
      : acq(open(tmp, files)), out(tmp.join("out/run.mzML")) {
    tmp.make_dir("out");
  }

  static acq::Acquisition open(const ts::TempDir& tmp, const DirectoryFiles& files) {
    acq_test::write_directory(tmp.join("run.d"), files);
    auto a = acq::Acquisition::open(tmp.join("run.d"));
    if (!a) throw std::runtime_error(a.error().display());
    return std::move(*a);
  }

  std::vector<std::string> output_files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(tmp.join("out"))) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }
};

bool has_term(pugi::xml_node node, const char* accession) {
  return node.find_child_by_attribute("cvParam", "accession", accession);
}

std::string term_value(pugi::xml_node node, const char* accession) {
  return node.find_child_by_attribute("cvParam", "accession", accession)
      .attribute("value")
      .value();
}

// The values of the array whose kind is `accession`, decoded independently of the writer.
std::vector<double> array_of(pugi::xml_node element, const char* accession) {
  for (const auto bda : element.child("binaryDataArrayList").children("binaryDataArray")) {
    if (!has_term(bda, accession)) continue;
    const bool narrow = has_term(bda, "MS:1000521");
    const std::size_t n = element.attribute("defaultArrayLength").as_ullong();
    const std::size_t width = narrow ? 4 : 8;
    auto bytes = ts::base64_decode(bda.child_value("binary"));
    if (has_term(bda, "MS:1000574") && !bytes.empty()) {
      bytes = ts::zlib_decompress(bytes, n * width);
    }
    std::vector<double> values(bytes.size() / width);
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (narrow) {
        float v;
        std::memcpy(&v, bytes.data() + 4 * k, 4);
        values[k] = v;
      } else {
        std::memcpy(&values[k], bytes.data() + 8 * k, 8);
      }
    }
    return values;
  }
  ADD_FAILURE() << "no array " << accession;
  return {};
}

std::vector<std::uint64_t> bits(std::span<const double> v) {
  std::vector<std::uint64_t> out;
  for (const double d : v) out.push_back(std::bit_cast<std::uint64_t>(d));
  return out;
}

TEST(Convert, EachRecordAsTheMappingSays) {
  Directory r(quad_files());
  ConvertOptions options;
  options.threads = 2;
  const auto summary = convert(r.acq, r.out, options);
  ASSERT_TRUE(summary.has_value()) << summary.error().display();
  EXPECT_EQ(summary->records, 6u);
  EXPECT_EQ(summary->written, 5u);
  EXPECT_EQ(summary->skipped, 1u);
  EXPECT_EQ(summary->empty, 1u);
  EXPECT_EQ(summary->failed, 1u);
  // Records 1 and 2 share a scan time: written as stored, and reported.
  EXPECT_EQ(summary->warnings,
            (std::vector<std::string>{
                "MSScan.bin: 1 records lie past the end of their data files (incomplete)",
                "1 spectra share their scan start time with another "
                                     "spectrum (written as stored; tools that key spectra by "
                                     "time report them as duplicates)"}));

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(r.out.c_str()));
  const auto mzml = doc.child("indexedmzML").child("mzML");
  const auto source = mzml.child("fileDescription").child("sourceFileList").child("sourceFile");
  EXPECT_STREQ(source.attribute("name").value(), "MSScan.bin");
  EXPECT_EQ(source.find_child_by_attribute("cvParam", "accession", "MS:1001508")
                .attribute("name")
                .value(),
            native_id_format_name);
  EXPECT_STREQ(mzml.child("softwareList").child("software").attribute("version").value(),
               std::string(software_version).c_str());
  EXPECT_STREQ(mzml.child("run").attribute("id").value(), "run");
  // An m/z axis names no analyzer: no component list.
  EXPECT_FALSE(mzml.child("instrumentConfigurationList").child("instrumentConfiguration")
                   .child("componentList"));

  struct Row {
    std::size_t record;
    const char* id;
    const char* ms_level;
    const char* type;            // MS1, MSn or SIM spectrum
    const char* polarity;        // positive, negative, or nullptr when omitted
    bool precursor;
    const char* failure;         // userParam value, or nullptr
  };
  const Row rows[] = {
      {0, "scanId=1", "1", "MS:1000579", "MS:1000130", false, nullptr},
      {1, "scanId=2", "2", "MS:1000580", "MS:1000129", true, nullptr},
      {2, "scanId=3", "1", "MS:1000582", "MS:1000130", false, nullptr},
      {3, "scanId=5", "1", "MS:1000579", nullptr, false, "malformed (profile block: malformed)"},
      // record 4 lies past the end of MSProfile.bin: skipped
      {5, "scanId=10", "2", "MS:1000580", "MS:1000130", false, nullptr},
  };
  const auto list = mzml.child("run").child("spectrumList");
  EXPECT_STREQ(list.attribute("count").value(), "5");
  auto spectrum = list.child("spectrum");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    ASSERT_TRUE(spectrum);
    EXPECT_STREQ(spectrum.attribute("id").value(), row.id);
    EXPECT_EQ(term_value(spectrum, "MS:1000511"), row.ms_level);
    EXPECT_TRUE(has_term(spectrum, row.type));
    EXPECT_TRUE(has_term(spectrum, "MS:1000128"));  // profile, even when empty
    for (const char* p : {"MS:1000130", "MS:1000129"}) {
      const bool expected = row.polarity != nullptr && std::strcmp(p, row.polarity) == 0;
      EXPECT_EQ(has_term(spectrum, p), expected);
    }
    const acq::ScanInfo info = r.acq.scan(row.record);
    const auto scan = spectrum.child("scanList").child("scan");
    EXPECT_EQ(scan.find_child_by_attribute("cvParam", "accession", "MS:1000016")
                  .attribute("value")
                  .as_double(),
              info.retention_time_min);
    const auto precursor = spectrum.child("precursorList").child("precursor");
    EXPECT_EQ(static_cast<bool>(precursor), row.precursor);
    if (row.precursor) {
      const double target = precursor32;  // the record's float32 value, widened
      const auto window = precursor.child("isolationWindow");
      EXPECT_EQ(std::stod(term_value(window, "MS:1000827")), target);
      EXPECT_EQ(term_value(window, "MS:1000828"), "0.75");  // half the isolation width
      EXPECT_EQ(term_value(window, "MS:1000829"), "0.75");
      const auto ion = precursor.child("selectedIonList").child("selectedIon");
      EXPECT_EQ(std::stod(term_value(ion, "MS:1000744")), target);
      EXPECT_EQ(term_value(ion, "MS:1000041"), "2");
      EXPECT_TRUE(has_term(precursor.child("activation"), "MS:1000133"));
      EXPECT_EQ(term_value(precursor.child("activation"), "MS:1000045"), "20");
    }
    const auto user = spectrum.child("userParam");
    EXPECT_EQ(static_cast<bool>(user), row.failure != nullptr);
    if (row.failure != nullptr) {
      EXPECT_STREQ(user.attribute("value").value(), row.failure);
    }
    const acq::Spectrum s = r.acq.read(row.record);
    EXPECT_EQ(bits(array_of(spectrum, "MS:1000514")), bits(s.mz));
    EXPECT_EQ(bits(array_of(spectrum, "MS:1000515")), bits(s.intensity));
    spectrum = spectrum.next_sibling("spectrum");
  }
  EXPECT_FALSE(spectrum);
}

DirectoryFiles icp_files() {
  const std::vector<float> x = {1.0f, 2.0f};
  acq_test::DataFileBuilder profile(258);
  const auto layout = acq_test::layout_of(acq_test::icp_schema(), 1);
  std::vector<Bytes> records;
  const double counts[3][2] = {{52.000443, 7.0}, {60.5, 8.25}, {1.0, 2.0}};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<double> c(counts[i], counts[i] + 2), none = {0.0, 0.0};
    const Bytes block = acq_test::channels_block(x, c, c, none);
    const auto at = profile.add(block);
    // The last block claims one point more than it holds.
    records.push_back(acq_test::record(
        layout, {{"ScanID", static_cast<double>(i + 1)}, {"MSLevel", 2}, {"TimeSegmentID", 1},
                 {"ScanTime", 0.25 * static_cast<double>(i + 1)}},
        {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(at)},
          {"ByteCount", static_cast<double>(block.size())}, {"PointCount", i == 2 ? 3 : 2}}}));
  }
  DirectoryFiles f;
  f["AcqData/MSScan.bin"] = acq_test::msscan(1, 1, {acq_test::channels_format(1)}, records);
  f["AcqData/MSScan.xsd"] =
      acq_test::text_bytes(acq_test::schema_xml(acq_test::icp_schema()));
  f["AcqData/MSProfile.bin"] = profile.bytes();
  f["MSTS_XAddition.xml"] =
      acq_test::text_bytes(acq_test::xaddition_xml(1, {{1, 31.0, 47.0}, {2, 12.0, 12.0}}), true);
  return f;
}

TEST(Convert, IcpChannelsBecomeChromatograms) {
  Directory r(icp_files());
  std::vector<std::pair<std::size_t, std::size_t>> progress;
  ConvertOptions options;
  options.progress = [&](std::size_t done, std::size_t total) {
    progress.emplace_back(done, total);
  };
  const auto summary = convert(r.acq, r.out, options);
  ASSERT_TRUE(summary.has_value()) << summary.error().display();
  EXPECT_EQ(summary->written, 2u);
  EXPECT_EQ(summary->failed, 1u);
  EXPECT_EQ(summary->chromatograms, 2u);
  ASSERT_FALSE(summary->warnings.empty());
  EXPECT_EQ(summary->warnings.back(),
            "1 scans could not be read and are missing from the chromatograms (first: scanId=3: "
            "malformed (profile block: malformed))");
  EXPECT_EQ(progress.back(), (std::pair<std::size_t, std::size_t>{3, 3}));

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(r.out.c_str()));
  const auto run = doc.child("indexedmzML").child("mzML").child("run");
  EXPECT_STREQ(run.child("spectrumList").attribute("count").value(), "0");
  struct Row {
    const char* id;
    const char* precursor;  // nullptr: none written
    const char* product;
    std::vector<double> counts;
  };
  const Row rows[] = {{"SIM Q1=31 Q3=47", "31", "47", {52.000443, 60.5}},
                      {"SIM mz=12", nullptr, "12", {7.0, 8.25}}};
  auto c = run.child("chromatogramList").child("chromatogram");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.attribute("id").value(), row.id);
    EXPECT_TRUE(has_term(c, "MS:1001472"));
    const auto precursor = c.child("precursor");
    EXPECT_EQ(static_cast<bool>(precursor), row.precursor != nullptr);
    if (row.precursor != nullptr) {
      EXPECT_EQ(term_value(precursor.child("isolationWindow"), "MS:1000827"), row.precursor);
    }
    EXPECT_EQ(term_value(c.child("product").child("isolationWindow"), "MS:1000827"), row.product);
    EXPECT_EQ(array_of(c, "MS:1000595"), (std::vector<double>{0.25, 0.5}));
    EXPECT_EQ(array_of(c, "MS:1000515"), row.counts);
    c = c.next_sibling("chromatogram");
  }
  EXPECT_FALSE(c);
}

TEST(Convert, NativeIdsThatCannotBeWrittenAreRefusedBeforeWriting) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> ids;
    const char* message;
  };
  const Case cases[] = {
      {"repeated", {1, 2, 3, 2, 9, 10},
       "parse error: MSScan.bin: records 1 and 3 share ScanID 2; native IDs must be unique"},
      {"negative", {1, 2, -3, 5, 9, 10},
       "parse error: MSScan.bin: record 2 has a negative ScanID (-3)"},
      // Record 4 is skipped (incomplete), so its ID may repeat another.
      {"repeated by a skipped record", {1, 2, 3, 5, 1, 10}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Directory r(quad_files(c.ids));
    const auto summary = convert(r.acq, r.out, {});
    if (c.message == nullptr) {
      EXPECT_TRUE(summary.has_value());
      continue;
    }
    ASSERT_FALSE(summary.has_value());
    EXPECT_EQ(summary.error().display(), c.message);
    EXPECT_TRUE(r.output_files().empty());
  }
}

TEST(Convert, CancelledConversionLeavesNoFile) {
  for (const bool icp : {false, true}) {
    SCOPED_TRACE(icp);
    Directory r(icp ? icp_files() : quad_files());
    StopFlag cancel;
    ConvertOptions options;
    options.cancel = &cancel;
    options.progress = [&](std::size_t, std::size_t) { cancel.request(); };
    const auto summary = convert(r.acq, r.out, options);
    ASSERT_FALSE(summary.has_value());
    EXPECT_EQ(summary.error().display(), "I/O error: conversion cancelled");
    EXPECT_TRUE(r.output_files().empty());
  }
}

TEST(Convert, SelectionPicksRecordsAndTheChromatogramsFollowTheSpectraWritten) {
  const auto levels = [](std::int32_t low, std::optional<std::int32_t> high) {
    Selection s;
    s.min_ms_level = low;
    s.max_ms_level = high;
    return s;
  };
  const auto times = [](double start, double end) {
    Selection s;
    s.start_min = start;
    s.end_min = end;
    return s;
  };
  Selection scans;
  scans.first_index = 1;
  scans.last_index = 2;
  Selection negative;
  negative.polarity = acq::Polarity::negative;
  Selection positive_ms1 = levels(1, 1);
  positive_ms1.polarity = acq::Polarity::positive;
  struct Case {
    const char* name;
    Selection selection;
    std::vector<std::size_t> records;  // written
    std::size_t selected, skipped;
  };
  const Case cases[] = {
      {"everything", {}, {0, 1, 2, 3, 5}, 6, 1},
      {"ms level 2-", levels(2, std::nullopt), {1, 5}, 2, 0},
      {"rt 0.75:1.25", times(0.75, 1.25), {1, 2, 3}, 4, 1},
      {"scans 1:2", scans, {1, 2}, 2, 0},
      {"negative", negative, {1}, 1, 0},
      {"positive ms1", positive_ms1, {0, 2}, 3, 1},
      {"nothing", times(5.0, 9.0), {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Directory r(quad_files());
    ConvertOptions options;
    options.threads = 2;
    options.selection = c.selection;
    std::size_t progress_total = 0;
    options.progress = [&](std::size_t, std::size_t total) { progress_total = total; };
    const auto summary = convert(r.acq, r.out, options);
    ASSERT_TRUE(summary.has_value()) << summary.error().display();
    EXPECT_EQ(summary->selected, c.selected);
    EXPECT_EQ(summary->skipped, c.skipped);
    EXPECT_EQ(summary->written, c.records.size());
    EXPECT_EQ(summary->chromatograms, 2u);
    EXPECT_EQ(progress_total, c.records.empty() ? 0 : c.records.size());
    const bool none = c.selected == 0;
    EXPECT_EQ(!summary->warnings.empty() &&
                  summary->warnings.back() ==
                      "the selection matches none of the 6 records; the mzML holds none of them",
              none);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(r.out.c_str()));
    const auto mzml = doc.child("indexedmzML").child("mzML");
    std::vector<std::string> ids;
    for (auto sp = mzml.child("run").child("spectrumList").child("spectrum"); sp;
         sp = sp.next_sibling("spectrum")) {
      ids.emplace_back(sp.attribute("id").value());
    }
    std::vector<std::string> expected_ids;
    std::vector<double> time, tic, bpc;
    for (const std::size_t record : c.records) {
      expected_ids.push_back(native_id(r.acq.scan(record)));
      time.push_back(r.acq.scan(record).retention_time_min);
      const acq::Spectrum s = r.acq.read(record);
      const auto sum = spectrum::summarise_intensity(s.intensity);
      tic.push_back(sum.tic);
      bpc.push_back(sum.base ? s.intensity[*sum.base] : 0.0);
    }
    EXPECT_EQ(ids, expected_ids);
    const auto content = mzml.child("fileDescription").child("fileContent");
    const auto list = mzml.child("run").child("chromatogramList");
    EXPECT_STREQ(list.attribute("count").value(), "2");
    const auto tic_c = list.find_child_by_attribute("chromatogram", "id", "TIC");
    const auto bpc_c = list.find_child_by_attribute("chromatogram", "id", "BPC");
    for (const auto& [element, term, values] :
         {std::tuple{tic_c, "MS:1000235", &tic}, std::tuple{bpc_c, "MS:1000628", &bpc}}) {
      SCOPED_TRACE(term);
      EXPECT_TRUE(has_term(content, term));
      EXPECT_TRUE(has_term(element, term));
      EXPECT_EQ(bits(array_of(element, "MS:1000595")), bits(time));
      EXPECT_EQ(bits(array_of(element, "MS:1000515")), bits(*values));
    }
  }
}

TEST(Convert, SelectionsThatCannotBeUsedAreRefusedBeforeWriting) {
  Selection low;
  low.min_ms_level = 0;
  Selection levels;
  levels.min_ms_level = 3;
  levels.max_ms_level = 2;
  Selection times;
  times.start_min = 5.0;
  times.end_min = 2.0;
  Selection nan;
  nan.end_min = std::numeric_limits<double>::quiet_NaN();
  Selection scans;
  scans.first_index = 9;
  scans.last_index = 3;
  const std::pair<Selection, const char*> cases[] = {
      {low, "ms level 0 is below 1"},
      {levels, "ms levels 3-2 end before they start"},
      {times, "retention times 5:2 end before they start"},
      {nan, "retention time NaN is not a finite number"},
      {scans, "scans 9:3 end before they start"},
  };
  for (const auto& [selection, message] : cases) {
    SCOPED_TRACE(message);
    Directory r(quad_files());
    ConvertOptions options;
    options.selection = selection;
    const auto summary = convert(r.acq, r.out, options);
    ASSERT_FALSE(summary.has_value());
    EXPECT_EQ(summary.error().display(), std::string("parse error: ") + message);
    EXPECT_TRUE(r.output_files().empty());
  }
}

TEST(Convert, SummaryLineNamesEveryCount) {
  ConvertSummary s;
  s.path = "out/a.mzML";
  s.records = 520;
  s.written = 498;
  s.skipped = 2;
  s.empty = 3;
  s.failed = 1;
  s.warnings = {"w"};
  s.seconds = 2.0;
  s.bytes = 50'000'000;
  s.chromatograms = 2;
  const auto line = [&](bool icp, bool restricted) {
    ConvertSummary t = s;
    t.icp = icp;
    t.restricted = restricted;
    t.selected = 500;
    return summary_line(t);
  };
  const char* tail = ", 2 skipped, 3 empty, 1 failed, 1 warnings, 2.00 s, 25.0 MB/s";
  EXPECT_EQ(line(false, false), std::string("out/a.mzML: 498 scans written") + tail);
  EXPECT_EQ(line(true, false), std::string("out/a.mzML: 2 chromatograms from 498 records") + tail);
  EXPECT_EQ(line(false, true),
            std::string("out/a.mzML: 498 scans written (500 of 520 records selected)") + tail);
}

}  // namespace
}  // namespace kestrane::convert
