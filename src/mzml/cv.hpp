// The controlled-vocabulary terms the writer uses: one table of (accession, name, unit), with the
// names as the PSI-MS and Unit Ontology vocabularies spell them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrane::mzml {

enum class Unit : std::uint8_t { none, mz, detector_counts, minute, electronvolt };

enum class Cv : std::uint8_t {
  ms_level,
  ms1_spectrum,
  msn_spectrum,
  sim_spectrum,
  profile_spectrum,
  centroid_spectrum,
  positive_scan,
  negative_scan,
  total_ion_current,
  base_peak_mz,
  base_peak_intensity,
  lowest_observed_mz,
  highest_observed_mz,
  scan_start_time,
  isolation_window_target_mz,
  isolation_window_lower_offset,
  isolation_window_upper_offset,
  charge_state,
  selected_ion_mz,
  collision_energy,
  collision_induced_dissociation,
  mz_array,
  intensity_array,
  time_array,
  float64,
  float32,
  zlib_compression,
  no_compression,
  sha1,
  conversion_to_mzml,
  custom_unreleased_software_tool,
  instrument_model,
  ionization_type,
  time_of_flight,
  detector_type,
  no_combination,
  sim_chromatogram,
  peak_picking,
  tic_chromatogram,
  basepeak_chromatogram,
  numpress_linear,
  numpress_pic,
  numpress_slof,
  numpress_linear_zlib,
  numpress_pic_zlib,
  numpress_slof_zlib,
};

struct CvTerm {
  std::string_view accession;  // "MS:1000511"; the prefix before ':' is the cvRef
  std::string_view name;
  Unit unit;  // the unit written with every value of the term
};

struct UnitTerm {
  std::string_view accession;
  std::string_view name;
};

const CvTerm& term(Cv cv) noexcept;
const UnitTerm& unit_term(Unit unit) noexcept;  // unit must not be Unit::none

// Every entry, in enum order (for the test against the vocabulary files).
std::span<const CvTerm> cv_table() noexcept;
std::span<const UnitTerm> unit_table() noexcept;  // in enum order, from Unit::mz

// The vocabularies as the document's cvList names them; versions of the files the names come from.
struct CvSource {
  std::string_view id, full_name, version, uri;
};
std::span<const CvSource> cv_sources() noexcept;

}  // namespace kestrane::mzml
