#include "src/acq/findings.hpp"

#include <charconv>
#include <cmath>

namespace kestrane::acq {

IntensityFindings::IntensityFindings(std::size_t records)
    : counted_(std::make_unique<std::atomic<std::uint8_t>[]>(records)), records_(records) {}

void IntensityFindings::note(std::size_t record, File file,
                             std::span<const double> intensity) noexcept {
  if (record >= records_) return;
  const auto bit = static_cast<std::uint8_t>(1u << file);
  std::atomic<std::uint8_t>& counted = counted_[record];
  if ((counted.load(std::memory_order_relaxed) & bit) != 0) return;
  std::uint64_t found[2] = {0, 0};
  double first[2] = {0.0, 0.0};
  for (const double v : intensity) {
    const int kind = !std::isfinite(v) ? 1 : v < 0.0 ? 0 : -1;
    if (kind < 0) continue;
    if (found[kind]++ == 0) first[kind] = v;
  }
  // A record read by two threads at once is counted by the first to mark it.
  if ((counted.fetch_or(bit, std::memory_order_relaxed) & bit) != 0) return;
  if (found[0] == 0 && found[1] == 0) return;
  const std::lock_guard lock(mutex_);
  for (int kind = 0; kind < 2; ++kind) {
    if (found[kind] == 0) continue;
    Tally& t = tallies_[file][kind];
    if (t.records == 0 || record < t.first_record) {
      t.first_record = record;
      t.first_value = first[kind];
    }
    t.points += found[kind];
    ++t.records;
  }
}

std::vector<std::string> IntensityFindings::warnings() const {
  static constexpr const char* files[2] = {"MSProfile.bin", "MSPeak.bin"};
  static constexpr const char* kinds[2] = {"a negative intensity",
                                           "an intensity that is not finite"};
  std::vector<std::string> out;
  const std::lock_guard lock(mutex_);
  for (unsigned f = 0; f < 2; ++f) {
    for (int kind = 0; kind < 2; ++kind) {
      const Tally& t = tallies_[f][kind];
      if (t.records == 0) continue;
      char value[32];
      const auto end = std::to_chars(value, value + sizeof value, t.first_value).ptr;
      out.push_back(std::string(files[f]) + ": " + std::to_string(t.points) + " points in " +
                    std::to_string(t.records) + " records have " + kinds[kind] +
                    ", kept as stored (first: record " + std::to_string(t.first_record) + ", " +
                    std::string(value, end) + ")");
    }
  }
  return out;
}

}  // namespace kestrane::acq
