// Per-scan values of a whole run (total ion current, base peak, the intensity within an m/z
// window, the scans' statuses), read on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/spectrum/summary.hpp"

namespace kestrane::acq {

// The total intensity and the first highest point of an emitted spectrum; `base` is nullopt
// when it has no points or when its m/z and intensity arrays differ in length.
spectrum::IntensitySummary summarise(const Spectrum& s) noexcept;

// The columns a pass computes besides the retention times, combined with |; the others are
// left empty.
enum ChromatogramWant : unsigned {
  want_tic = 1,         // tic
  want_base_peak = 2,   // base_mz (NaN without points) and base_intensity (0 without)
  want_scan_words = 4,  // points, status, profile/centroid status, representation, calibration
  want_window = 8,      // window: the sum of the intensities whose m/z lies in [low, high]
};

// One entry per position of the indices read, in their order.
struct Chromatograms {
  std::vector<double> rt_sec, tic, base_mz, base_intensity, window;
  std::vector<std::uint64_t> points;
  std::vector<Status> status;
  std::vector<std::optional<Status>> profile_status, centroid_status;
  std::vector<std::optional<Representation>> representation;
  std::vector<std::optional<CalibrationSource>> calibration;
};

// Reads scans indices[0..n) (each < acq.size()) with `prefer` on `threads` threads
// (for_each_scan) and computes the columns `want` names (ChromatogramWant values).
Chromatograms chromatograms(const Acquisition& acq, std::span<const std::size_t> indices,
                            Prefer prefer, unsigned threads, unsigned want, double low = 0.0,
                            double high = 0.0);

}  // namespace kestrane::acq
