#include "src/mzml/document.hpp"

#include <string>
#include <utility>

#include "src/spectrum/summary.hpp"

namespace kestrane::mzml {

namespace {

constexpr std::string_view failure_param_name = "conversion failure";

void precursor_list(Element& spectrum, const Precursor& p) {
  Element list = spectrum.child("precursorList", {{"count", 1}});
  Element precursor = list.child("precursor");
  if (p.isolation_target_mz) {
    isolation_window(precursor, *p.isolation_target_mz, p.isolation_lower_offset,
                     p.isolation_upper_offset);
  }
  if (p.selected_ion_mz) {
    Element ions = precursor.child("selectedIonList", {{"count", 1}});
    Element ion = ions.child("selectedIon");
    ion.cv_param(Cv::selected_ion_mz, *p.selected_ion_mz);
    if (p.charge) ion.cv_param(Cv::charge_state, std::to_string(*p.charge));
  }
  Element activation = precursor.child("activation");
  activation.cv_param(Cv::collision_induced_dissociation);
  if (p.collision_energy) activation.cv_param(Cv::collision_energy, *p.collision_energy);
}

}  // namespace

Result<void> encode_spectrum(const SpectrumInput& s, std::size_t index,
                             const DeclaredTypes& declared, ArrayEncoder& encoder,
                             EncodedItem& item) {
  if (s.mz.size() != s.intensity.size()) {
    return unequal_lengths("spectrum", index, s.native_id, s.mz.size(), "m/z values",
                           s.intensity.size());
  }
  const Cv type = spectrum_type_term(s.type);
  if (!declared[static_cast<std::size_t>(s.type)]) {
    return parse_error(item_label("spectrum", index, s.native_id) + ": " +
                       std::string(term(type).name) + " is not among the run's spectrum types");
  }
  item.id = s.native_id;
  item.points = s.mz.size();
  item.failed = !s.failure.empty();
  item.xml.clear();

  Element spectrum(item.xml, item_depth, "spectrum",
                   {{"index", index}, {"id", s.native_id}, {"defaultArrayLength", s.mz.size()}});
  spectrum.cv_param(Cv::ms_level, std::to_string(s.ms_level));
  spectrum.cv_param(type);
  spectrum.cv_param(s.representation == Representation::profile ? Cv::profile_spectrum
                                                                 : Cv::centroid_spectrum);
  if (s.polarity) {
    spectrum.cv_param(*s.polarity == Polarity::positive ? Cv::positive_scan : Cv::negative_scan);
  }
  if (!s.mz.empty()) {
    const spectrum::Summary p = spectrum::summarise(s.mz, s.intensity);
    spectrum.cv_param(Cv::total_ion_current, p.tic);
    spectrum.cv_param(Cv::base_peak_mz, s.mz[*p.base]);
    spectrum.cv_param(Cv::base_peak_intensity, s.intensity[*p.base]);
    spectrum.cv_param(Cv::lowest_observed_mz, p.lowest_mz);
    spectrum.cv_param(Cv::highest_observed_mz, p.highest_mz);
  }
  if (item.failed) spectrum.user_param(failure_param_name, "xsd:string", s.failure);
  {
    Element scans = spectrum.child("scanList", {{"count", 1}});
    scans.cv_param(Cv::no_combination);
    Element scan = scans.child("scan");
    scan.cv_param(Cv::scan_start_time, s.scan_start_time_min);
  }
  if (s.precursor) precursor_list(spectrum, *s.precursor);
  binary_data_array_list(spectrum, encoder, Cv::mz_array, s.mz, s.intensity);
  return {};
}

}  // namespace kestrane::mzml
