#include "src/centroid/centroid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace kestrane::centroid {

namespace {

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

// The vertex of ln y = a + b x + c x^2 fitted to points [lo, hi] by least squares with weights
// y^2 (the points above a Gaussian's flanks count most, as their logarithms are the least noisy),
// x measured from point `apex` in units of `scale`. nullopt when the fit is not a maximum inside
// the points used.
std::optional<double> gaussian_vertex(std::span<const double> mz, std::span<const double> y,
                                      std::size_t lo, std::size_t hi, std::size_t apex,
                                      double scale) noexcept {
  // Normal equations: s[p] = sum w x^p (p = 0..4), t[p] = sum w x^p ln y (p = 0..2).
  double s[5] = {}, t[3] = {};
  for (std::size_t k = lo; k <= hi; ++k) {
    const double v = y[k];
    const double x = (mz[k] - mz[apex]) / scale;
    const double w = v * v;
    const double l = std::log(v);
    double xp = w;
    for (int p = 0; p < 5; ++p) {
      s[p] += xp;
      if (p < 3) t[p] += xp * l;
      xp *= x;
    }
  }
  // Solve [[s0 s1 s2] [s1 s2 s3] [s2 s3 s4]] (a b c) = t by Cramer's rule.
  const auto det3 = [](double a11, double a12, double a13, double a21, double a22, double a23,
                       double a31, double a32, double a33) {
    return a11 * (a22 * a33 - a23 * a32) - a12 * (a21 * a33 - a23 * a31) +
           a13 * (a21 * a32 - a22 * a31);
  };
  const double d = det3(s[0], s[1], s[2], s[1], s[2], s[3], s[2], s[3], s[4]);
  if (!(d != 0.0) || !std::isfinite(d)) return std::nullopt;
  const double b = det3(s[0], t[0], s[2], s[1], t[1], s[3], s[2], t[2], s[4]) / d;
  const double c = det3(s[0], s[1], t[0], s[1], s[2], t[1], s[2], s[3], t[2]) / d;
  if (!(c < 0.0)) return std::nullopt;
  const double x = -b / (2.0 * c);
  const double x_lo = (mz[lo] - mz[apex]) / scale, x_hi = (mz[hi] - mz[apex]) / scale;
  if (!(x >= x_lo && x <= x_hi)) return std::nullopt;
  return mz[apex] + x * scale;
}

class Picker {
 public:
  Picker(std::span<const double> mz, std::span<const double> y, const Options& options,
         double threshold, Centroids& out)
      : mz_(mz), y_(y), options_(options), threshold_(threshold), out_(out) {}

  // Walks the maxima in order; adjacent ones whose valley is not deep enough form one peak,
  // its apex the highest (the first of equal ones), bounded by the valleys around the group.
  void run() {
    const std::size_t n = y_.size();
    bool have_group = false;
    Maximum apex;
    std::size_t group_lo = 0;
    double valley = std::numeric_limits<double>::infinity();
    std::size_t valley_at = 0;
    double previous_height = 0.0;
    std::size_t i = 0;
    while (i < n) {
      const double v = usable(y_[i]);
      std::size_t j = i;
      while (j + 1 < n && usable(y_[j + 1]) == v) ++j;
      const double left = i > 0 ? usable(y_[i - 1]) : -1.0;
      const double right = j + 1 < n ? usable(y_[j + 1]) : -1.0;
      if (v > 0.0 && v > left && v > right) {
        const Maximum m{i, j, v};
        if (have_group &&
            !(valley <= options_.valley_fraction * std::min(previous_height, v))) {
          if (v > apex.height) apex = m;
        } else {
          if (have_group) emit(apex, group_lo, valley_at);
          group_lo = have_group ? valley_at : 0;
          have_group = true;
          apex = m;
        }
        previous_height = v;
        valley = std::numeric_limits<double>::infinity();
        i = j + 1;
        continue;
      }
      if (v < valley) {
        valley = v;
        valley_at = i;
      }
      i = j + 1;
    }
    if (have_group) emit(apex, group_lo, n - 1);
  }

 private:
  void emit(const Maximum& m, std::size_t lo_bound, std::size_t hi_bound) {
    const std::size_t n = y_.size();
    if (m.first == 0 || m.last + 1 >= n) return;  // truncated by the spectrum's ends
    const std::size_t c = m.first + (m.last - m.first) / 2;
    const auto [offset, height] =
        parabola_vertex(usable(y_[c - 1]), usable(y_[c]), usable(y_[c + 1]));
    if (!(height >= threshold_)) return;
    const double floor = options_.fit_fraction * m.height;
    std::size_t lo = c, hi = c;
    while (lo > lo_bound && usable(y_[lo - 1]) > 0.0 && usable(y_[lo - 1]) >= floor) --lo;
    while (hi < hi_bound && usable(y_[hi + 1]) > 0.0 && usable(y_[hi + 1]) >= floor) ++hi;
    std::optional<double> at;
    if (hi - lo >= 2) {
      at = gaussian_vertex(mz_, y_, lo, hi, c, 0.5 * (mz_[c + 1] - mz_[c - 1]));
    }
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
  for (const double v : intensity) {
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
  for (std::size_t i = 0; i < mz.size(); ++i) {
    if (!std::isfinite(mz[i]) || (i > 0 && !(mz[i] > mz[i - 1]))) {
      return parse_error("m/z values are not ascending at point " + std::to_string(i));
    }
  }
  double threshold = options.min_intensity;
  if (options.min_snr > 0.0) {
    threshold = std::max(threshold, options.min_snr * noise_level(intensity, out.scratch));
  }
  Picker(mz, intensity, options, threshold, out).run();
  return {};
}

}  // namespace kestrane::centroid
