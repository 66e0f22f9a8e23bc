// An acquisition directory converted into indexed mzML: each record a spectrum (ICP runs: each
// channel a chromatogram), decoded on the writer's worker threads, streamed to the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/convert/selection.hpp"
#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/mzml/binary.hpp"

namespace kestrane::convert {

struct ConvertOptions {
  acq::Prefer prefer = acq::Prefer::profile;
  // Profile spectra are written as their centroids (peak picking); spectra read from centroid
  // blocks are written as stored.
  bool centroid = false;
  // Threads decoding, encoding and compressing; 1 does everything on the calling thread.
  unsigned threads = 1;
  int compression_level = mzml::default_compression_level;  // 0: no compression
  // MS-Numpress for the m/z and time arrays and for the intensities (zlib on top unless
  // compression_level is 0); none by default: every array lossless.
  mzml::NumpressCodes numpress;
  bool overwrite = false;
  // A scan that cannot be read stops the conversion instead of being written empty.
  bool strict = false;
  Selection selection;  // the records written; every record by default
  bool gzip = false;  // the file gzip-compressed; `path` "-" is standard output (see write_mzml)
  // Asked from every thread; a stop request ends the conversion with
  // mzml::conversion_cancelled() and the temporary file is removed.
  Interrupt* cancel = nullptr;
  // Called on the calling thread: (scans done, scans in total).
  std::function<void(std::size_t, std::size_t)> progress;
};

struct ConvertSummary {
  std::string path;                 // the file written
  std::size_t records = 0;          // in MSScan.bin
  std::size_t selected = 0;         // records the selection picked (all without a selection)
  bool restricted = false;          // a selection was given
  std::size_t written = 0;          // records written (as spectra, or into the chromatograms)
  std::size_t skipped = 0;          // incomplete records, not written
  std::size_t empty = 0;            // written without points, not failed
  std::size_t failed = 0;           // could not be read: written without points, the failure
                                    // in a userParam (ICP: left out of the chromatograms)
  std::size_t chromatograms = 0;
  bool icp = false;                 // ICP channels, written as chromatograms
  std::vector<std::string> warnings;  // the acquisition's, then the converter's
  double seconds = 0.0;
  std::uint64_t bytes = 0;          // size of the file written
};

// The native IDs ("scanId=N") of `records`, the records an output writes: unique and not
// negative, else "MSScan.bin: record I has a negative ScanID (N)" for the first such record of
// `records`, or "MSScan.bin: records I and J share ScanID N; native IDs must be unique" (parse
// errors).
[[nodiscard]] Result<void> check_native_ids(const acq::Acquisition& acq,
                                            std::span<const std::size_t> records);

// Converts `acq` into `path`. Errors: the writer's (output file, cancellation), the selection's
// error (selection_error, a parse error), and
// "MSScan.bin: records I and J share ScanID N; native IDs must be unique" or "MSScan.bin:
// record I has a negative ScanID (N)" (parse errors) before anything is written; with `strict`,
// "MSScan.bin: record I (scanId=N) could not be read: <failure>" (a parse error) for the first
// failed scan, and no file is left.
[[nodiscard]] Result<ConvertSummary> convert(const acq::Acquisition& acq, const std::string& path,
                                             const ConvertOptions& options);

// The codes a list of names asks for, separated by commas: "linear" (m/z and time arrays), "pic"
// or "slof" (intensity arrays), e.g. "linear,slof"; each code applies to its own arrays only.
// Parse errors "unknown numpress code 'X' (linear, pic, slof)", "numpress code X given twice",
// "numpress codes pic and slof both apply to the intensities".
[[nodiscard]] Result<mzml::NumpressCodes> numpress_codes(std::string_view names);

// One line: "<path>: N scans written, N skipped, N empty, N failed, N warnings, S s, R MB/s"
// (MB/s: megabytes of mzML written per second). ICP runs say "N chromatograms from N records"
// in place of "N scans written"; a selection adds " (N of M records selected)" after either.
std::string summary_line(const ConvertSummary& summary);

}  // namespace kestrane::convert
