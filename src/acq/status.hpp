// The words of the self-describing reader: block and spectrum statuses, representations,
// calibration sources, polarities and the read preference. One enum and one table each.
#pragma once

#include <optional>
#include <string_view>

namespace kestrane::acq {

// A block's outcome, or a spectrum's. Block statuses never use `incomplete`.
enum class Status {
  ok,
  empty,
  incomplete,
  file_absent,
  past_end,
  unknown_format,
  malformed,
  uncalibrated,
};

enum class Representation { profile, centroid, channels };

// Where a spectrum's m/z values come from. `axis`: the block stores m/z itself.
enum class CalibrationSource { per_scan, per_scan_by_index, default_entry, axis, uncalibrated };

enum class Polarity { positive, negative };

// A read preference: the other kind of block is the fallback.
enum class Prefer { profile, centroid };

std::string_view to_string(Status v) noexcept;
std::string_view to_string(Representation v) noexcept;
std::string_view to_string(CalibrationSource v) noexcept;
std::string_view to_string(Polarity v) noexcept;
std::string_view to_string(Prefer v) noexcept;

// The inverse of to_string(Prefer); nullopt for any other text.
std::optional<Prefer> prefer_from_string(std::string_view text) noexcept;

}  // namespace kestrane::acq
