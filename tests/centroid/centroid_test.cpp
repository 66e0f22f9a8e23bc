// Peak picking over profiles drawn from known peaks: where each centroid lands, which maxima
// become peaks, and what is refused.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "src/centroid/centroid.hpp"

namespace kestrane::centroid {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Peak {
  double mz, height, sigma;
};

struct Profile {
  std::vector<double> mz, intensity;
};

// Points from `start` at `step`, each the sum of the Gaussians plus `floor`.
Profile draw(double start, double step, std::size_t n, const std::vector<Peak>& peaks,
             double floor = 0.0) {
  Profile p;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = start + step * static_cast<double>(i);
    double y = floor;
    for (const Peak& k : peaks) y += k.height * std::exp(-0.5 * std::pow((x - k.mz) / k.sigma, 2));
    p.mz.push_back(x);
    p.intensity.push_back(y);
  }
  return p;
}

Options absolute(double min_intensity) {
  Options o;
  o.min_snr = 0.0;
  o.min_intensity = min_intensity;
  return o;
}

struct Case {
  const char* name;
  Profile profile;
  Options options;
  std::vector<double> mz;  // expected centroids
  double relative;         // tolerance of each m/z, relative
  std::vector<double> intensity;  // expected heights, within 1 % (empty: not checked)
  const char* error = nullptr;    // the whole display() of the expected error
};

Profile edited(Profile p, std::size_t i, double y) {
  p.intensity[i] = y;
  return p;
}

TEST(Centroid, PicksTheKnownPeaks) {
  const Peak single{500.1234, 1000.0, 0.02};
  const Peak left{400.0, 800.0, 0.01}, right{400.06, 500.0, 0.01};
  Profile truncated_low = draw(300.0, 0.005, 40, {{300.0, 900.0, 0.02}, {300.1, 400.0, 0.02}});
  Profile plateau{{100.0, 100.1, 100.2, 100.3, 100.4, 100.5, 100.6},
                  {0.0, 1.0, 5.0, 5.0, 5.0, 1.0, 0.0}};
  Profile pair_top{{100.0, 100.1, 100.2, 100.3, 100.4, 100.5}, {0.0, 1.0, 5.0, 5.0, 1.0, 0.0}};
  Profile gaussian = draw(500.0, 0.0043, 60, {single});
  Profile unsorted = gaussian;
  std::swap(unsorted.mz[10], unsorted.mz[11]);
  Profile nan_mz = gaussian;
  nan_mz.mz[3] = nan;
  Profile short_intensity = gaussian;
  short_intensity.intensity.pop_back();
  const double noise_floor = 50.0;
  Profile noise = draw(200.0, 0.01, 200, {{201.0, 200.0, 0.03}}, noise_floor);
  for (std::size_t i = 0; i < noise.mz.size(); ++i) {
    noise.intensity[i] += 10.0 * std::sin(static_cast<double>(i) * 1.7);  // ripples of the floor
  }
  Options snr;  // median ~ the floor: ripples stay under 10x, the ion at 250 does not pass either
  Options snr_low = snr;
  snr_low.min_snr = 4.0;  // 4 x 50 = 200 < 250: the ion alone

  const Case cases[] = {
      {"single Gaussian, apex between points", gaussian, absolute(1.0), {single.mz}, 1e-6,
       {single.height}},
      {"two resolved peaks", draw(399.9, 0.002, 100, {left, right}), absolute(1.0),
       {left.mz, right.mz}, 1e-6, {left.height, right.height}},
      {"a shoulder at 1.5 sigma is part of its peak",
       draw(600.0, 0.004, 60, {{600.1, 1000.0, 0.02}, {600.13, 400.0, 0.02}}), absolute(1.0),
       {600.1 + 0.0}, 2e-5, {}},
      {"the floor's ripples stay below the noise test", noise, snr, {}, 0.0, {}},
      {"an ion above the noise test", noise, snr_low, {201.0}, 1e-6, {}},
      {"below the intensity threshold", gaussian, absolute(1001.0), {}, 0.0, {}},
      {"maximum on the first point is truncated", truncated_low, absolute(1.0), {300.1}, 1e-6,
       {}},
      {"plateau of three: its middle", plateau, absolute(1.0), {100.3}, 1e-12, {5.0}},
      {"plateau of two: between them", pair_top, absolute(1.0), {100.25}, 1e-12, {}},
      {"negative points are no peaks", edited(edited(gaussian, 5, -1.0), 58, -1.0),
       absolute(1.0), {single.mz}, 1e-6, {single.height}},
      {"a NaN intensity far from the peak changes nothing", edited(gaussian, 55, nan),
       absolute(1.0), {single.mz}, 1e-6, {single.height}},
      {"no points", {}, Options{}, {}, 0.0, {}},
      {"m/z out of order", unsorted, absolute(1.0), {}, 0.0, {},
       "parse error: m/z values are not ascending at point 11"},
      {"m/z not a number", nan_mz, absolute(1.0), {}, 0.0, {},
       "parse error: m/z values are not ascending at point 3"},
      {"arrays of different lengths", short_intensity, absolute(1.0), {}, 0.0, {},
       "parse error: 60 m/z values but 59 intensities"},
  };
  Centroids out, again;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = centroid(c.profile.mz, c.profile.intensity, c.options, out);
    if (c.error != nullptr) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), c.error);
      EXPECT_TRUE(out.mz.empty());
      continue;
    }
    ASSERT_TRUE(r.has_value()) << r.error().display();
    ASSERT_EQ(out.mz.size(), c.mz.size());
    ASSERT_EQ(out.intensity.size(), c.mz.size());
    for (std::size_t k = 0; k < c.mz.size(); ++k) {
      EXPECT_NEAR(out.mz[k], c.mz[k], c.relative * c.mz[k]) << "peak " << k;
      if (!c.intensity.empty()) {
        EXPECT_NEAR(out.intensity[k], c.intensity[k], 0.01 * c.intensity[k]);
      }
    }
    // The same input gives the same bits, with the buffers warm.
    ASSERT_TRUE(centroid(c.profile.mz, c.profile.intensity, c.options, again).has_value());
    ASSERT_EQ(again.mz.size(), out.mz.size());
    for (std::size_t k = 0; k < out.mz.size(); ++k) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(again.mz[k]), std::bit_cast<std::uint64_t>(out.mz[k]));
    }
  }
}

}  // namespace
}  // namespace kestrane::centroid
