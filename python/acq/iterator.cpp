#include "python/acq/iterator.hpp"

#include "python/acq/spectrum.hpp"

namespace kestrane::acq_python {

nb::object SpectrumIterator::next() {
  const acq::Acquisition a = acquisition_.handle();
  const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
  if (i >= a.size()) {
    next_.store(a.size(), std::memory_order_relaxed);  // no wrap-around, however often called
    throw nb::stop_iteration();
  }
  return make_spectrum(decode(a, i, prefer_));
}

void bind_iterator(nb::module_& m) {
  nb::class_<SpectrumIterator>(m, "SpectrumIterator")
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__next__", &SpectrumIterator::next);
}

}  // namespace kestrane::acq_python
