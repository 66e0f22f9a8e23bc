// MSTS.xml: the time segments and their scan counts, a cross-check of the record count.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "src/error.hpp"

namespace kestrane::acq {

struct TimeSegment {
  std::int64_t id = 0;
  std::int64_t scans = 0;
};

// Parses MSTS.xml (UTF-8, byte-order mark or not). The XML loader's errors (prefixed "MSTS.xml:
// "), "MSTS.xml: no TimeSegments element", "MSTS.xml: segment N has no readable NumOfScans".
[[nodiscard]] Result<std::vector<TimeSegment>> parse_msts(std::span<const std::uint8_t> xml);

// Warnings when the sum of NumOfScans differs from the record count. The count itself always
// comes from MSScan.bin.
std::vector<std::string> msts_warnings(const std::vector<TimeSegment>& segments,
                                       std::uint64_t records);

}  // namespace kestrane::acq
