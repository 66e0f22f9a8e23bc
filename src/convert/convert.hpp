// An acquisition directory converted into indexed mzML: each record a spectrum (ICP runs: each
// channel a chromatogram), decoded on the writer's worker threads, streamed to the output.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "src/acq/acquisition.hpp"
#include "src/error.hpp"
#include "src/mzml/binary.hpp"

namespace kestrane::convert {

struct ConvertOptions {
  acq::Prefer prefer = acq::Prefer::profile;
  // Threads decoding, encoding and compressing; 1 does everything on the calling thread.
  unsigned threads = 1;
  int compression_level = mzml::default_compression_level;  // 0: no compression
  bool overwrite = false;
  bool gzip = false;  // the file gzip-compressed; `path` "-" is standard output (see write_mzml)
  // Set from any thread to stop: the conversion ends with "conversion cancelled" and the
  // temporary file is removed.
  const std::atomic<bool>* cancel = nullptr;
  // Called on the calling thread: (scans done, scans in total).
  std::function<void(std::size_t, std::size_t)> progress;
};

struct ConvertSummary {
  std::string path;                 // the file written
  std::size_t records = 0;          // in MSScan.bin
  std::size_t written = 0;          // records written (as spectra, or into the chromatograms)
  std::size_t skipped = 0;          // incomplete records, not written
  std::size_t empty = 0;            // written without points, not failed
  std::size_t failed = 0;           // could not be read: written without points, the failure
                                    // in a userParam (ICP: left out of the chromatograms)
  std::size_t chromatograms = 0;
  std::vector<std::string> warnings;  // the acquisition's, then the converter's
  double seconds = 0.0;
  std::uint64_t bytes = 0;          // size of the file written
};

// Converts `acq` into `path`. Errors: the writer's (output file, cancellation), and
// "MSScan.bin: records I and J share ScanID N; native IDs must be unique" or "MSScan.bin:
// record I has a negative ScanID (N)" (parse errors) before anything is written.
[[nodiscard]] Result<ConvertSummary> convert(const acq::Acquisition& acq, const std::string& path,
                                             const ConvertOptions& options);

// One line: "<path>: N scans written, N skipped, N empty, N failed, N warnings, S s, R MB/s"
// (MB/s: megabytes of mzML written per second; ICP runs add " (N chromatograms)" after the
// scans).
std::string summary_line(const ConvertSummary& summary);

}  // namespace kestrane::convert
