#include "src/centroid/centroid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace kestrane::centroid {

namespace {

// The noise level is the median of at most about this many points, evenly spaced: as good an
// estimate of a floor that covers the spectrum, at a fraction of the cost.
constexpr std::size_t noise_sample = 8192;

// The intensity a point contributes to a peak: negative, zero and non-finite points none.
double usable(double y) noexcept { return std::isfinite(y) && y > 0.0 ? y : 0.0; }

// One local maximum: a point (or a run of equal points) above both neighbours.
struct Maximum {
  std::size_t first = 0, last = 0;  // the run of equal points
  double height = 0.0;
};

// The vertex of the parabola through (-1, l), (0, c), (1, r) in index units: (offset, height).
// Where the three points are not concave the vertex is the middle point itself.
std::pair<double, double> parabola_vertex(double l, double c, double r) noexcept {
  const double curvature = l - 2.0 * c + r;
  if (!(curvature < 0.0)) return {0.0, c};
  const double slope = r - l;
  return {-slope / (2.0 * curvature), c - slope * slope / (8.0 * curvature)};
}

// The m/z at `offset` index units from point c: linear within the neighbouring interval.
double mz_at(std::span<const double> mz, std::size_t c, double offset) noexcept {
  if (offset >= 0.0) return mz[c] + offset * (mz[c + 1] - mz[c]);
  return mz[c] + offset * (mz[c] - mz[c - 1]);
}

// The centre of the area above `level` of the profile drawn as straight lines between points,
// over points [lo, hi] (each at or above the level) and the crossings of the level in the
// intervals beside them, within [lo_bound, hi_bound]. nullopt when that area is zero.
std::optional<double> area_centre(std::span<const double> mz, std::span<const double> y,
                                  std::size_t lo, std::size_t hi, std::size_t lo_bound,
                                  std::size_t hi_bound, double level) noexcept {
  const std::size_t first = lo > lo_bound ? lo - 1 : lo;
  const std::size_t last = hi < hi_bound ? hi + 1 : hi;
  double area = 0.0, moment = 0.0;
  for (std::size_t k = first; k < last; ++k) {
    double x0 = mz[k], x1 = mz[k + 1];
    double u = usable(y[k]) - level, v = usable(y[k + 1]) - level;
    if (u < 0.0 && v < 0.0) continue;
    if (u < 0.0) {
      x0 += (x1 - x0) * (-u / (v - u));
      u = 0.0;
    } else if (v < 0.0) {
      x1 = x0 + (x1 - x0) * (u / (u - v));
      v = 0.0;
    }
    const double dx = x1 - x0;
    // A trapezoid's area and its first moment about x0.
    area += 0.5 * (u + v) * dx;
    moment += 0.5 * (u + v) * dx * x0 + dx * dx * (u + 2.0 * v) / 6.0;
  }
  if (!(area > 0.0)) return std::nullopt;
  return moment / area;
}

class Picker {
 public:
  Picker(std::span<const double> mz, std::span<const double> y, const Options& options,
         double threshold, Centroids& out)
      : mz_(mz), y_(y), options_(options), threshold_(threshold), out_(out) {}

  // Walks the maxima in order. A maximum joins the peak before it unless the lowest point
  // since that peak's apex is at most valley_fraction of the lower of the two; a joining
  // maximum that is higher becomes the apex (the first of equal ones stays). A peak spans the
  // points between the valleys that separate it from its neighbours. Maxima too low to reach
  // the threshold (a parabola's vertex is at most 9/8 of its highest point) are passed over as
  // ordinary points: most of a profile is noise under the threshold, crossed by a tight loop.
  void run() {
    constexpr double none = std::numeric_limits<double>::infinity();
    const std::size_t n = y_.size();
    // Positive in any case: a point that is not positive is never a maximum.
    const double cut = std::max(threshold_ / 1.125, std::numeric_limits<double>::denorm_min());
    bool open = false;
    Maximum apex;
    std::size_t peak_lo = 0;
    double valley = none;  // lowest point since the apex, and where it is
    std::size_t valley_at = 0;
    std::size_t i = 0;
    while (i < n) {
      if (!(y_[i] >= cut)) {
        // Below the cut (NaN included) there is no maximum, and only the valley can move.
        std::size_t k = i + 1;
        while (k < n && !(y_[k] >= cut)) ++k;
        lower_valley(i, k, valley, valley_at);
        i = k;
        continue;
      }
      const double v = usable(y_[i]);
      std::size_t j = i;
      while (j + 1 < n && usable(y_[j + 1]) == v) ++j;
      const double left = i > 0 ? usable(y_[i - 1]) : -1.0;
      const double right = j + 1 < n ? usable(y_[j + 1]) : -1.0;
      if (v > 0.0 && v > left && v > right) {
        const Maximum m{i, j, v};
        if (open && !(valley <= options_.valley_fraction * std::min(apex.height, v))) {
          if (v > apex.height) {
            apex = m;
            valley = none;
          }
        } else {
          if (open) emit(apex, peak_lo, valley_at);
          peak_lo = open ? valley_at : 0;
          open = true;
          apex = m;
          valley = none;
        }
      } else if (v < valley) {
        valley = v;
        valley_at = i;
      }
      i = j + 1;
    }
    if (open) emit(apex, peak_lo, n - 1);
  }

 private:
  // Lowers (valley, valley_at) to the lowest usable intensity of points [i, k), all below the
  // cut (so none is +inf), the first of equal ones; stops at a zero, as low as any.
  void lower_valley(std::size_t i, std::size_t k, double& valley,
                    std::size_t& valley_at) const noexcept {
    for (std::size_t p = i; p < k && valley > 0.0; ++p) {
      const double v = y_[p] > 0.0 ? y_[p] : 0.0;
      if (v < valley) {
        valley = v;
        valley_at = p;
      }
    }
  }

  void emit(const Maximum& m, std::size_t lo_bound, std::size_t hi_bound) {
    const std::size_t n = y_.size();
    if (m.first == 0 || m.last + 1 >= n) return;  // truncated by the spectrum's ends
    const std::size_t c = m.first + (m.last - m.first) / 2;
    const auto [offset, height] =
        parabola_vertex(usable(y_[c - 1]), usable(y_[c]), usable(y_[c + 1]));
    if (!(height >= threshold_)) return;
    const double level = options_.level_fraction * height;
    std::size_t lo = c, hi = c;
    while (lo > lo_bound && usable(y_[lo - 1]) >= level) --lo;
    while (hi < hi_bound && usable(y_[hi + 1]) >= level) ++hi;
    const std::optional<double> at = area_centre(mz_, y_, lo, hi, lo_bound, hi_bound, level);
    out_.mz.push_back(at ? *at : mz_at(mz_, c, offset));
    out_.intensity.push_back(height);
  }

  std::span<const double> mz_, y_;
  const Options& options_;
  double threshold_;
  Centroids& out_;
};

}  // namespace

double noise_level(std::span<const double> intensity, std::vector<double>& scratch) {
  scratch.clear();
  const std::size_t stride = std::max<std::size_t>(1, intensity.size() / noise_sample);
  for (std::size_t i = 0; i < intensity.size(); i += stride) {
    const double v = intensity[i];
    if (std::isfinite(v) && v > 0.0) scratch.push_back(v);
  }
  if (scratch.empty()) return 0.0;
  const std::size_t m = scratch.size() / 2;
  std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(m),
                   scratch.end());
  const double upper = scratch[m];
  if (scratch.size() % 2 != 0) return upper;
  const double lower =
      *std::max_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(m));
  return 0.5 * (lower + upper);
}

Result<void> centroid(std::span<const double> mz, std::span<const double> intensity,
                      const Options& options, Centroids& out) {
  out.mz.clear();
  out.intensity.clear();
  if (mz.size() != intensity.size()) {
    return parse_error(std::to_string(mz.size()) + " m/z values but " +
                       std::to_string(intensity.size()) + " intensities");
  }
  // Strictly ascending between finite ends: every value is finite (NaN fails the comparison).
  const auto not_ascending = [](std::size_t i) {
    return parse_error("m/z values are not ascending at point " + std::to_string(i));
  };
  if (!mz.empty() && !std::isfinite(mz.front())) return not_ascending(0);
  for (std::size_t i = 1; i < mz.size(); ++i) {
    if (!(mz[i] > mz[i - 1])) return not_ascending(i);
  }
  if (!mz.empty() && !std::isfinite(mz.back())) return not_ascending(mz.size() - 1);
  double threshold = options.min_intensity;
  if (options.min_snr > 0.0) {
    threshold = std::max(threshold, options.min_snr * noise_level(intensity, out.scratch));
  }
  Picker(mz, intensity, options, threshold, out).run();
  return {};
}

}  // namespace kestrane::centroid
