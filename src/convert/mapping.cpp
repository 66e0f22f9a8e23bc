#include "src/convert/mapping.hpp"

namespace kestrane::convert {

namespace {

constexpr std::int32_t scan_type_sim = 2;

std::optional<mzml::Polarity> polarity(const std::optional<acq::Polarity>& p) noexcept {
  if (!p) return std::nullopt;
  switch (*p) {
    case acq::Polarity::positive: return mzml::Polarity::positive;
    case acq::Polarity::negative: return mzml::Polarity::negative;
  }
  return std::nullopt;
}

}  // namespace

std::string native_id(const acq::ScanInfo& scan) {
  return "scanId=" + std::to_string(scan.scan_id);
}

mzml::SpectrumType spectrum_type(const acq::ScanInfo& scan) noexcept {
  if (scan.scan_type == scan_type_sim) return mzml::SpectrumType::sim;
  return scan.ms_level >= 2 ? mzml::SpectrumType::msn : mzml::SpectrumType::ms1;
}

std::optional<mzml::Precursor> precursor(const acq::ScanInfo& scan) noexcept {
  if (scan.ms_level < 2 || !scan.precursor_mz) return std::nullopt;
  mzml::Precursor p;
  p.isolation_target_mz = scan.precursor_mz;
  if (scan.isolation_width && *scan.isolation_width > 0.0) {
    p.isolation_lower_offset = *scan.isolation_width / 2.0;
    p.isolation_upper_offset = p.isolation_lower_offset;
  }
  p.selected_ion_mz = scan.precursor_mz;
  p.charge = scan.charge_state;
  p.collision_energy = scan.collision_energy;
  return p;
}

mzml::Representation representation(const acq::Spectrum& s, acq::Prefer prefer) noexcept {
  if (s.representation == acq::Representation::profile) return mzml::Representation::profile;
  if (s.representation == acq::Representation::centroid) return mzml::Representation::centroid;
  // A block whose data file is absent cannot hold this run's spectra: the record's kind is that
  // of its other block (a directory without MSProfile.bin holds centroid spectra only).
  const auto holds = [&](const std::optional<acq::Status>& block,
                         const std::optional<acq::Status>& other) {
    return block && (*block != acq::Status::file_absent || !other ||
                     *other == acq::Status::file_absent);
  };
  const bool has_profile = holds(s.profile_status, s.centroid_status);
  const bool has_centroid = holds(s.centroid_status, s.profile_status);
  if (prefer == acq::Prefer::profile) {
    return has_profile || !has_centroid ? mzml::Representation::profile
                                        : mzml::Representation::centroid;
  }
  return has_centroid || !has_profile ? mzml::Representation::centroid
                                      : mzml::Representation::profile;
}

std::string failure_text(const acq::Spectrum& s) {
  if (s.status == acq::Status::ok || s.status == acq::Status::empty) return {};
  std::string text(acq::to_string(s.status));
  std::string blocks;
  for (const auto& [kind, status] : {std::pair{"profile", &s.profile_status},
                                     std::pair{"centroid", &s.centroid_status}}) {
    if (!*status) continue;
    blocks.append(blocks.empty() ? " (" : "; ");
    blocks.append(kind);
    blocks.append(" block: ");
    blocks.append(acq::to_string(**status));
  }
  if (!blocks.empty()) text.append(blocks).push_back(')');
  return text;
}

void to_input(const acq::ScanInfo& scan, const acq::Spectrum& s, acq::Prefer prefer,
              mzml::SpectrumInput& out) {
  out.native_id = native_id(scan);
  out.ms_level = scan.ms_level;
  out.type = spectrum_type(scan);
  out.representation = representation(s, prefer);
  out.polarity = polarity(scan.polarity);
  out.scan_start_time_min = scan.retention_time_min;
  out.precursor = precursor(scan);
  out.failure = failure_text(s);
  if (s.representation == acq::Representation::channels) {
    out.failure = "ICP channels are converted into chromatograms, in runs of channels only";
    out.mz = {};
    out.intensity = {};
    return;
  }
  out.mz = std::span<const double>(s.mz.data(), s.mz.size());
  out.intensity = std::span<const double>(s.intensity.data(), s.intensity.size());
}

}  // namespace kestrane::convert
