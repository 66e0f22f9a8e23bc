// The small accessors of an Acquisition and scan(): one record's metadata from the index.
#include "src/acq/acquisition.hpp"

#include <optional>

#include "src/acq/scan_rules.hpp"
#include "src/acq/state.hpp"

namespace kestrane::acq {

std::size_t Acquisition::size() const noexcept { return s_->records; }
const AcqInfo& Acquisition::info() const noexcept { return s_->info; }
std::vector<std::string> Acquisition::warnings() const {
  std::vector<std::string> out = s_->warnings;
  for (auto& w : s_->findings->warnings()) out.push_back(std::move(w));
  return out;
}
const RecordLayout& Acquisition::layout() const noexcept { return s_->layout; }
std::span<const std::uint8_t> Acquisition::index_file() const noexcept { return s_->index; }

bool Acquisition::data_loaded() const noexcept {
  for (const auto* f : {&s_->profile_file, &s_->peak_file, &s_->xspecific_file}) {
    if (*f && !(*f)->loaded()) return false;
  }
  return true;
}

RecordView Acquisition::record(std::size_t i) const noexcept {
  return RecordView(s_->record_bytes(i), s_->layout);
}

CalibrationChoice Acquisition::calibration(std::size_t i) const noexcept {
  return s_->calibration_of(i);
}

namespace {

std::optional<std::int32_t> narrow(std::optional<std::int64_t> v) noexcept {
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

}  // namespace

ScanInfo Acquisition::scan(std::size_t i) const {
  const State& s = *s_;
  const std::span<const std::uint8_t> b = s.index;
  const std::size_t at = s.record_at(i);
  ScanInfo info;
  info.index = i;
  info.scan_id = s.scan_id.integer(b, at).value_or(0);
  info.scan_method_id = s.scan_method_id.integer(b, at).value_or(0);
  info.time_segment_id = s.time_segment_id.integer(b, at).value_or(0);
  info.retention_time_min = s.scan_time.real(b, at).value_or(0.0);
  info.ms_level = narrow(s.ms_level.integer(b, at)).value_or(0);
  info.scan_type = narrow(s.scan_type.integer(b, at));
  if (const auto p = s.ion_polarity.integer(b, at)) info.polarity = polarity_of(*p);
  if (const auto mz = s.mz_of_interest.real(b, at); mz && precursor_applies(info.ms_level, *mz)) {
    info.precursor_mz = mz;
  }
  if (collision_energy_applies(info.ms_level)) {
    info.collision_energy = s.collision_energy.real(b, at);
  }
  info.fragmentor = s.fragmentor.real(b, at);
  info.isolation_width = s.isolation_width.real(b, at);
  if (const auto z = narrow(s.charge_state.integer(b, at)); z && *z > 0) info.charge_state = z;
  info.tic = s.tic.real(b, at);
  info.base_peak_mz = s.base_peak_mz.real(b, at);
  info.base_peak_value = s.base_peak_value.real(b, at);
  info.calibration_id = narrow(s.calibration_id.integer(b, at));
  const RecordBlocks& rb = s.blocks[i];
  info.profile_points = s.points(i, rb.profile);
  info.centroid_points = s.points(i, rb.centroid);
  info.incomplete = rb.incomplete;
  return info;
}

}  // namespace kestrane::acq
