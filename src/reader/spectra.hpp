// Every spectrum of a directory, decoded at once, each distinct block once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/types.hpp"
#include "src/reader/arena.hpp"
#include "src/reader/blocks.hpp"
#include "src/reader/reader.hpp"

namespace kestrane::reader {

// The spectra of a Reader, with the values iteration gives them. Scans whose blocks lie at one
// byte offset read its bytes once and, for profile blocks, check and expand its stream once
// (BlockReader::profiles); scans whose arrays are equal share them, and nothing changes the
// arrays after decode() returns. They live in an arena of their own. Safe to read from any
// number of threads.
class Spectra {
 public:
  // Decodes every scan of `reader`. A scan whose blocks cannot be read or decoded has empty
  // arrays, as in iteration; the only error is interrupted(), when `interrupt` asks to stop.
  [[nodiscard]] static Result<Spectra> decode(const Reader& reader,
                                              Interrupt* interrupt = nullptr);

  std::size_t size() const noexcept { return scans_.size(); }
  double retention_time_sec(std::size_t i) const noexcept { return scans_[i].retention_time_sec; }
  std::uint32_t ms_level(std::size_t i) const noexcept { return scans_[i].ms_level; }
  std::span<const double> mz(std::size_t i) const noexcept;
  std::span<const float> intensity(std::size_t i) const noexcept;

  // What decoding read and produced.
  const ReadCounts& counts() const noexcept { return counts_; }

 private:
  static constexpr std::size_t no_arrays = SIZE_MAX;

  struct Scan {
    double retention_time_sec;
    std::uint32_t ms_level;
    std::size_t arrays;  // index into blocks_, or no_arrays
  };

  Spectra() = default;

  // Declared first: the blocks' arrays live in it and are destroyed before it.
  std::unique_ptr<ArrayArena> arena_;
  std::vector<raw::DecodedBlock> blocks_;
  std::vector<Scan> scans_;
  ReadCounts counts_;
};

}  // namespace kestrane::reader
