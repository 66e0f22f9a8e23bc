// How one record and its decoded spectrum become an mzML spectrum: spectrum type, precursor,
// representation and the text of a failure, each decided in one place.
#pragma once

#include <optional>
#include <string>

#include "src/acq/acquisition.hpp"
#include "src/mzml/writer.hpp"

namespace kestrane::convert {

// "scanId=<ScanID>".
std::string native_id(const acq::ScanInfo& scan);

// ScanType 2 is a SIM spectrum; otherwise MS level 2 or more is an MSn spectrum, anything else
// an MS1 spectrum.
mzml::SpectrumType spectrum_type(const acq::ScanInfo& scan) noexcept;

// For MS level 2 or more with a precursor m/z: isolation target and selected ion at that m/z, the
// window half the record's isolation width on either side (when it is > 0), the ion's charge
// state (when the record gives one), activation by collision-induced dissociation with the
// record's collision energy, when it has that field. nullopt otherwise.
std::optional<mzml::Precursor> precursor(const acq::ScanInfo& scan) noexcept;

// The representation term of the spectrum: the one emitted; for a spectrum without points, the
// kind of block read first (by `prefer`) that the record has, not counting a block whose data
// file is absent when the other block's is present.
mzml::Representation representation(const acq::Spectrum& s, acq::Prefer prefer) noexcept;

// Why nothing was emitted, when the spectrum failed (a status other than ok and empty), as
// "<status> (profile block: <status>; centroid block: <status>)" naming the blocks the record
// has; empty when it did not fail.
std::string failure_text(const acq::Spectrum& s);

// `out` made from the record and its spectrum; the arrays are views of `s`'s. A channels
// spectrum (ICP, converted into chromatograms) is written without points, as a failure.
void to_input(const acq::ScanInfo& scan, const acq::Spectrum& s, acq::Prefer prefer,
              mzml::SpectrumInput& out);

}  // namespace kestrane::convert
