// centroid=True of Acquisition.spectrum(), spectra() and to_mzml(): peak picking of the read
// spectrum, with the converter's options. No Python here.
#pragma once

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

// Replaces a profile spectrum by its centroids (representation "centroid"); other spectra, and
// a profile whose m/z are not ascending, stay as they are (the representation says which).
void centroid_scan(acq::Spectrum& s);

}  // namespace kestrane::acq_python
