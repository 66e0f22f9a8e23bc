// kestrane_acq.Acquisition: an open acquisition directory, shared by any number of threads.
#pragma once

#include <nanobind/nanobind.h>

#include <mutex>
#include <optional>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

class Acquisition {
 public:
  Acquisition(acq::Acquisition handle, nb::object path) noexcept
      : handle_(std::move(handle)), path_(std::move(path)) {}

  // A reference to the library's acquisition for one operation; ValueError once closed. The
  // reference keeps the files open until the operation ends, whatever close() does meanwhile.
  acq::Acquisition handle() const;
  // Drops this object's reference: the files close when the last operation using them ends.
  void close() noexcept;
  bool closed() const noexcept;
  const nb::object& path() const noexcept { return path_; }

 private:
  mutable std::mutex mutex_;
  std::optional<acq::Acquisition> handle_;
  nb::object path_;  // as given (str or bytes), for repr
};

void bind_acquisition(nb::module_& m);

}  // namespace kestrane::acq_python
