#include "src/convert/peaks.hpp"

namespace kestrane::convert {

Result<void> pick_peaks(acq::Spectrum& s, const centroid::Options& options,
                        centroid::Centroids& work) {
  if (s.status != acq::Status::ok || s.representation != acq::Representation::profile) return {};
  auto r = centroid::centroid(s.mz, s.intensity, options, work);
  if (!r) return r;
  s.mz.assign(work.mz.begin(), work.mz.end());
  s.intensity.assign(work.intensity.begin(), work.intensity.end());
  s.representation = acq::Representation::centroid;
  return {};
}

}  // namespace kestrane::convert
