// The calibration formula, the bit-identity of the chunked loops with the plain loop, the
// readers of MSMassCal.bin and DefaultMassCal.xml, and the four-step choice.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "src/acq/calibration.hpp"
#include "tests/support/acq_builders.hpp"

namespace kestrane::acq {
namespace {

TEST(CalibrationFormula, SquareMinusPolynomialOfTheClampedTime) {
  // a = 0.5, t0 = 10, orders 0 and 2 (F = 5) with c = 1, 0.25, clamp to [0, 20].
  const Calibration cal{0.5, 10.0, 0.0, 20.0, 5, {1.0, 0.25}};
  struct Case {
    double t, mz;
  };
  const Case cases[] = {
      {30.0, 100.0 - (1.0 + 0.25 * 400.0)},   // tc clamped to t_max
      {14.0, 4.0 - (1.0 + 0.25 * 196.0)},     // inside
      {-6.0, 64.0 - 1.0},                     // tc clamped to t_min = 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.t);
    EXPECT_EQ(calibrate_point(cal, c.t), c.mz);
  }
  // F = 0: the square alone.
  EXPECT_EQ(calibrate_point({0.5, 10.0, 0.0, 20.0, 0, {7.0}}, 30.0), 100.0);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), 8 * a.size()) == 0);
}

TEST(CalibrationLoops, ChunkedLoopsAreBitIdenticalToThePlainLoop) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const std::uint32_t flag_sets[] = {0, 1, 3, 3095, 3597, 99, 0x80000001u, 0xFC000000u};
  for (const std::uint32_t flags : flag_sets) {
    SCOPED_TRACE(flags);
    Calibration cal{0.00057 + 1e-6 * u(rng), 1017.0 + u(rng), 19573.5, 93949.2, flags, {}};
    for (auto& c : cal.c) c = u(rng) * 1e-3;
    for (const std::size_t n : {0u, 1u, 63u, 64u, 65u, 1000u}) {
      std::vector<double> plain(n), fast(n);
      calibrate_axis_reference(cal, 15000.0, 137.3, plain);
      calibrate_axis(cal, 15000.0, 137.3, fast);
      EXPECT_TRUE(same_bits(plain, fast)) << n;

      std::vector<double> t(n);
      for (std::size_t k = 0; k < n; ++k) t[k] = 60000.0 + 50000.0 * u(rng);
      if (n > 3) {
        t[0] = std::numeric_limits<double>::quiet_NaN();
        t[1] = std::numeric_limits<double>::infinity();
        t[2] = -0.0;
      }
      std::vector<double> a = t, b = t;
      calibrate_values_reference(cal, a);
      calibrate_values(cal, b);
      EXPECT_TRUE(same_bits(a, b)) << n;
    }
  }
}

TEST(MassCalRows, ValidOnlyWhereTheRowFitsAndCountsTen) {
  const acq_test::MassCalValues v = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  auto file = MassCalFile::parse(acq_test::mass_cal_file({v, v}, 4));
  ASSERT_TRUE(file) << file.error().display();
  EXPECT_EQ(file->row_count(), 2u);  // 4 trailing bytes do not make a row
  struct Case {
    std::int64_t offset;
    bool valid;
  };
  const Case cases[] = {{72, true}, {156, true}, {71, false}, {-1, false}, {160, false},
                        {157, false}, {240, false}, {std::numeric_limits<std::int64_t>::max(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(file->row_at(c.offset).has_value(), c.valid);
  }
  EXPECT_EQ(file->row_at(156)->values[9], 10.0);
  auto nine = MassCalFile::parse(acq_test::mass_cal_file({v}, 0, 9));
  ASSERT_TRUE(nine);
  EXPECT_FALSE(nine->row(0));

  acq_test::Bytes bad = acq_test::mass_cal_file({v});
  bad[0] = 1;
  EXPECT_EQ(MassCalFile::parse(bad).error().display(),
            "parse error: MSMassCal.bin: magic 257 is not 260");
  EXPECT_EQ(MassCalFile::parse(acq_test::Bytes(71, 0)).error().display(),
            "parse error: MSMassCal.bin: shorter than its 72-byte head");
}

TEST(MassCalRows, CoefficientsPastTheOrdersMustBeZero) {
  MassCalRow row{{1, 2, 3, 4, 5, 6, 0, 0, 0, 0}};
  const auto two = row_calibration(row, 0b101);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->c[1], 6.0);
  EXPECT_FALSE(row_calibration(row, 0b1));            // c2 = 6 is not zero
  EXPECT_FALSE(row_calibration(row, 0b1111111));      // seven orders
}

TEST(MassCalRows, CalibrationsThatCannotGiveFiniteMassesAreNotUsed) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    MassCalRow row;
    std::uint32_t flags;
    bool usable;
  } cases[] = {
      {"finite, orders 0, 1, 2, 4, 10, 11", {{5.7e-4, 1017.4, 19573.5, 93949.2, 1, 2, 3, 4, 5, 6}}, 3095, true},
      {"order 15 of a large tc", {{1, 0, 0, 1e5, 1e-60, 0, 0, 0, 0, 0}}, 1u << 15, true},
      {"order 16", {{1, 0, 0, 1, 1, 0, 0, 0, 0, 0}}, 1u << 16, false},
      {"NaN a", {{nan, 0, 0, 1, 0, 0, 0, 0, 0, 0}}, 0, false},
      {"infinite t0", {{1, inf, 0, 1, 0, 0, 0, 0, 0, 0}}, 0, false},
      {"NaN t_min: the clamp would vanish", {{1, 0, nan, 1, 1, 0, 0, 0, 0, 0}}, 1, false},
      {"NaN coefficient", {{1, 0, 0, 1, nan, 0, 0, 0, 0, 0}}, 1, false},
      {"correction overflowing over the clamp range", {{1, 0, 0, 1e5, 1e300, 0, 0, 0, 0, 0}}, 1u << 11, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(row_calibration(c.row, c.flags).has_value(), c.usable);
  }
  // A usable calibration whose square overflows for the flight times at hand: reported, not
  // written as numbers.
  const auto huge = row_calibration({{1e300, 0, 0, 1, 0, 0, 0, 0, 0, 0}}, 0);
  ASSERT_TRUE(huge);
  std::vector<double> mz(4);
  EXPECT_FALSE(calibrate_axis(*huge, 1.0, 1.0, mz));
  std::vector<double> t = {0.0, 1e-300};
  EXPECT_TRUE(calibrate_values(*huge, t));
  t.push_back(nan);
  EXPECT_FALSE(calibrate_values(*huge, t));
}

TEST(DefaultMassCal, ReadsBothStepsAndNamesEntriesItCannotUse) {
  std::string xml = acq_test::default_mass_cal_xml(
      {{1, 0.5, 10.0, 3, 1.0, 2.0, {0.25, 0.125}}, {2, 0.25, 5.0, 0, 0.0, 0.0, {}}});
  const auto parsed = parse_default_mass_cal(acq_test::text_bytes(xml, true));
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(parsed->warnings.empty());
  const auto& one = parsed->entries.at(1).calibration;
  ASSERT_TRUE(one);
  EXPECT_EQ(one->a, 0.5);
  EXPECT_EQ(one->t_max, 2.0);
  EXPECT_EQ(one->c[1], 0.125);
  EXPECT_EQ(parsed->entries.at(2).flags, 0u);

  struct Case {
    const char* name;
    std::string from, to;
    const char* warning;
  };
  const Case cases[] = {
      {"unknown formula", "Traditional", "Quadratic",
       "DefaultMassCal.xml: entry 1: unknown calibration formula 'Quadratic'"},
      {"seven orders", "<ValueUseFlags>3<", "<ValueUseFlags>127<",
       "DefaultMassCal.xml: entry 1: more than 6 polynomial orders"},
      {"a missing value", "<Value Number=\"4\">", "<Value Number=\"9\">",
       "DefaultMassCal.xml: entry 1: unreadable Polynomial step"},
      {"orders at bits 26-31", "<ValueUseFlags>3<", "<ValueUseFlags>4227858432<",
       "DefaultMassCal.xml: entry 1: polynomial orders above 15"},
      {"a NaN coefficient", "<Value Number=\"4\">0.125<", "<Value Number=\"4\">NaN<",
       "DefaultMassCal.xml: entry 1: its values cannot give finite masses; not used"},
      {"an infinite t_max", "<Value Number=\"2\">2<", "<Value Number=\"2\">INF<",
       "DefaultMassCal.xml: entry 1: its values cannot give finite masses; not used"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string changed = xml;
    changed.replace(changed.find(c.from), c.from.size(), c.to);
    const auto p = parse_default_mass_cal(acq_test::text_bytes(changed));
    ASSERT_TRUE(p);
    ASSERT_FALSE(p->warnings.empty());
    EXPECT_EQ(p->warnings[0], c.warning);
    EXPECT_FALSE(p->entries.at(1).calibration);
  }
}

TEST(CalibrationChoice, FollowsTheFourRulesInOrder) {
  const auto row = [](double a) { return acq_test::MassCalValues{a, 1, 2, 3, 0.5, 0, 0, 0, 0, 0}; };
  auto rows = MassCalFile::parse(acq_test::mass_cal_file({row(10), row(11), row(12)}, 4));
  ASSERT_TRUE(rows);
  auto defaults = parse_default_mass_cal(acq_test::text_bytes(acq_test::default_mass_cal_xml(
      {{1, 20.0, 1.0, 1, 2.0, 3.0, {0.5}}, {2, 21.0, 1.0, 0, 2.0, 3.0, {}}})));
  ASSERT_TRUE(defaults);
  struct Case {
    const char* name;
    bool with_rows, with_defaults;
    std::optional<std::int64_t> id, offset;
    bool by_index;
    std::uint64_t index;
    CalibrationSource source;
    double a;
  };
  const Case cases[] = {
      {"row at its offset", true, true, 1, 156, false, 0, CalibrationSource::per_scan, 11},
      {"offset past the file, by index", true, true, 1, 16620, true, 2,
       CalibrationSource::per_scan_by_index, 12},
      {"offset past the file, index not allowed", true, true, 1, 16620, false, 2,
       CalibrationSource::default_entry, 20},
      {"row made for other orders", true, true, 2, 72, true, 0, CalibrationSource::default_entry, 21},
      {"no DefaultMassCal.xml: rows unusable", true, false, 1, 72, true, 0,
       CalibrationSource::uncalibrated, 0},
      {"no MSMassCal.bin", false, true, 1, 72, false, 0, CalibrationSource::default_entry, 20},
      {"no CalibrationID", true, true, std::nullopt, 72, true, 0, CalibrationSource::uncalibrated, 0},
      {"unknown CalibrationID", true, true, 5, 72, true, 0, CalibrationSource::uncalibrated, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto choice = choose_calibration(c.with_rows ? &*rows : nullptr,
                                           c.with_defaults ? &*defaults : nullptr, c.id, c.offset,
                                           c.by_index, c.index);
    EXPECT_EQ(choice.source, c.source);
    if (c.source != CalibrationSource::uncalibrated) {
      EXPECT_EQ(choice.calibration.a, c.a);
    }
  }
}

}  // namespace
}  // namespace kestrane::acq
