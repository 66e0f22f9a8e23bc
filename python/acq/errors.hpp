// The exceptions of kestrane_acq: FormatError for what the files say, OSError for what the
// system says.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "src/error.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// A path as the caller gave it: its bytes for the system, and whether it came as bytes (errors
// then report `filename` as bytes, as the os module does).
struct PathArg {
  std::string bytes;
  bool given_as_bytes = false;
};

// str, bytes or os.PathLike; TypeError otherwise, ValueError for an embedded NUL.
PathArg path_arg(nb::handle path);

// Creates kestrane_acq.FormatError (a ValueError) once per process and adds it to the module.
void add_format_error(nb::module_& m);
// kestrane_acq.FormatError, once add_format_error has made it.
nb::handle format_error() noexcept;

// A path for an exception's `filename`: bytes when the caller gave bytes, else path_text(path)
// (native.hpp: os.fsdecode's str).
nb::object filename_object(const std::string& path, bool as_bytes);
// Raises the exception object `instance`.
[[noreturn]] void raise_instance(nb::handle instance);

// Raises the Python exception for a failure to open `path`: FormatError("<file>: <reason>")
// with `filename` set for a format problem, the OSError subclass of errno with errno, strerror
// and filename for a system failure, OSError("<file>: <text>") for other I/O failures.
[[noreturn]] void raise_open_error(const Error& error, const PathArg& path);

}  // namespace kestrane::acq_python
