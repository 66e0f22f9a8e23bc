// Peak picking applied to a spectrum of the reader: its profile arrays replaced by centroids.
#pragma once

#include "src/acq/acquisition.hpp"
#include "src/centroid/centroid.hpp"
#include "src/error.hpp"

namespace kestrane::convert {

// Replaces a read profile spectrum (status ok, representation profile) by its centroids, its
// representation then centroid; any other spectrum is left as it is. `work` holds the scratch.
// An error of the centroider (m/z not ascending) leaves the spectrum unchanged, still profile.
[[nodiscard]] Result<void> pick_peaks(acq::Spectrum& s, const centroid::Options& options,
                                      centroid::Centroids& work);

}  // namespace kestrane::convert
