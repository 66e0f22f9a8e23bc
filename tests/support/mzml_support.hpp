// Helpers of the mzML writer tests: decoders independent of the writer's encoders, the PSI-MS
// vocabulary file, and a small synthetic run with one spectrum or chromatogram of every kind.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/mzml/writer.hpp"

namespace kestrane::test_support {

// Base64 text (RFC 4648, padded) back to bytes; throws on a character outside the alphabet.
std::vector<std::uint8_t> base64_decode(std::string_view text);
// A zlib stream back to bytes with libdeflate; throws unless it is one complete valid stream.
std::vector<std::uint8_t> zlib_decompress(const std::vector<std::uint8_t>& stream,
                                          std::size_t expected_size);
std::string read_text_file(const std::string& path);

// The vocabulary that OpenMS ships, or $KESTRANE_PSI_MS_OBO; nullopt when absent.
std::optional<std::string> psi_ms_obo_path();
struct OboTerm {
  std::string name;
  std::vector<std::string> units;  // the has_units relationships
};
// accession -> term, for every [Term] stanza of an .obo file; nullopt when it cannot be read.
std::optional<std::map<std::string, OboTerm>> read_obo(const std::string& path);

struct SyntheticSpectrum {
  mzml::SpectrumInput input;  // arrays point into the vectors below
  std::vector<double> mz;
  std::vector<double> intensity;
};
struct SyntheticChromatogram {
  mzml::ChromatogramInput input;
  std::vector<double> time_min;
  std::vector<double> intensity;
};
// MS1 profile, MSn centroid with precursor, SIM, an empty and a failed spectrum; a chromatogram
// with precursor and product and one with product only and an id that needs escaping.
struct SyntheticRun {
  SyntheticRun() = default;
  SyntheticRun(SyntheticRun&&) = default;
  SyntheticRun(const SyntheticRun&) = delete;  // the inputs' views would point into the original

  mzml::RunInfo run;
  std::vector<SyntheticSpectrum> spectra;
  std::vector<SyntheticChromatogram> chromatograms;
  std::size_t failing_read = SIZE_MAX;  // reading this spectrum gives an I/O error

  mzml::FunctionSource<mzml::SpectrumInput> spectrum_source() const;
  mzml::FunctionSource<mzml::ChromatogramInput> chromatogram_source() const;
};
// `source` names the converted file's terms; the tests that do not validate semantically may
// pass any.
SyntheticRun synthetic_run(const mzml::SourceFile& source);

}  // namespace kestrane::test_support
