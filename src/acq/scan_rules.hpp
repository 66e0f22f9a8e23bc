// The rules turning a record's stored fields into ScanInfo values, shared by scan() and the
// columns of scan_table() so that the two always agree. Private to src/acq/.
#pragma once

#include <cstdint>
#include <optional>

#include "src/acq/status.hpp"

namespace kestrane::acq {

// IonPolarity: 0 positive, 1 negative; any other value names no polarity.
constexpr std::optional<Polarity> polarity_of(std::int64_t ion_polarity) noexcept {
  if (ion_polarity == 0) return Polarity::positive;
  if (ion_polarity == 1) return Polarity::negative;
  return std::nullopt;
}

// scan_table()'s polarity column: 1 positive, -1 negative, 0 none.
constexpr std::int8_t polarity_code(std::int64_t ion_polarity) noexcept {
  const auto p = polarity_of(ion_polarity);
  return !p ? std::int8_t{0} : *p == Polarity::positive ? std::int8_t{1} : std::int8_t{-1};
}

// MzOfInterest names a precursor in MS2 and higher records when it is positive (MS1 records
// store 0). False for NaN.
constexpr bool precursor_applies(std::int32_t ms_level, double mz_of_interest) noexcept {
  return ms_level >= 2 && mz_of_interest > 0.0;
}

// CollisionEnergy describes a fragmentation, hence MS2 and higher records only (MS1 records
// store 0, a value that does not say the ions were fragmented).
constexpr bool collision_energy_applies(std::int32_t ms_level) noexcept { return ms_level >= 2; }

}  // namespace kestrane::acq
