// m/z calibration of flight times: m/z = (a (t - t0))^2 - sum_j c_j tc^(k_j), with k_1 < k_2 <
// ... the set bits of F and tc = clamp(t, t_min, t_max); the per-scan rows of MSMassCal.bin,
// the defaults of DefaultMassCal.xml, and the choice between them for one record.
//
// Operation order, fixed so that every implementation gives the same bits: t = start + k * step
// (product, then sum); s = a * (t - t0); sq = s * s; tc = min(max(t, t_min), t_max); p = 1.0,
// sum = 0.0; for each order k from 0 to the highest set bit of F: if bit k is set, sum = sum +
// c_j * p; then p = p * tc. The result is sq - sum, or sq alone when F = 0.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/acq/status.hpp"
#include "src/error.hpp"

namespace kestrane::acq {

inline constexpr std::size_t calibration_max_terms = 6;
// The highest polynomial order a usable calibration may use: instruments use orders up to 11.
inline constexpr unsigned calibration_max_order = 15;

struct Calibration {
  double a = 0.0;
  double t0 = 0.0;
  double t_min = 0.0;
  double t_max = 0.0;
  std::uint32_t flags = 0;  // F: bit k set = order k in use
  std::array<double, calibration_max_terms> c{};  // the coefficients of the set bits, in order
};

// True when `cal` can give finite masses: a, t0, t_min, t_max and the coefficients of its orders
// finite, no order above calibration_max_order, and the correction finite over the whole clamp
// range. A calibration that is not usable is never applied: the choice moves to its next step.
bool calibration_usable(const Calibration& cal) noexcept;

// The formula for one flight time, written plainly: the reference of the loops below.
double calibrate_point(const Calibration& cal, double t) noexcept;

// Plain loops over points, one calibrate_point each: out[k] = m/z of start + k * step, and
// values[k] = m/z of values[k].
void calibrate_axis_reference(const Calibration& cal, double start, double step,
                              std::span<double> out) noexcept;
void calibrate_values_reference(const Calibration& cal, std::span<double> values) noexcept;

// The same results, bit for bit, computed a chunk of points at a time with the order loop
// outside the point loop, so that the point loops vectorise. False when some result is not
// finite (a flight time far outside the instrument's range, or an axis that is not finite):
// such masses are never presented.
bool calibrate_axis(const Calibration& cal, double start, double step,
                    std::span<double> out) noexcept;
bool calibrate_values(const Calibration& cal, std::span<double> values) noexcept;

// --- MSMassCal.bin -----------------------------------------------------------------------------

inline constexpr std::uint32_t mass_cal_magic = 260;
inline constexpr std::uint64_t mass_cal_rows_at = 72;
inline constexpr std::uint64_t mass_cal_row_size = 84;  // u32 count, then 10 x f64
inline constexpr std::uint32_t mass_cal_row_count_word = 10;

// One row: a, t0, t_min, t_max, c1..c6.
struct MassCalRow {
  std::array<double, 10> values{};
};

// The per-scan rows. Parse errors "MSMassCal.bin: shorter than its 72-byte head", "MSMassCal.bin:
// magic N is not 260", "MSMassCal.bin: version word N is not 1".
class MassCalFile {
 public:
  [[nodiscard]] static Result<MassCalFile> parse(std::vector<std::uint8_t> bytes);

  // The row whose count word lies at `offset`: nullopt unless offset >= 72, the row fits in the
  // file and its count word is 10.
  std::optional<MassCalRow> row_at(std::int64_t offset) const noexcept;
  // Row i counted from 72: (file length - 72) div 84 rows.
  std::uint64_t row_count() const noexcept;
  std::optional<MassCalRow> row(std::uint64_t i) const noexcept;
  // Rows counted from 72 holding a value that is not finite: no calibration made from them is
  // used.
  std::uint64_t non_finite_rows() const noexcept { return non_finite_rows_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t non_finite_rows_ = 0;
};

// --- DefaultMassCal.xml ------------------------------------------------------------------------

// One DefaultCalibration: the flags of its Polynomial step, and the whole calibration when both
// the Traditional and the Polynomial step are usable.
struct DefaultCalibration {
  std::optional<std::uint32_t> flags;
  std::optional<Calibration> calibration;
};

struct DefaultCalibrations {
  std::map<std::int64_t, DefaultCalibration> entries;
  std::vector<std::string> warnings;  // entries that could not be used, and why
};

// Parses DefaultMassCal.xml. The XML loader's errors (prefixed "DefaultMassCal.xml: "); an
// entry with a missing or unreadable step, an unknown formula, more than 6 orders, orders above
// 15, too few values or values that cannot give finite masses is kept without what it lacks
// and named in `warnings`.
[[nodiscard]] Result<DefaultCalibrations> parse_default_mass_cal(
    std::span<const std::uint8_t> xml);

// The polynomial coefficients of a row under flags F: popcount(F) coefficients, then zeros.
// nullopt when popcount(F) > 6, a coefficient past popcount(F) is not zero (the row was made
// for other orders) or the calibration is not usable.
std::optional<Calibration> row_calibration(const MassCalRow& row, std::uint32_t flags) noexcept;

// A record's calibration and where it came from.
struct CalibrationChoice {
  CalibrationSource source = CalibrationSource::uncalibrated;
  Calibration calibration;
};

// The four-step choice: (1) the row at the record's MassCalOffset when it is valid; (2) when no
// record's offset is valid and the file holds one row per record, row `index`; (3) the default
// entry of the record's CalibrationID; (4) uncalibrated. A row needs the flags of the record's
// CalibrationID from DefaultMassCal.xml.
CalibrationChoice choose_calibration(const MassCalFile* rows, const DefaultCalibrations* defaults,
                                     std::optional<std::int64_t> calibration_id,
                                     std::optional<std::int64_t> mass_cal_offset,
                                     bool by_index_allowed, std::uint64_t index) noexcept;

}  // namespace kestrane::acq
