// vornelle_core sources: anything that yields SpectrumRecords one at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <optional>

#include "core/types.hpp"

namespace vornelle_core {

struct SizeHint {
  std::size_t lower = 0;
  std::optional<std::size_t> upper;
};

// A forward iterator over items of type T, owned through a unique_ptr.
template <class T>
class Iterator {
 public:
  virtual ~Iterator() = default;

  // The next item, or nullopt once exhausted (and on every call after that).
  virtual std::optional<T> next() = 0;

  // Bounds on the number of items still to come.
  virtual SizeHint size_hint() const = 0;

  // Skips up to n items; returns how many of the n steps could not be taken.
  virtual std::size_t advance_by(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!next()) return n - i;
    }
    return 0;
  }

  // Skips n items and returns the following one, or nullopt if fewer than n + 1 remained.
  virtual std::optional<T> nth(std::size_t n) {
    if (advance_by(n) != 0) return std::nullopt;
    return next();
  }
};

using SpectrumIterator = Iterator<SpectrumRecord>;

class SpectrumSource {
 public:
  virtual ~SpectrumSource() = default;

  // A new iterator over the source's spectra; it refers to the source and must not outlive it.
  // The records' arrays are allocated from `arrays`, which must outlive every record produced.
  virtual std::unique_ptr<SpectrumIterator> iter_spectra(
      std::pmr::memory_resource* arrays = std::pmr::get_default_resource()) const = 0;
};

}  // namespace vornelle_core
