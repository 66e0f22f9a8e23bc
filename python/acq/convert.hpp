// Acquisition.to_mzml: the converter, run with the interpreter lock released. A signal (Ctrl-C)
// or an exception from the progress callable cancels it: the temporary file is removed and the
// exception propagates.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/convert/selection.hpp"
#include "src/mzml/numpress.hpp"

namespace kestrane::acq_python {

namespace nb = nanobind;

// Adds kestrane_acq.ConversionSummary, the value to_mzml returns.
void bind_conversion_summary(nb::module_& m);

// The records to_mzml writes, from its keyword arguments: ms_level (an int, or a pair of ints or
// None: the lowest and highest level), rt (a pair of minutes or None), scans (a pair of record
// indices or None), polarity ("positive", "negative"), each None for no bound. TypeError for
// values of other types, ValueError for bounds that cannot be used.
convert::Selection selection_arg(nb::handle ms_level, nb::handle rt, nb::handle scans,
                                 nb::handle polarity);

// The MS-Numpress codes of to_mzml's numpress argument: None (none), or a str naming them
// ("linear", "slof", "linear,pic", ...). TypeError for other types, ValueError naming what is
// wrong with the names.
mzml::NumpressCodes numpress_arg(nb::handle numpress);

// FormatError (filename MSScan.bin) unless the records `indices`, those an output writes, have
// native IDs mzML can carry: convert::check_native_ids. IndexError for an index out of range.
void check_native_ids(const acq::Acquisition& acq, const std::vector<std::int64_t>& indices);

// Converts `acq` into the file `path` (str, bytes or os.PathLike); progress: None or a
// callable(done, total). Raises FileExistsError when the file exists and overwrite is false,
// TypeError for a progress that is not callable, FormatError when the run cannot be written as
// mzML (repeated scan IDs; with `strict`, a scan that cannot be read), OSError for the output's
// failures, and the exception that cancelled it. centroid: profile spectra are written as their
// centroids; numpress: the codes applied to the arrays.
nb::object to_mzml(const acq::Acquisition& acq, nb::handle path, acq::Prefer prefer,
                   bool compression, unsigned threads, bool overwrite, bool strict,
                   nb::handle progress, bool centroid, const convert::Selection& selection,
                   const mzml::NumpressCodes& numpress);

}  // namespace kestrane::acq_python
