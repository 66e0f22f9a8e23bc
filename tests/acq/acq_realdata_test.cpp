// The eight real directories against expected.json (found through $KESTRANE_REALDATA or as
// ../shared/realdata beside the project): every value to the decimals given, record counts,
// retention times and calibration sources; and the calibration examples worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

#include "src/acq/acquisition.hpp"
#include "src/acq/codecs.hpp"
#include "src/raw/read_bytes.hpp"
#include "tests/support/json.hpp"

namespace kestrane::acq {
namespace {

namespace fs = std::filesystem;
using test::Json;

std::string realdata() {
  if (const char* env = std::getenv("KESTRANE_REALDATA"); env != nullptr && *env != '\0') {
    return env;
  }
  return (fs::path(KESTRANE_SOURCE_DIR) / ".." / "shared" / "realdata").string();
}

#define REQUIRE_REALDATA()                                                                  \
  if (!fs::exists(fs::path(realdata()) / "expected.json")) {                               \
    GTEST_SKIP() << "no real data at " << realdata() << " (set KESTRANE_REALDATA)";         \
  }

// |actual - expected| within half a unit of the last decimal written.
void expect_to_decimals(double actual, const Json& expected, const std::string& what) {
  const double tolerance = 0.5 * std::pow(10.0, -expected.decimals()) * (1 + 1e-9);
  EXPECT_LE(std::abs(actual - expected.number), tolerance)
      << what << ": " << std::setprecision(17) << actual << " vs " << expected.text;
}

struct Summary {
  double tic = 0.0;
  std::size_t base = 0;
};

Summary summarise(const Spectrum& s) {
  Summary out;
  for (std::size_t k = 0; k < s.intensity.size(); ++k) {
    out.tic += s.intensity[k];
    if (s.intensity[k] > s.intensity[out.base]) out.base = k;
  }
  return out;
}

// Checks the keys of one spectrum description: points, tic, base peak, ends, channels.
void check_spectrum(const Spectrum& s, const Json& e, const std::string& where) {
  const Summary sum = summarise(s);
  for (const auto& [key, v] : e.members) {
    const std::string what = where + "." + key;
    if (key == "points") {
      EXPECT_EQ(s.mz.size(), static_cast<std::size_t>(v.number)) << what;
    } else if (key == "tic") {
      expect_to_decimals(sum.tic, v, what);
    } else if (key == "base_mz") {
      ASSERT_FALSE(s.mz.empty()) << what;
      expect_to_decimals(s.mz[sum.base], v, what);
    } else if (key == "base_intensity") {
      ASSERT_FALSE(s.mz.empty()) << what;
      expect_to_decimals(s.intensity[sum.base], v, what);
    } else if (key == "mz_first") {
      ASSERT_FALSE(s.mz.empty()) << what;
      expect_to_decimals(s.mz.front(), v, what);
    } else if (key == "mz_last") {
      ASSERT_FALSE(s.mz.empty()) << what;
      expect_to_decimals(s.mz.back(), v, what);
    } else if (key == "channels_mz") {
      ASSERT_EQ(s.mz.size(), v.items.size()) << what;
      for (std::size_t k = 0; k < v.items.size(); ++k) expect_to_decimals(s.mz[k], v.items[k], what);
    } else if (key == "base_cps") {
      ASSERT_EQ(s.accumulation_time_sec.size(), s.mz.size()) << what;
      expect_to_decimals(s.intensity[sum.base] / s.accumulation_time_sec[sum.base], v, what);
    } else if (key == "profile_status") {
      ASSERT_TRUE(s.profile_status) << what;
      EXPECT_EQ(to_string(*s.profile_status), v.text) << what;
    } else if (key == "representation") {
      ASSERT_TRUE(s.representation) << what;
      EXPECT_EQ(to_string(*s.representation), v.text) << what;
    }
  }
}

// The free-text calibration notes of expected.json, as sources.
CalibrationSource source_of(const std::string& note) {
  if (note.find("rule 2") != std::string::npos) return CalibrationSource::per_scan_by_index;
  if (note.find("DefaultMassCal.xml") != std::string::npos) return CalibrationSource::default_entry;
  ADD_FAILURE() << "unknown calibration note: " << note;
  return CalibrationSource::uncalibrated;
}

// Flight times of scan i's block of `kind`, uncalibrated: the profile axis or the centroid X.
std::vector<double> flight_times(const Acquisition& acq, std::size_t i, bool profile) {
  const RecordView r = acq.record(i);
  for (std::uint32_t j = 0; j < r.block_count(); ++j) {
    const auto format = r.block_integer(j, "SpectrumFormatID");
    const FormatEntry* entry = nullptr;
    for (const auto& f : acq.info().formats) {
      if (static_cast<std::int64_t>(f.format_id) == format) entry = &f;
    }
    if (entry == nullptr || (entry->kind == kind_profile) != profile) continue;
    const auto bytes = raw::read_bytes(
        acq.info().acq_data + (profile ? "/MSProfile.bin" : "/MSPeak.bin"),
        static_cast<std::uint64_t>(*r.block_integer(j, "SpectrumOffset")),
        static_cast<std::size_t>(*r.block_integer(j, "ByteCount")));
    EXPECT_TRUE(bytes);
    const auto n = static_cast<std::uint64_t>(*r.block_integer(j, "PointCount"));
    DoubleArray x, y;
    if (profile) {
      const auto axis = decode_run_length(*bytes, n, y);
      EXPECT_TRUE(axis);
      for (std::uint64_t k = 0; k < n; ++k) x.push_back(axis->start + static_cast<double>(k) * axis->step);
    } else {
      EXPECT_TRUE(decode_centroid(*bytes, n, entry->axes[1].storage, x, y));
    }
    return std::vector<double>(x.begin(), x.end());
  }
  return {};
}

Calibration default_calibration(const Acquisition& acq, std::size_t i) {
  const auto bytes = raw::read_file(acq.info().acq_data + "/DefaultMassCal.xml");
  EXPECT_TRUE(bytes);
  const auto defaults = parse_default_mass_cal(*bytes);
  EXPECT_TRUE(defaults);
  return *defaults->entries.at(*acq.scan(i).calibration_id).calibration;
}

TEST(RealData, EveryDirectoryGivesTheExpectedValues) {
  REQUIRE_REALDATA();
  std::ifstream in(fs::path(realdata()) / "expected.json");
  std::stringstream text;
  text << in.rdbuf();
  const Json expected = test::JsonParser(text.str()).parse();
  std::size_t directories = 0;
  for (const auto& [name, e] : expected.members) {
    if (name.starts_with("_")) continue;
    SCOPED_TRACE(name);
    ++directories;
    const auto acq = Acquisition::open((fs::path(realdata()) / name).string());
    ASSERT_TRUE(acq) << acq.error().display();
    EXPECT_TRUE(acq->warnings().empty()) << acq->warnings().front();
    const std::size_t scan = e.find("scan") ? static_cast<std::size_t>(e.find("scan")->number) : 0;
    const Prefer prefer = e.find("representation") && e.find("representation")->text == "centroid"
                              ? Prefer::centroid
                              : Prefer::profile;
    const Spectrum s = acq->read(scan, prefer);
    check_spectrum(s, e, name);
    for (const auto& [key, v] : e.members) {
      if (key == "records") {
        EXPECT_EQ(acq->size(), static_cast<std::size_t>(v.number));
      } else if (key == "rt_first") {
        expect_to_decimals(acq->scan(0).retention_time_min, v, key);
      } else if (key == "rt_last") {
        expect_to_decimals(acq->scan(acq->size() - 1).retention_time_min, v, key);
      } else if (key == "ms_level") {
        EXPECT_EQ(acq->scan(scan).ms_level, static_cast<int>(v.number));
      } else if (key == "precursor_mz") {
        ASSERT_TRUE(acq->scan(scan).precursor_mz);
        expect_to_decimals(*acq->scan(scan).precursor_mz, v, key);
      } else if (key == "scan_type") {
        EXPECT_EQ(acq->scan(scan).scan_type, v.text == "SIM" ? 2 : 1);
      } else if (key == "full_scans" || key == "sim_scans") {
        std::size_t count = 0;
        for (std::size_t i = 0; i < acq->size(); ++i) {
          count += acq->scan(i).scan_type == (key == "sim_scans" ? 2 : 1);
        }
        EXPECT_EQ(count, static_cast<std::size_t>(v.number)) << key;
      } else if (key == "calibration") {
        EXPECT_EQ(s.calibration, source_of(v.text));
      } else if (key == "default_calibration_base_mz") {
        const auto t = flight_times(*acq, scan, true);
        ASSERT_EQ(t.size(), s.mz.size());
        expect_to_decimals(calibrate_point(default_calibration(*acq, scan), t[summarise(s).base]),
                           v, key);
      } else if (key == "scan0") {
        check_spectrum(acq->read(0, prefer), v, name + ".scan0");
      } else if (key == "centroid") {
        const Spectrum c = acq->read(scan, Prefer::centroid);
        EXPECT_EQ(c.representation, Representation::centroid);
        check_spectrum(c, v, name + ".centroid");
      } else if (key == "scan" || key == "representation" || key == "note" || key == "points" ||
                 key == "tic" || key.starts_with("base_") || key.starts_with("mz_") ||
                 key == "channels_mz") {
        // checked above
      } else {
        ADD_FAILURE() << "expected.json key not checked: " << name << "." << key;
      }
    }
  }
  EXPECT_EQ(directories, 8u);
}

TEST(RealData, ClampChangesTheFirstCentroidOfTheVersion2Directory) {
  REQUIRE_REALDATA();
  // Scan 1's first centroid lies below t_min: 100.004458 with the per-scan row and 100.004237
  // with the default (the record's MinX), each only with the clamp.
  const auto acq = Acquisition::open(realdata() + "/tof-centroid-v2.D");
  ASSERT_TRUE(acq) << acq.error().display();
  const Spectrum s = acq->read(1, Prefer::centroid);
  ASSERT_FALSE(s.mz.empty());
  EXPECT_NEAR(s.mz[0], 100.004458, 5e-7);
  EXPECT_EQ(s.calibration, CalibrationSource::per_scan);
  const double t = flight_times(*acq, 1, false)[0];
  Calibration cal = default_calibration(*acq, 1);
  EXPECT_LT(t, cal.t_min);
  EXPECT_NEAR(calibrate_point(cal, t), 100.004237, 5e-7);
  EXPECT_NEAR(calibrate_point(cal, t), *acq->record(1).block_real(1, "MinX"), 1e-9);
  cal.t_min = -1e300;  // no clamp
  EXPECT_NEAR(calibrate_point(cal, t), 100.004284, 5e-7);
}

}  // namespace
}  // namespace kestrane::acq
