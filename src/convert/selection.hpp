// Which records a conversion writes: MS levels, a retention-time window, a range of record
// indices and a polarity, each bound optional and inclusive. Records are picked before writing,
// so the counts written ahead of the spectra hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "src/acq/acquisition.hpp"

namespace kestrane::convert {

struct Selection {
  std::optional<std::int32_t> min_ms_level, max_ms_level;
  std::optional<double> start_min, end_min;  // ScanTime, minutes
  std::optional<std::size_t> first_index, last_index;  // positions in MSScan.bin, from 0
  std::optional<acq::Polarity> polarity;  // a record of unknown polarity matches neither

  // Whether any bound is set.
  [[nodiscard]] bool restricts() const noexcept;
  [[nodiscard]] bool selects(const acq::ScanInfo& scan) const noexcept;
};

// Why the selection cannot be used ("ms level 0 is below 1", "ms levels 3-2 end before they
// start", "retention time NaN is not a number", "retention times 5:2 end before they start",
// "scans 9:3 end before they start"); nullopt when it can.
[[nodiscard]] std::optional<std::string> selection_error(const Selection& s);

}  // namespace kestrane::convert
