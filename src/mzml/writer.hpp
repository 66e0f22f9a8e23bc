// Streaming writer of indexed mzML 1.1.0. The caller describes spectra and chromatograms through
// sources; the writer encodes them on a few threads and writes them in order into a temporary
// file beside the output, which becomes the output only when complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/mzml/binary.hpp"

namespace kestrane::mzml {

enum class SpectrumType : std::uint8_t { ms1, msn, sim };
enum class Representation : std::uint8_t { profile, centroid };
enum class Polarity : std::uint8_t { positive, negative };
// The mass analyzer types the writer names.
enum class Analyzer : std::uint8_t { time_of_flight };
// Selected ion monitoring, total ion current, base peak.
enum class ChromatogramType : std::uint8_t { sim, tic, bpc };

struct Precursor {
  std::optional<double> isolation_target_mz;
  std::optional<double> selected_ion_mz;
  std::optional<double> collision_energy;  // electronvolts
  // The window's extent below and above the target, m/z; written with the target.
  std::optional<double> isolation_lower_offset, isolation_upper_offset;
  std::optional<std::int32_t> charge;  // of the selected ion
};

// One spectrum. The arrays are views into storage of the reader that produced it, valid until
// that reader's next call; mz and intensity have equal lengths.
struct SpectrumInput {
  std::string native_id;  // "scanId=N"
  std::int32_t ms_level = 1;
  SpectrumType type = SpectrumType::ms1;
  Representation representation = Representation::profile;  // written even when empty
  std::optional<Polarity> polarity;                          // omitted when unknown
  double scan_start_time_min = 0.0;
  std::optional<Precursor> precursor;  // activation is collision-induced dissociation
  std::string failure;  // why the spectrum could not be read (empty: it was); a userParam
  std::span<const double> mz;
  std::span<const double> intensity;
};

// One chromatogram. Views as in SpectrumInput.
struct ChromatogramInput {
  std::string id;
  ChromatogramType type = ChromatogramType::sim;
  std::optional<double> precursor_mz;  // isolation target of the first mass filter
  std::optional<double> product_mz;    // the monitored m/z
  std::span<const double> time_min;
  std::span<const double> intensity;
};

// A term of the PSI-MS vocabulary given by the caller.
struct CvParam {
  std::string accession;
  std::string name;
  std::string value;
};

// The file converted: its path (its directory becomes the location, its name the name), its
// SHA-1, and the terms naming its file format and the format of the spectra's native IDs.
struct SourceFile {
  std::string path;
  std::string sha1;  // 40 hex digits
  CvParam native_id_format;
  CvParam file_format;
};

struct RunInfo {
  std::string run_id;  // made into an XML ID for <run>; kept as is for <mzML id>
  SourceFile source;
  std::string software_name;
  std::string software_version;
  // The spectrum types that occur (fileContent); a spectrum of another type is an error.
  std::vector<SpectrumType> spectrum_types;
  // The data processing names peak picking after the conversion (profile spectra centroided).
  bool peak_picking = false;
  // The mass analyzer, where the data say what it is: the instrument configuration then lists
  // its components (ionisation and detector of unknown type). None: no component list.
  std::optional<Analyzer> analyzer;
  // The chromatogram types that occur (fileContent, when there are chromatograms).
  std::vector<ChromatogramType> chromatogram_types{ChromatogramType::sim};
};

// Produces items for one worker thread; its buffers back the views of the item last read.
template <class Input>
class Reader {
 public:
  virtual ~Reader() = default;
  // Item i, 0 <= i < size(). An error stops the conversion (a spectrum that cannot be read is
  // no error: it is an item with `failure` set).
  [[nodiscard]] virtual Result<Input> read(std::size_t i) = 0;
};

// The items to write: their number, fixed in advance (it is written before them), and a reader
// per worker thread. Readers of one source are used at the same time on different threads.
template <class Input>
class Source {
 public:
  virtual ~Source() = default;
  virtual std::size_t size() const = 0;
  virtual std::unique_ptr<Reader<Input>> reader() const = 0;
};

using SpectrumSource = Source<SpectrumInput>;
using ChromatogramSource = Source<ChromatogramInput>;

// Storage for the arrays of one item, one per worker thread, reused from item to item.
struct Buffers {
  std::vector<double> axis;  // m/z or time
  std::vector<double> intensity;
};

// A source from a count and a function, called on worker threads at the same time, each with its
// own Buffers.
template <class Input>
class FunctionSource final : public Source<Input> {
 public:
  using Read = std::function<Result<Input>(std::size_t i, Buffers& buffers)>;
  FunctionSource(std::size_t size, Read read) : size_(size), read_(std::move(read)) {}

  std::size_t size() const override { return size_; }
  std::unique_ptr<Reader<Input>> reader() const override {
    return std::make_unique<FunctionReader>(read_);
  }

 private:
  class FunctionReader final : public Reader<Input> {
   public:
    explicit FunctionReader(const Read& read) : read_(read) {}
    Result<Input> read(std::size_t i) override { return read_(i, buffers_); }

   private:
    const Read& read_;
    Buffers buffers_;
  };

  std::size_t size_;
  Read read_;
};

struct WriteOptions {
  // Threads encoding and compressing; 1 does everything on the calling thread. The calling
  // thread writes in any case.
  unsigned threads = 1;
  // libdeflate level 1 to 12 (zlib compression), or 0 (no compression).
  int compression_level = default_compression_level;
  // MS-Numpress codes for the m/z and time arrays and for the intensity arrays; an array a code
  // refuses (numpress::encode) is written losslessly. None: every array lossless.
  NumpressCodes numpress;
  bool overwrite = false;  // replace an existing output file
  bool gzip = false;       // the whole file gzip-compressed (the index counts uncompressed bytes)
  // Asked from every thread; a stop request ends the conversion with conversion_cancelled().
  Interrupt* cancel = nullptr;
  // Called on the calling thread after each item is written: (items written, items in total).
  std::function<void(std::size_t, std::size_t)> progress;
};

struct WriteSummary {
  std::size_t spectra = 0;
  std::size_t empty_spectra = 0;   // no points (failed ones included)
  std::size_t failed_spectra = 0;  // with a failure text
  std::size_t chromatograms = 0;
  std::uint64_t bytes = 0;  // size of the file written (compressed, with gzip)
};

// Io "conversion cancelled": the error of a conversion stopped on request.
inline Error conversion_cancelled() { return Error::io_message("conversion cancelled"); }

// Writes the run to `path` as indexed mzML: a temporary file in the same directory, renamed to
// `path` once complete and synced; on any error the temporary file is removed and nothing is left
// under `path`. The path "-" is standard output, written as the items come. `chromatograms` may
// be null. Errors: the output's (OutputFile), a reader's error as it is, conversion_cancelled(),
// and for inconsistent input (parse errors) "spectrum <i>
// (<id>): <n> m/z values but <m> intensities", "spectrum <i> (<id>): <type> is not among the
// run's spectrum types", "chromatogram <i> (<id>): <n> times but <m> intensities".
[[nodiscard]] Result<WriteSummary> write_mzml(const std::string& path, const RunInfo& run,
                                              const SpectrumSource& spectra,
                                              const ChromatogramSource* chromatograms,
                                              const WriteOptions& options);

}  // namespace kestrane::mzml
