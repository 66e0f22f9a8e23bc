// The kestrane-acq-scans tool over a generated run: exact JSON lines (keys, order, 17
// significant digits), the text lines' summary, and its refusal of bad arguments.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "src/acq/calibration.hpp"
#include "tests/support/acq_builders.hpp"
#include "tests/support/fixed_directory.hpp"
#include "tests/support/run_command.hpp"

namespace kestrane::acq {
namespace {

std::string run_tool(const std::string& args, int* status) {
  return test_support::run_command(std::string(KESTRANE_ACQ_SCANS_TOOL) + " " + args, status);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

std::string g17(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

TEST(AcqScansTool, PrintsOneJsonObjectPerRecordWithTheAgreedKeys) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 3, 40, 2);
  int status = -1;
  const auto out = lines(run_tool("'" + tmp.join("run.d") + "' --json 2>/dev/null", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out.size(), 3u);

  const auto counts = acq_test::tof_counts(40, 1, 2);
  double tic = 0.0;
  std::size_t base = 0;
  for (std::size_t k = 0; k < counts.size(); ++k) {
    tic += counts[k];
    if (counts[k] > counts[base]) base = k;
  }
  const auto row = acq_test::tof_row(1);
  const Calibration cal{row[0], row[1], row[2], row[3], acq_test::tof_default().flags,
                        {row[4], row[5], row[6], row[7], row[8], row[9]}};
  const auto mz = [&](std::size_t k) {
    return g17(calibrate_point(cal, 20000.0 + static_cast<double>(k) * 0.5));
  };
  EXPECT_EQ(out[1],
            "{\"index\": 1, \"scan_id\": 3, \"rt_min\": 0.02, \"ms_level\": 1, \"scan_type\": "
            "\"full\", \"polarity\": \"positive\", \"precursor_mz\": null, \"representation\": "
            "\"profile\", \"points\": 40, \"tic\": " + g17(tic) + ", \"base_mz\": " + mz(base) +
                ", \"base_intensity\": " + g17(counts[base]) + ", \"mz_first\": " + mz(0) +
                ", \"mz_last\": " + mz(39) +
                ", \"calibration\": \"per-scan\", \"status\": \"ok\", \"profile_status\": "
                "\"ok\", \"centroid_status\": null}");
}

TEST(AcqScansTool, TextModeEndsWithTheSummaryAndBadArgumentsAreRefused) {
  test_support::TempDir tmp;
  acq_test::write_tof_run(tmp.join("run.d"), 2, 10, 3);
  int status = -1;
  const auto out = lines(run_tool("--prefer centroid '" + tmp.join("run.d") + "'", &status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(out.size(), 5u);  // heading, column names, two records, summary
  EXPECT_EQ(out.back(),
            "summary: records 2, emitted 2, empty 0, incomplete 0, failed 0, warnings 0");
  EXPECT_NE(out[2].find(" profile "), std::string::npos) << out[2];  // the fallback

  for (const char* args : {"", "--prefer sideways x", "a b"}) {
    SCOPED_TRACE(args);
    run_tool(std::string(args) + " 2>/dev/null", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
  }
  const std::string missing = run_tool("'" + tmp.join("nowhere") + "' 2>&1", &status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(missing, "I/O error: " + std::string(std::strerror(ENOENT)) + " (os error 2)\n");
}

}  // namespace
}  // namespace kestrane::acq
