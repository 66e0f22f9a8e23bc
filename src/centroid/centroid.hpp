// Peak picking: a profile spectrum (m/z ascending, intensity per point) reduced to one point per
// peak. Its intensity is the vertex of the parabola through the highest point and its two
// neighbours; its m/z the centre of the peak's area above a fraction of that height (the
// profile drawn as straight lines between points), so that a peak with a shoulder is centred
// on all of its top, as the instruments' own centroids are. Over spans, no I/O; deterministic.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "src/error.hpp"

namespace kestrane::centroid {

struct Options {
  // A peak is kept when its apex intensity is at least this...
  double min_intensity = 0.0;
  // ...and at least this many times the spectrum's noise level, noise_level() (0: no noise
  // test, and no median is computed). At 10, a TOF scan keeps a few
  // hundred peaks: every centroid the instrument stored, and the smaller ions above the noise.
  double min_snr = 10.0;
  // Two local maxima are separate peaks when the lowest point between them is at most this
  // fraction of the lower maximum; otherwise the lower one is a shoulder of the higher.
  double valley_fraction = 0.7;
  // The m/z is the centre of the peak's area above this fraction of its apex intensity.
  double level_fraction = 0.45;
};

// The centroids of one spectrum, and the scratch that computing them needs: reused from call to
// call, so that a warm Centroids allocates nothing.
struct Centroids {
  std::vector<double> mz;
  std::vector<double> intensity;
  std::vector<double> scratch;
};

// The median of the positive finite intensities among at most about 8192 points evenly spaced
// over the spectrum (every point of a smaller one); 0 when there are none. `scratch` is
// overwritten.
double noise_level(std::span<const double> intensity, std::vector<double>& scratch);

// Replaces out.mz and out.intensity by the centroids of the profile (mz, intensity), in m/z
// order. Points that are negative, zero or not finite are no part of any peak; a maximum on the
// first or last point is a truncated peak and is left out. Errors (parse errors, `out` emptied):
// "N m/z values but M intensities", "m/z values are not ascending at point I" (also for a value
// that is not finite).
[[nodiscard]] Result<void> centroid(std::span<const double> mz, std::span<const double> intensity,
                                    const Options& options, Centroids& out);

}  // namespace kestrane::centroid
