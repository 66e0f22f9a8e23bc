#include "src/acq/calibration.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "src/acq/clones.hpp"
#include "src/acq/xml.hpp"
#include "src/raw/le.hpp"

namespace kestrane::acq {

namespace {

using raw::load_le;

// The highest order in use plus one (0 when F = 0), and each order's coefficient or none.
struct Terms {
  unsigned orders = 0;
  std::array<double, 32> coefficient{};
  std::array<bool, 32> used{};
};

Terms terms_of(const Calibration& cal) noexcept {
  Terms t;
  t.orders = static_cast<unsigned>(std::bit_width(cal.flags));
  std::size_t j = 0;
  for (unsigned k = 0; k < t.orders; ++k) {
    if ((cal.flags >> k & 1u) != 0 && j < calibration_max_terms) {
      t.used[k] = true;
      t.coefficient[k] = cal.c[j++];
    }
  }
  return t;
}

// Four points per vector, four vectors per block: p, sum and tc of 16 points stay in registers
// through the order loop, with enough independent products in flight to hide the latency of
// each multiplication. GCC vector types: plain IEEE operations per lane.
// No function takes or returns one by value: that would change the ABI between the clones.
using Vec = double __attribute__((vector_size(32)));
constexpr std::size_t lanes = 4;
constexpr std::size_t vectors = 4;
constexpr std::size_t block = lanes * vectors;

// m/z of t[0..m) into out[0..m) (out may be t), with the same operations per point as
// calibrate_point, the order loop outside the point loops. Built for AVX2 and for the
// baseline, chosen once at load time; IEEE operations give the same bits on both.
KESTRANE_ACQ_CLONES("avx2", "default") void calibrate_block(
    const Calibration& cal, const Terms& terms, const double* t, double* out,
    std::size_t m) noexcept {
  const Vec a = {cal.a, cal.a, cal.a, cal.a}, t0 = {cal.t0, cal.t0, cal.t0, cal.t0},
            t_min = {cal.t_min, cal.t_min, cal.t_min, cal.t_min},
            t_max = {cal.t_max, cal.t_max, cal.t_max, cal.t_max}, one = {1.0, 1.0, 1.0, 1.0},
            zero = {0.0, 0.0, 0.0, 0.0};
  std::size_t i0 = 0;
  for (; i0 + block <= m; i0 += block) {
    Vec sq[vectors], tc[vectors], p[vectors], sum[vectors];
    for (std::size_t v = 0; v < vectors; ++v) {
      Vec x;
      std::memcpy(&x, t + i0 + lanes * v, sizeof x);
      const Vec s = a * (x - t0);
      sq[v] = s * s;
      const Vec lo = x < t_min ? t_min : x;    // std::max(x, t_min)
      tc[v] = t_max < lo ? t_max : lo;         // std::min(lo, t_max)
      p[v] = one;
      sum[v] = zero;
    }
    if (terms.orders == 0) {
      for (std::size_t v = 0; v < vectors; ++v) std::memcpy(out + i0 + lanes * v, &sq[v], sizeof(Vec));
      continue;
    }
    for (unsigned k = 0; k < terms.orders; ++k) {
      if (terms.used[k]) {
        const double ck = terms.coefficient[k];
        const Vec c = {ck, ck, ck, ck};
        for (std::size_t v = 0; v < vectors; ++v) sum[v] = sum[v] + c * p[v];
      }
      for (std::size_t v = 0; v < vectors; ++v) p[v] = p[v] * tc[v];
    }
    for (std::size_t v = 0; v < vectors; ++v) {
      const Vec r = sq[v] - sum[v];
      std::memcpy(out + i0 + lanes * v, &r, sizeof(Vec));
    }
  }
  for (std::size_t i = i0; i < m; ++i) {
    const double s = cal.a * (t[i] - cal.t0);
    const double sq = s * s;
    if (terms.orders == 0) {
      out[i] = sq;
      continue;
    }
    const double tc = std::min(std::max(t[i], cal.t_min), cal.t_max);
    double p = 1.0;
    double sum = 0.0;
    for (unsigned k = 0; k < terms.orders; ++k) {
      if (terms.used[k]) sum = sum + terms.coefficient[k] * p;
      p = p * tc;
    }
    out[i] = sq - sum;
  }
}

// Flight times are made a chunk at a time, then calibrated in place.
constexpr std::size_t chunk = 256;

constexpr std::size_t row_values = 10;

}  // namespace

bool calibration_usable(const Calibration& cal) noexcept {
  if (!std::isfinite(cal.a) || !std::isfinite(cal.t0) || !std::isfinite(cal.t_min) ||
      !std::isfinite(cal.t_max)) {
    return false;
  }
  const auto orders = static_cast<unsigned>(std::bit_width(cal.flags));
  if (orders > calibration_max_order + 1) return false;
  // |correction| <= sum_j |c_j| T^k_j with T the largest |tc| the clamp allows.
  const double t = std::max(std::fabs(cal.t_min), std::fabs(cal.t_max));
  double p = 1.0, bound = 0.0;
  std::size_t j = 0;
  for (unsigned k = 0; k < orders; ++k) {
    if ((cal.flags >> k & 1u) != 0 && j < calibration_max_terms) {
      const double c = cal.c[j++];
      if (!std::isfinite(c)) return false;
      bound += std::fabs(c) * p;
    }
    p *= t;
  }
  return std::isfinite(bound) && std::isfinite(p);
}

double calibrate_point(const Calibration& cal, double t) noexcept {
  const double s = cal.a * (t - cal.t0);
  const double sq = s * s;
  if (cal.flags == 0) return sq;
  const double tc = std::min(std::max(t, cal.t_min), cal.t_max);
  double p = 1.0;
  double sum = 0.0;
  std::size_t j = 0;
  const int highest = std::bit_width(cal.flags) - 1;
  for (int k = 0; k <= highest; ++k) {
    if ((cal.flags >> k & 1u) != 0 && j < calibration_max_terms) sum = sum + cal.c[j++] * p;
    p = p * tc;
  }
  return sq - sum;
}

void calibrate_axis_reference(const Calibration& cal, double start, double step,
                              std::span<double> out) noexcept {
  for (std::size_t k = 0; k < out.size(); ++k) {
    out[k] = calibrate_point(cal, start + static_cast<double>(k) * step);
  }
}

void calibrate_values_reference(const Calibration& cal, std::span<double> values) noexcept {
  for (double& v : values) v = calibrate_point(cal, v);
}

namespace {

bool all_finite(std::span<const double> values) noexcept {
  bool finite = true;
  for (const double v : values) finite = finite && std::isfinite(v);
  return finite;
}

}  // namespace

bool calibrate_axis(const Calibration& cal, double start, double step,
                    std::span<double> out) noexcept {
  const Terms terms = terms_of(cal);
  double t[chunk];
  for (std::size_t k0 = 0; k0 < out.size(); k0 += chunk) {
    const std::size_t m = std::min(chunk, out.size() - k0);
    // k0 + i is an integer below 2^53, so the sum is exact and equals static_cast<double>(k).
    const double base = static_cast<double>(k0);
    for (std::size_t i = 0; i < m; ++i) {
      t[i] = start + (base + static_cast<double>(static_cast<std::int32_t>(i))) * step;
    }
    calibrate_block(cal, terms, t, out.data() + k0, m);
  }
  return all_finite(out);
}

bool calibrate_values(const Calibration& cal, std::span<double> values) noexcept {
  const Terms terms = terms_of(cal);
  for (std::size_t k0 = 0; k0 < values.size(); k0 += chunk) {
    const std::size_t m = std::min(chunk, values.size() - k0);
    calibrate_block(cal, terms, values.data() + k0, values.data() + k0, m);
  }
  return all_finite(values);
}

// --- MSMassCal.bin -----------------------------------------------------------------------------

Result<MassCalFile> MassCalFile::parse(std::vector<std::uint8_t> bytes) {
  if (bytes.size() < mass_cal_rows_at) {
    return parse_error("MSMassCal.bin: shorter than its 72-byte head");
  }
  const auto magic = load_le<std::uint32_t>(bytes, 0);
  if (magic != mass_cal_magic) {
    return parse_error("MSMassCal.bin: magic " + std::to_string(magic) + " is not 260");
  }
  const auto version = load_le<std::uint32_t>(bytes, 68);
  if (version != 1) {
    return parse_error("MSMassCal.bin: version word " + std::to_string(version) + " is not 1");
  }
  MassCalFile f;
  f.bytes_ = std::move(bytes);
  for (std::uint64_t i = 0; i < f.row_count(); ++i) {
    if (const auto row = f.row(i)) {
      bool finite = true;
      for (const double v : row->values) finite = finite && std::isfinite(v);
      f.non_finite_rows_ += finite ? 0 : 1;
    }
  }
  return f;
}

std::optional<MassCalRow> MassCalFile::row_at(std::int64_t offset) const noexcept {
  if (offset < static_cast<std::int64_t>(mass_cal_rows_at)) return std::nullopt;
  const auto at = static_cast<std::uint64_t>(offset);
  if (at > bytes_.size() || mass_cal_row_size > bytes_.size() - at) return std::nullopt;
  const auto pos = static_cast<std::size_t>(at);
  if (load_le<std::uint32_t>(bytes_, pos) != mass_cal_row_count_word) return std::nullopt;
  MassCalRow row;
  for (std::size_t v = 0; v < row_values; ++v) {
    row.values[v] = load_le<double>(bytes_, pos + 4 + 8 * v);
  }
  return row;
}

std::uint64_t MassCalFile::row_count() const noexcept {
  return (bytes_.size() - mass_cal_rows_at) / mass_cal_row_size;
}

std::optional<MassCalRow> MassCalFile::row(std::uint64_t i) const noexcept {
  if (i >= row_count()) return std::nullopt;
  return row_at(static_cast<std::int64_t>(mass_cal_rows_at + i * mass_cal_row_size));
}

std::optional<Calibration> row_calibration(const MassCalRow& row, std::uint32_t flags) noexcept {
  const auto terms = static_cast<std::size_t>(std::popcount(flags));
  if (terms > calibration_max_terms) return std::nullopt;
  Calibration cal{row.values[0], row.values[1], row.values[2], row.values[3], flags, {}};
  for (std::size_t j = 0; j < calibration_max_terms; ++j) {
    const double c = row.values[4 + j];
    if (j < terms) {
      cal.c[j] = c;
    } else if (c != 0.0) {
      return std::nullopt;
    }
  }
  if (!calibration_usable(cal)) return std::nullopt;
  return cal;
}

// --- DefaultMassCal.xml ------------------------------------------------------------------------

namespace {

// Value elements by their Number attribute (1-based), as many as `want`; nullopt when one is
// missing, repeated or not a number.
std::optional<std::vector<double>> numbered_values(pugi::xml_node step, std::size_t want) {
  std::vector<std::optional<double>> found(want);
  for (pugi::xml_node v = child(step, "Values").first_child(); v; v = v.next_sibling()) {
    if (v.type() != pugi::node_element || local_name(v.name()) != "Value") continue;
    const auto number = parse_int(v.attribute("Number").value());
    if (!number || *number < 1 || static_cast<std::uint64_t>(*number) > want) continue;
    auto& slot = found[static_cast<std::size_t>(*number - 1)];
    if (slot) return std::nullopt;
    slot = parse_double(trimmed_text(v));
    if (!slot) return std::nullopt;
  }
  std::vector<double> out;
  for (const auto& f : found) {
    if (!f) return std::nullopt;
    out.push_back(*f);
  }
  return out;
}

}  // namespace

Result<DefaultCalibrations> parse_default_mass_cal(std::span<const std::uint8_t> xml) {
  pugi::xml_document doc;
  if (auto loaded = load_xml(xml, "DefaultMassCal.xml", doc); !loaded) {
    return std::unexpected(std::move(loaded).error());
  }
  DefaultCalibrations out;
  const pugi::xml_node list = child(doc.document_element(), "DefaultCalibrations");
  for (pugi::xml_node e = list.first_child(); e; e = e.next_sibling()) {
    if (e.type() != pugi::node_element || local_name(e.name()) != "DefaultCalibration") continue;
    const std::string id_text = e.attribute("DefaultCalibrationID").value();
    const auto id = parse_int(id_text);
    const std::string where = "DefaultMassCal.xml: entry " + id_text + ": ";
    if (!id) {
      out.warnings.push_back("DefaultMassCal.xml: an entry without a numeric "
                             "DefaultCalibrationID is ignored");
      continue;
    }
    if (out.entries.contains(*id)) {
      out.warnings.push_back(where + "appears twice; neither is used");
      out.entries[*id] = {};
      continue;
    }
    std::optional<std::vector<double>> traditional;
    std::optional<std::uint32_t> flags;
    std::optional<std::vector<double>> polynomial;
    bool unusable = false;
    for (pugi::xml_node s = e.first_child(); s; s = s.next_sibling()) {
      if (s.type() != pugi::node_element || local_name(s.name()) != "Step") continue;
      const std::string_view formula = trimmed_text(child(s, "CalibrationFormula"));
      if (formula == "Traditional") {
        if (traditional) unusable = true;
        traditional = numbered_values(s, 2);
        if (!traditional) out.warnings.push_back(where + "unreadable Traditional step");
      } else if (formula == "Polynomial") {
        if (flags) unusable = true;
        const auto f = parse_int(trimmed_text(child(s, "ValueUseFlags")));
        if (!f || *f < 0 || *f > 0xFFFFFFFF) {
          out.warnings.push_back(where + "unreadable ValueUseFlags");
          continue;
        }
        const auto terms = static_cast<std::size_t>(std::popcount(static_cast<std::uint32_t>(*f)));
        if (terms > calibration_max_terms) {
          out.warnings.push_back(where + "more than 6 polynomial orders");
          continue;
        }
        if (static_cast<unsigned>(std::bit_width(static_cast<std::uint32_t>(*f))) >
            calibration_max_order + 1) {
          out.warnings.push_back(where + "polynomial orders above " +
                                 std::to_string(calibration_max_order));
          continue;
        }
        flags = static_cast<std::uint32_t>(*f);
        polynomial = numbered_values(s, 2 + terms);
        if (!polynomial) out.warnings.push_back(where + "unreadable Polynomial step");
      } else {
        out.warnings.push_back(where + "unknown calibration formula '" + std::string(formula) +
                               "'");
        unusable = true;
      }
    }
    if (unusable) {
      out.warnings.push_back(where + "not used");
      out.entries[*id] = {};
      continue;
    }
    DefaultCalibration d;
    d.flags = flags;
    if (traditional && polynomial) {
      Calibration cal{(*traditional)[0], (*traditional)[1], (*polynomial)[0], (*polynomial)[1],
                      *flags, {}};
      for (std::size_t j = 2; j < polynomial->size(); ++j) cal.c[j - 2] = (*polynomial)[j];
      if (calibration_usable(cal)) {
        d.calibration = cal;
      } else {
        out.warnings.push_back(where + "its values cannot give finite masses; not used");
      }
    } else if (!traditional || !flags) {
      out.warnings.push_back(where + (traditional ? "no Polynomial step" : "no Traditional step"));
    }
    out.entries[*id] = d;
  }
  return out;
}

CalibrationChoice choose_calibration(const MassCalFile* rows, const DefaultCalibrations* defaults,
                                     std::optional<std::int64_t> calibration_id,
                                     std::optional<std::int64_t> mass_cal_offset,
                                     bool by_index_allowed, std::uint64_t index) noexcept {
  const DefaultCalibration* entry = nullptr;
  if (defaults != nullptr && calibration_id) {
    const auto it = defaults->entries.find(*calibration_id);
    if (it != defaults->entries.end()) entry = &it->second;
  }
  CalibrationChoice choice;
  if (rows != nullptr && entry != nullptr && entry->flags) {
    if (mass_cal_offset) {
      if (const auto row = rows->row_at(*mass_cal_offset)) {
        if (const auto cal = row_calibration(*row, *entry->flags)) {
          return {CalibrationSource::per_scan, *cal};
        }
      }
    }
    if (by_index_allowed) {
      if (const auto row = rows->row(index)) {
        if (const auto cal = row_calibration(*row, *entry->flags)) {
          return {CalibrationSource::per_scan_by_index, *cal};
        }
      }
    }
  }
  if (entry != nullptr && entry->calibration) {
    return {CalibrationSource::default_entry, *entry->calibration};
  }
  return choice;
}

}  // namespace kestrane::acq
