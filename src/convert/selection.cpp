#include "src/convert/selection.hpp"

#include <cmath>

#include "src/mzml/xml.hpp"

namespace kestrane::convert {

namespace {

template <class T>
bool within(T v, const std::optional<T>& low, const std::optional<T>& high) noexcept {
  return (!low || v >= *low) && (!high || v <= *high);
}

std::string number(double v) {
  std::string out;
  mzml::append_double(out, v);
  return out;
}

}  // namespace

bool Selection::restricts() const noexcept {
  return min_ms_level || max_ms_level || start_min || end_min || first_index || last_index ||
         polarity;
}

bool Selection::selects(const acq::ScanInfo& scan) const noexcept {
  return within(scan.ms_level, min_ms_level, max_ms_level) &&
         within(scan.retention_time_min, start_min, end_min) &&
         within(scan.index, first_index, last_index) && (!polarity || scan.polarity == polarity);
}

std::optional<std::string> selection_error(const Selection& s) {
  for (const auto& level : {s.min_ms_level, s.max_ms_level}) {
    if (level && *level < 1) return "ms level " + std::to_string(*level) + " is below 1";
  }
  if (s.min_ms_level && s.max_ms_level && *s.max_ms_level < *s.min_ms_level) {
    return "ms levels " + std::to_string(*s.min_ms_level) + "-" + std::to_string(*s.max_ms_level) +
           " end before they start";
  }
  for (const auto& t : {s.start_min, s.end_min}) {
    if (t && !std::isfinite(*t)) return "retention time " + number(*t) + " is not a finite number";
  }
  if (s.start_min && s.end_min && *s.end_min < *s.start_min) {
    return "retention times " + number(*s.start_min) + ":" + number(*s.end_min) +
           " end before they start";
  }
  if (s.first_index && s.last_index && *s.last_index < *s.first_index) {
    return "scans " + std::to_string(*s.first_index) + ":" + std::to_string(*s.last_index) +
           " end before they start";
  }
  return std::nullopt;
}

}  // namespace kestrane::convert
