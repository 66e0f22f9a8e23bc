#include "python/acq/centroid.hpp"

#include "src/convert/peaks.hpp"

namespace kestrane::acq_python {

void centroid_scan(acq::Spectrum& s) {
  thread_local centroid::Centroids work;
  // A spectrum that cannot be centroided keeps its profile and says so by its representation.
  (void)convert::pick_peaks(s, centroid::Options{}, work);
}

}  // namespace kestrane::acq_python
