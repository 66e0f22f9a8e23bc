// Acquisition.to_mzml: the converter, run with the interpreter lock released. A signal (Ctrl-C)
// or an exception from the progress callable cancels it: the temporary file is removed and the
// exception propagates.
#pragma once

#include <nanobind/nanobind.h>

#include "src/acq/acquisition.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// Adds kestrane_acq.ConversionSummary, the value to_mzml returns.
void bind_conversion_summary(nb::module_& m);

// Converts `acq` into the file `path` (str, bytes or os.PathLike); progress: None or a
// callable(done, total). Raises FileExistsError when the file exists and overwrite is false,
// TypeError for a progress that is not callable, FormatError when the run cannot be written as
// mzML (repeated scan IDs; with `strict`, a scan that cannot be read), OSError for the output's
// failures, and the exception that cancelled it. centroid: profile spectra are written as their
// centroids.
nb::object to_mzml(const acq::Acquisition& acq, nb::handle path, acq::Prefer prefer,
                   bool compression, unsigned threads, bool overwrite, bool strict,
                   nb::handle progress, bool centroid = false);

}  // namespace kestrane::acq_python
