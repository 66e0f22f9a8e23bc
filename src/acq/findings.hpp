// What reads find in the intensities they emit: points below zero or not finite. A count of
// ions is neither, but the values are kept as stored (callers may rely on them) and reported
// instead, as warnings of the acquisition. Private to src/acq/.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrane::acq {

class IntensityFindings {
 public:
  // The data files whose points are counted apart.
  enum File : unsigned { profile_file = 0, peak_file = 1 };

  explicit IntensityFindings(std::size_t records = 0);

  // Counts the points of `intensity`, emitted from record `record`'s block in `file`, that are
  // negative or not finite: once per record and file, however often it is read. Thread-safe.
  void note(std::size_t record, File file, std::span<const double> intensity) noexcept;

  // One line per file and kind of finding, of what the reads so far have found:
  // "<file>: N points in M records have a negative intensity, kept as stored (first: record
  // I, V)", "... have an intensity that is not finite, ...". Thread-safe.
  std::vector<std::string> warnings() const;

 private:
  struct Tally {
    std::uint64_t points = 0, records = 0;
    std::size_t first_record = 0;  // the lowest record counted, and its first such value
    double first_value = 0.0;
  };
  // Per record: bit `file` set once its block in that file is counted.
  std::unique_ptr<std::atomic<std::uint8_t>[]> counted_;
  std::size_t records_ = 0;
  mutable std::mutex mutex_;
  Tally tallies_[2][2];  // [file][0 negative, 1 not finite]
};

}  // namespace kestrane::acq
