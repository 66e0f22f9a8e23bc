// Writes the seed corpora of the acq_* fuzz targets with the builders, in each target's input
// framing (see the top of each fuzz/acq_*_fuzz.cpp):
//   acq_fuzz_seeds FUZZ_CORPUS_DIR
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/acq_builders.hpp"

namespace {

namespace fs = std::filesystem;
using kestrane::acq_test::Bytes;
namespace b = kestrane::acq_test;

void put_u32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_f64(Bytes& out, double v) {
  const auto u = std::bit_cast<std::uint64_t>(v);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}

void save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / (name + ".bin"), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The acq_directory framing of a set of files.
Bytes framed(const std::vector<std::pair<int, Bytes>>& files) {
  Bytes out;
  for (const auto& [id, bytes] : files) {
    out.push_back(static_cast<std::uint8_t>(id));
    put_u32(out, static_cast<std::uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FUZZ_CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const std::vector<std::pair<std::string, b::SchemaSpec>> families = {
      {"tof_v1", b::tof_v1_schema()}, {"tof_older", b::tof_older_schema()},
      {"tof_v2", b::tof_v2_schema()}, {"gc", b::gc_schema()},
      {"quad_v2", b::quad_v2_schema()}, {"icp", b::icp_schema()}};
  for (const auto& [name, spec] : families) {
    save(root / "acq_schema", name, b::text_bytes(b::schema_xml(spec), name == "icp"));
  }

  const std::vector<std::pair<std::string, std::vector<b::FormatSpec>>> tables = {
      {"tof_run_length", {b::run_length_format(1), b::tof_peak_format(2)}},
      {"tof_lzf", {b::lzf_format(1), b::tof_peak_format(2)}},
      {"gc", {b::gc_peak_format(1)}},
      {"quad", {b::gc_peak_format(1), b::raw_format(2), b::tof_peak_format(3)}},
      {"icp", {b::channels_format(1)}}};
  for (const auto& [name, formats] : tables) {
    save(root / "acq_format_table", name, b::msscan(1, 1, formats, {Bytes(12, 7)}));
  }

  const auto frame_block = [](std::uint32_t n, const Bytes& block) {
    Bytes out;
    put_u32(out, n);
    out.insert(out.end(), block.begin(), block.end());
    return out;
  };
  const std::vector<std::int32_t> switches = {0, 0, 5, 200, 40000, 7, 127, 128, 32767, 32768, 0};
  std::vector<std::int32_t> runs(60, 0);
  for (std::size_t k = 0; k < runs.size(); k += 7) runs[k] = static_cast<std::int32_t>(k * 300);
  save(root / "acq_run_length", "width_switches",
       frame_block(11, b::run_length_block(35920.0, 0.5, switches)));
  save(root / "acq_run_length", "zero_runs",
       frame_block(60, b::run_length_block(1000.0, 0.25, runs, {true, true, true})));
  save(root / "acq_run_length", "instrument_like",
       frame_block(200, b::run_length_block(20000.0, 0.5, b::tof_counts(200, 3, 1))));
  save(root / "acq_run_length", "skip_past_end",
       frame_block(2, b::run_length_raw(0x90000002u, 0, {0xF3, 0xFF, 0xFF, 0xFF})));

  Bytes masscal = {0};
  const Bytes rows = b::mass_cal_file({b::tof_row(0), b::tof_row(1)}, 4);
  masscal.insert(masscal.end(), rows.begin(), rows.end());
  save(root / "acq_calibration", "mass_cal_rows", masscal);
  Bytes defaults = {1};
  const Bytes xml = b::text_bytes(b::default_mass_cal_xml({b::tof_default(), {2, 0.5, 10.0, 0, 0, 0, {}}}), true);
  defaults.insert(defaults.end(), xml.begin(), xml.end());
  save(root / "acq_calibration", "default_mass_cal", defaults);
  Bytes loops = {2};
  const auto d = b::tof_default();
  put_u32(loops, d.flags);
  for (const double v : {d.a, d.t0, d.t_min, d.t_max}) put_f64(loops, v);
  for (const double v : d.c) put_f64(loops, v);
  for (const double t : {15000.0, 0.5, 19000.0, 50000.0, 95000.0, -1.0}) put_f64(loops, t);
  save(root / "acq_calibration", "loops", loops);

  // Whole directories: a calibrated TOF run with both block kinds, and an ICP run without schema.
  const auto layout = b::layout_of(b::tof_v1_schema(), 2);
  b::DataFileBuilder profile(258), peak(259);
  const auto counts = b::tof_counts(40, 1, 1);
  const Bytes rle = b::run_length_block(20000.0, 0.5, counts);
  const std::vector<double> x = {30000.0, 41000.5};
  const std::vector<float> y = {12.5f, 99.0f};
  const Bytes centroid = b::centroid_block(x, y);
  const auto p0 = profile.add(rle);
  const auto c0 = peak.add(centroid);
  const Bytes record = b::record(
      layout, {{"ScanID", 1}, {"ScanTime", 0.1}, {"MSLevel", 1}, {"CalibrationID", 1},
               {"MassCalOffset", 72}},
      {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(p0)},
        {"ByteCount", static_cast<double>(rle.size())}, {"PointCount", 40}},
       {{"SpectrumFormatID", 2}, {"SpectrumOffset", static_cast<double>(c0)},
        {"ByteCount", static_cast<double>(centroid.size())}, {"PointCount", 2}}});
  save(root / "acq_directory", "tof",
       framed({{0, b::msscan(1, 2, {b::run_length_format(1), b::tof_peak_format(2)}, {record, record})},
               {1, b::text_bytes(b::schema_xml(b::tof_v1_schema()))},
               {2, profile.bytes()},
               {3, peak.bytes()},
               {4, b::mass_cal_file({b::tof_row(0)})},
               {5, b::text_bytes(b::default_mass_cal_xml({b::tof_default()}))},
               {6, b::text_bytes(b::msts_xml({{1, 2}}), true)}}));
  const auto icp_layout = b::layout_of(b::icp_schema(), 1);
  b::DataFileBuilder icp_profile(258);
  const std::vector<float> cx = {1.0f, 2.0f};
  const std::vector<double> cy = {52.0, 7.0};
  const Bytes channels = b::channels_block(cx, cy, cy, cy);
  const auto ch = icp_profile.add(channels);
  const Bytes icp_record = b::record(
      icp_layout, {{"ScanID", 1}, {"TimeSegmentID", 1}, {"XSpecificParamType.Offset", 72},
                   {"XSpecificParamType.ByteCount", 24}},
      {{{"SpectrumFormatID", 1}, {"SpectrumOffset", static_cast<double>(ch)},
        {"ByteCount", static_cast<double>(channels.size())}, {"PointCount", 2}}});
  save(root / "acq_directory", "icp_no_schema",
       framed({{0, b::msscan(1, 1, {b::channels_format(1)}, {icp_record})},
               {2, icp_profile.bytes()},
               {7, b::xspecific_bin({{1.0, 1}, {2.0, 2}})},
               {8, b::text_bytes(b::xspecific_xml(1, {{1, 0.2}, {2, 0.2}}), true)},
               {9, b::text_bytes(b::xaddition_xml(1, {{1, 12, 12}, {2, 13, 13}}))}}));
  return 0;
}
