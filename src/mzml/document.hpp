// The parts of the written document, for the writer's driver: the head (document.cpp), the
// spectrum and chromatogram elements (spectrum_element.cpp, chromatogram_element.cpp, with what
// they share in item_element.cpp), and the tail with the index (document.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/error.hpp"
#include "src/mzml/binary.hpp"
#include "src/mzml/cv.hpp"
#include "src/mzml/element.hpp"
#include "src/mzml/output.hpp"
#include "src/mzml/writer.hpp"

namespace kestrane::mzml {

// indexedmzML > mzML > run > spectrumList or chromatogramList > spectrum or chromatogram
constexpr int list_depth = 3;
constexpr int item_depth = 4;

// Whether each SpectrumType (by its value) is among the run's spectrum types.
using DeclaredTypes = std::array<bool, 3>;

constexpr Cv spectrum_type_term(SpectrumType type) {
  switch (type) {
    case SpectrumType::ms1: return Cv::ms1_spectrum;
    case SpectrumType::msn: return Cv::msn_spectrum;
    case SpectrumType::sim: return Cv::sim_spectrum;
  }
  return Cv::ms1_spectrum;
}

constexpr Cv chromatogram_type_term(ChromatogramType type) {
  switch (type) {
    case ChromatogramType::sim: return Cv::sim_chromatogram;
    case ChromatogramType::tic: return Cv::tic_chromatogram;
    case ChromatogramType::bpc: return Cv::basepeak_chromatogram;
  }
  return Cv::sim_chromatogram;
}

// The IDs the document's elements refer to each other by.
struct Ids {
  std::string software;
  std::string data_processing;
  std::string source_file;  // empty when the run names no source file
};

// Everything before <spectrumList>: the XML declaration, the start tags of indexedmzML and mzML,
// the cvList, fileDescription, softwareList, instrumentConfigurationList, dataProcessingList, and
// the start tag of run.
std::string document_head(const RunInfo& run, const Ids& ids, std::size_t chromatograms,
                          const DeclaredTypes& declared);

// An item as the writing thread receives it: the element's text, from its indentation on.
struct EncodedItem {
  std::string id;
  std::string xml;
  std::size_t points = 0;
  bool failed = false;
};

// The <spectrum> at `index`, checked against the run's spectrum types. Errors "spectrum <i>
// (<id>): <n> m/z values but <m> intensities", "spectrum <i> (<id>): <type> is not among the
// run's spectrum types".
[[nodiscard]] Result<void> encode_spectrum(const SpectrumInput& s, std::size_t index,
                                           const DeclaredTypes& declared, ArrayEncoder& encoder,
                                           EncodedItem& item);

// The <chromatogram> at `index`. Error "chromatogram <i> (<id>): <n> times but <m> intensities".
[[nodiscard]] Result<void> encode_chromatogram(const ChromatogramInput& c, std::size_t index,
                                               ArrayEncoder& encoder, EncodedItem& item);

// "<kind> <i> (<id>)", the start of the messages about one item.
std::string item_label(std::string_view kind, std::size_t i, std::string_view id);

// The error "<kind> <i> (<id>): <n> <axis> but <m> intensities" for arrays of unequal lengths.
std::unexpected<Error> unequal_lengths(std::string_view kind, std::size_t i, std::string_view id,
                                       std::size_t n, std::string_view axis, std::size_t m);

// <isolationWindow> with its target m/z and the offsets given, as a child of `parent`.
void isolation_window(Element& parent, double target_mz,
                      std::optional<double> lower_offset = std::nullopt,
                      std::optional<double> upper_offset = std::nullopt);

// <binaryDataArrayList> of the axis (its term `axis_kind`: m/z or time) and the intensities, as a
// child of `parent`, each packed with the encoder's Numpress code for its kind.
void binary_data_array_list(Element& parent, ArrayEncoder& encoder, Cv axis_kind,
                            std::span<const double> axis, std::span<const double> intensity);

// Offsets of the written elements, with their ids, for the index.
struct IndexEntries {
  std::string ids;  // concatenated
  std::vector<std::size_t> id_ends;
  std::vector<std::uint64_t> offsets;

  std::size_t size() const noexcept { return offsets.size(); }
  void add(std::string_view id, std::uint64_t offset) {
    ids.append(id);
    id_ends.push_back(ids.size());
    offsets.push_back(offset);
  }
};

// Everything after the last list: the end tags of run and mzML, the indexList with the offsets of
// the spectra and chromatograms, the indexListOffset and the fileChecksum (the SHA-1 of the bytes
// before it). The schema wants at least one index: a run without items keeps an empty spectrum
// index.
[[nodiscard]] Result<void> write_document_tail(OutputFile& out, const IndexEntries& spectra,
                                               const IndexEntries& chromatograms);

}  // namespace kestrane::mzml
