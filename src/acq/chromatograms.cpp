#include "src/acq/chromatograms.hpp"

#include <limits>

#include "src/acq/parallel.hpp"

namespace kestrane::acq {

spectrum::IntensitySummary summarise(const Spectrum& s) noexcept {
  spectrum::IntensitySummary out = spectrum::summarise_intensity(s.intensity);
  if (s.mz.size() != s.intensity.size()) out.base.reset();
  return out;
}

Chromatograms chromatograms(const Acquisition& acq, std::span<const std::size_t> indices,
                            Prefer prefer, unsigned threads, unsigned want, double low,
                            double high) {
  const std::size_t n = indices.size();
  Chromatograms c;
  c.rt_sec.resize(n);
  if (want & want_tic) c.tic.resize(n);
  if (want & want_base_peak) {
    c.base_mz.resize(n);
    c.base_intensity.resize(n);
  }
  if (want & want_window) c.window.resize(n);
  if (want & want_scan_words) {
    c.points.resize(n);
    c.status.resize(n);
    c.profile_status.resize(n);
    c.centroid_status.resize(n);
    c.representation.resize(n);
    c.calibration.resize(n);
  }
  for_each_scan(acq, indices, prefer, threads, [&](std::size_t i, Spectrum& s) {
    c.rt_sec[i] = acq.scan(indices[i]).retention_time_min * 60.0;
    if (want & (want_tic | want_base_peak)) {
      const spectrum::IntensitySummary sum = summarise(s);
      if (want & want_tic) c.tic[i] = sum.tic;
      if (want & want_base_peak) {
        c.base_mz[i] = sum.base ? s.mz[*sum.base] : std::numeric_limits<double>::quiet_NaN();
        c.base_intensity[i] = sum.base ? s.intensity[*sum.base] : 0.0;
      }
    }
    if (want & want_window) c.window[i] = spectrum::window_sum(s.mz, s.intensity, low, high);
    if (want & want_scan_words) {
      c.points[i] = s.mz.size();
      c.status[i] = s.status;
      c.profile_status[i] = s.profile_status;
      c.centroid_status[i] = s.centroid_status;
      c.representation[i] = s.representation;
      c.calibration[i] = s.calibration;
    }
  });
  return c;
}

}  // namespace kestrane::acq
