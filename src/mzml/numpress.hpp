// MS-Numpress encoders, the lossy binary array compressions of mzML: linear prediction (m/z and
// times), positive integer compression and short logged float (intensities). Each encoder
// computes the values a decoder gets back and refuses an array it cannot hold within its code's
// tolerance, so that the caller writes that array losslessly instead.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrane::mzml {

enum class Numpress : std::uint8_t { none, linear, pic, slof };

// The codes applied to the arrays of one document: `axis` to m/z and time arrays (none or
// linear), `intensity` to intensity arrays (none, pic or slof).
struct NumpressCodes {
  Numpress axis = Numpress::none;
  Numpress intensity = Numpress::none;
};

namespace numpress {

// The bound every decoded value d of a value x keeps, checked value by value:
//   linear  |d - x| <= linear_tolerance * max(x, 1)
//   pic     |d - x| <= 0.5 (x rounded to the nearest integer)
//   slof    |d - x| <= slof_tolerance * (x + 1)
constexpr double linear_tolerance = 1e-8;
constexpr double slof_tolerance = 2e-4;

// The largest fixed point that keeps the first two scaled values and every residual of the
// linear prediction (each with a margin of one for rounding) within a signed 32-bit integer:
// floor((2^31 - 1) / m), m the largest of 1, x0, x1 and ceil(|x[i] - 2 x[i-1] + x[i-2]| + 1).
double linear_fixed_point(std::span<const double> values);

// floor(65535 / m), m the largest of 1 and log(x + 1): the largest scaled logarithm fits 16 bits.
double slof_fixed_point(std::span<const double> values);

// Encodes `values` into `out` (replacing its contents) and returns true, or returns false when
// the array holds a negative or non-finite value, does not fit the code's integers, or a decoded
// value would leave the code's tolerance. Empty arrays are refused (nothing is gained), and
// single values for linear (decoders refuse the 12 bytes of one value). `code` must not be
// Numpress::none.
bool encode(Numpress code, std::span<const double> values, std::vector<std::uint8_t>& out);

}  // namespace numpress
}  // namespace kestrane::mzml
