// kestrane_acq.SpectrumIterator: the spectra of an Acquisition in index order.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>

#include "python/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// Shared by threads, an iterator hands each index to one of them.
class SpectrumIterator {
 public:
  SpectrumIterator(nb::object owner, const Acquisition& acquisition, acq::Prefer prefer)
      : owner_(std::move(owner)), acquisition_(acquisition), prefer_(prefer) {}

  // The next spectrum; StopIteration after the last; ValueError once the Acquisition is closed.
  nb::object next();

 private:
  nb::object owner_;  // keeps the Acquisition alive
  const Acquisition& acquisition_;
  acq::Prefer prefer_;
  std::atomic<std::size_t> next_{0};
};

void bind_iterator(nb::module_& m);

}  // namespace kestrane::acq_python
