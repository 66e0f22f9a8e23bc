// The kestrane-scans tool over a generated directory: one line per scan, then the summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/fixed_directory.hpp"
#include "tests/support/run_command.hpp"

namespace kestrane::test_support {
namespace {

std::string run_tool(const std::string& dir, int* status) {
  return run_command(std::string(KESTRANE_SCANS_TOOL) + " '" + dir + "' 2>&1", status);
}

TEST(KestraneScansTool, PrintsEachScanAndTheSummary) {
  // Scan 1: a profile block (3 points); scan 2: an MS2 peak block (2 points, base peak at
  // 650.5); scan 3: a profile block past the end of its file, so no points.
  DataFile profile, peak;
  const std::vector<std::uint32_t> counts = {10, 40, 25};
  const std::vector<double> mz = {525.25, 650.5};
  const std::vector<float> intensity = {1.5f, 2.5f};
  Record r1, r2, r3;
  r1.scan_id = 11;
  r1.retention_time_min = 0.5;
  r1.mz_range_start = 100.0;
  r1.mz_range_end = 101.0;
  r1.first = profile.add_profile(counts);
  r2.scan_id = 12;
  r2.retention_time_min = 1.0;
  r2.ms_level = 2;
  r2.precursor_mz = 650.0;
  r2.first = peak.add_peak_interleaved(mz, intensity);
  r3.scan_id = 13;
  r3.retention_time_min = 1.5;
  r3.first = profile.add_profile(counts);
  r3.first->byte_offset += 1 << 20;
  TempDir tmp;
  const std::string dir = tmp.write_acquisition(
      "run.d", {msscan_image(284, {r1, r2, r3}), peak.bytes(), profile.bytes()});

  int status = -1;
  const std::string out = run_tool(dir, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("run.d: 3 scans, record stride 284\n"), std::string::npos) << out;
  EXPECT_NE(out.find("       0         11     1       30.000        3             75.0       100.5000\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("       1         12     2       60.000        2              4.0       650.5000\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("       2         13     1       90.000        0              0.0         0.0000\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("summary: 3 scans (2 MS1, 1 MS2, 0 other), 1 from profile blocks, 1 empty; "
                     "5 points; RT 30.000 to 90.000 s; total intensity 79\n"),
            std::string::npos) << out;
}

TEST(KestraneScansTool, ReportsOpenErrorsAndFails) {
  TempDir tmp;
  int status = -1;
  const std::string out = run_tool(tmp.path(), &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(out, "parse error: AcqData directory not found\n");
}

}  // namespace
}  // namespace kestrane::test_support
