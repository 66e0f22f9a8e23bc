// The calibration readers and loops. Input: a selector byte, then
//   selector % 3 == 0: an MSMassCal.bin image, queried at every offset given by its own u32 words
//                      (a calibration made from a row can give finite masses) and by row index
//                      (each row must then be usable exactly when row_at is);
//   selector % 3 == 1: DefaultMassCal.xml bytes (usable entries keep at most 6 coefficients and
//                      can give finite masses);
//   selector % 3 == 2: u32 flags, 4 + 6 f64 calibration values, then f64 flight times: the
//                      chunked loops must give the plain loop's bits, for values and an axis,
//                      and say whether every result is finite
//                      (any NaN for a NaN: which operand's payload a NaN result carries depends
//                      on the operand order, which compilers may swap in commutative operations).
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "src/acq/calibration.hpp"
#include "src/raw/le.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "acq_calibration_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i]) &&
        !(std::isnan(a[i]) && std::isnan(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrane::acq;
  using kestrane::raw::load_le;
  if (size < 1) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      auto file = MassCalFile::parse(std::vector<std::uint8_t>(rest.begin(), rest.end()));
      if (!file) return 0;
      for (std::size_t at = 0; at + 4 <= rest.size(); at += 4) {
        const auto row = file->row_at(load_le<std::uint32_t>(rest, at));
        if (!row) continue;
        const auto cal = row_calibration(*row, load_le<std::uint32_t>(rest, at));
        if (cal && !calibration_usable(*cal)) fail("a row that cannot give finite masses is used");
      }
      for (std::uint64_t i = 0; i <= file->row_count(); ++i) {
        const bool usable = file->row(i).has_value();
        const bool at = file->row_at(static_cast<std::int64_t>(72 + 84 * i)).has_value();
        if (usable != at || (i == file->row_count() && usable)) fail("row and row_at disagree");
      }
      return 0;
    }
    case 1: {
      const auto parsed = parse_default_mass_cal(rest);
      if (!parsed) return 0;
      for (const auto& [id, entry] : parsed->entries) {
        if (entry.calibration && std::popcount(entry.calibration->flags) > 6) {
          fail("more than 6 orders accepted");
        }
        if (entry.calibration && !calibration_usable(*entry.calibration)) {
          fail("an entry that cannot give finite masses is used");
        }
      }
      return 0;
    }
    default: {
      if (rest.size() < 84) return 0;
      Calibration cal;
      cal.flags = load_le<std::uint32_t>(rest, 0);
      cal.a = load_le<double>(rest, 4);
      cal.t0 = load_le<double>(rest, 12);
      cal.t_min = load_le<double>(rest, 20);
      cal.t_max = load_le<double>(rest, 28);
      for (std::size_t j = 0; j < 6; ++j) cal.c[j] = load_le<double>(rest, 36 + 8 * j);
      std::vector<double> t;
      for (std::size_t at = 84; at + 8 <= rest.size(); at += 8) t.push_back(load_le<double>(rest, at));
      std::vector<double> a = t, b = t;
      calibrate_values_reference(cal, a);
      const bool finite = calibrate_values(cal, b);
      if (!same_bits(a, b)) fail("chunked values differ from the plain loop");
      bool all = true;
      for (const double v : a) all = all && std::isfinite(v);
      if (finite != all) fail("calibrate_values misreports finiteness");
      if (t.size() >= 2) {
        std::vector<double> x(t.size() * 8), y(t.size() * 8);
        calibrate_axis_reference(cal, t[0], t[1], x);
        calibrate_axis(cal, t[0], t[1], y);
        if (!same_bits(x, y)) fail("chunked axis differs from the plain loop");
      }
      return 0;
    }
  }
}
