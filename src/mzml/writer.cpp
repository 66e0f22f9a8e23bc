#include "src/mzml/writer.hpp"

#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "src/mzml/base64.hpp"
#include "src/mzml/cv.hpp"
#include "src/mzml/output.hpp"
#include "src/mzml/pipeline.hpp"
#include "src/mzml/xml.hpp"

namespace kestrane::mzml {

namespace {

constexpr std::string_view instrument_configuration_id = "IC";
constexpr std::string_view failure_param_name = "conversion failure";

constexpr Cv spectrum_type_term(SpectrumType type) {
  switch (type) {
    case SpectrumType::ms1: return Cv::ms1_spectrum;
    case SpectrumType::msn: return Cv::msn_spectrum;
    case SpectrumType::sim: return Cv::sim_spectrum;
  }
  return Cv::ms1_spectrum;
}

void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(2 * depth), ' '); }

// Appends ` name="value"` with the value escaped.
void attribute(std::string& out, std::string_view name, std::string_view value) {
  out.push_back(' ');
  out.append(name);
  out.append("=\"");
  append_escaped(out, value);
  out.push_back('"');
}

void uint_attribute(std::string& out, std::string_view name, std::uint64_t value) {
  out.push_back(' ');
  out.append(name);
  out.append("=\"");
  append_uint(out, value);
  out.push_back('"');
}

void cv_param_start(std::string& out, int depth, std::string_view accession,
                    std::string_view name) {
  indent(out, depth);
  out.append("<cvParam");
  attribute(out, "cvRef", accession.substr(0, accession.find(':')));
  attribute(out, "accession", accession);
  attribute(out, "name", name);
}

void cv_param_end(std::string& out, Unit unit) {
  if (unit != Unit::none) {
    const UnitTerm& u = unit_term(unit);
    attribute(out, "unitCvRef", u.accession.substr(0, u.accession.find(':')));
    attribute(out, "unitAccession", u.accession);
    attribute(out, "unitName", u.name);
  }
  out.append("/>\n");
}

void cv_param(std::string& out, int depth, Cv cv, std::string_view value = {}) {
  const CvTerm& t = term(cv);
  cv_param_start(out, depth, t.accession, t.name);
  attribute(out, "value", value);
  cv_param_end(out, t.unit);
}

void cv_param(std::string& out, int depth, Cv cv, double value) {
  const CvTerm& t = term(cv);
  cv_param_start(out, depth, t.accession, t.name);
  out.append(" value=\"");
  append_double(out, value);
  out.push_back('"');
  cv_param_end(out, t.unit);
}

void cv_param(std::string& out, int depth, const CvParam& p) {
  cv_param_start(out, depth, p.accession, p.name);
  attribute(out, "value", p.value);
  cv_param_end(out, Unit::none);
}

void isolation_window(std::string& out, int depth, double target_mz) {
  indent(out, depth);
  out.append("<isolationWindow>\n");
  cv_param(out, depth + 1, Cv::isolation_window_target_mz, target_mz);
  indent(out, depth);
  out.append("</isolationWindow>\n");
}

// One <binaryDataArray>; `kind` is the array's term (m/z, intensity or time array).
void binary_data_array(std::string& out, int depth, Cv kind, const PackedArray& packed) {
  indent(out, depth);
  out.append("<binaryDataArray");
  uint_attribute(out, "encodedLength", base64_length(packed.bytes.size()));
  out.append(">\n");
  cv_param(out, depth + 1, packed.width == Width::float32 ? Cv::float32 : Cv::float64);
  cv_param(out, depth + 1, packed.compressed ? Cv::zlib_compression : Cv::no_compression);
  cv_param(out, depth + 1, kind);
  indent(out, depth + 1);
  if (packed.bytes.empty()) {
    out.append("<binary/>\n");
  } else {
    out.append("<binary>");
    append_base64(out, packed.bytes);
    out.append("</binary>\n");
  }
  indent(out, depth);
  out.append("</binaryDataArray>\n");
}

void binary_data_array_list(std::string& out, int depth, ArrayEncoder& encoder, Cv axis_kind,
                            std::span<const double> axis, std::span<const double> intensity) {
  indent(out, depth);
  out.append("<binaryDataArrayList count=\"2\">\n");
  binary_data_array(out, depth + 1, axis_kind, encoder.pack(axis, false));
  binary_data_array(out, depth + 1, Cv::intensity_array, encoder.pack(intensity, true));
  indent(out, depth);
  out.append("</binaryDataArrayList>\n");
}

struct PeakSummary {
  double tic = 0.0;
  std::size_t base = 0;  // index of the first highest intensity
  double lowest_mz = 0.0;
  double highest_mz = 0.0;
};

PeakSummary summarise(std::span<const double> mz, std::span<const double> intensity) {
  PeakSummary s;
  s.lowest_mz = mz[0];
  s.highest_mz = mz[0];
  for (std::size_t i = 0; i < mz.size(); ++i) {
    s.tic += intensity[i];
    if (intensity[i] > intensity[s.base]) s.base = i;
    if (mz[i] < s.lowest_mz) s.lowest_mz = mz[i];
    if (mz[i] > s.highest_mz) s.highest_mz = mz[i];
  }
  return s;
}

std::string item_label(std::string_view kind, std::size_t i, std::string_view id) {
  std::string s(kind);
  s.push_back(' ');
  append_uint(s, i);
  s.append(" (");
  s.append(id);
  s.append(")");
  return s;
}

// An item as the writing thread receives it: the element's text from its start tag on.
struct EncodedItem {
  std::string id;
  std::string xml;
  std::size_t points = 0;
  bool failed = false;
};

constexpr int item_depth = 4;  // indexedmzML > mzML > run > spectrumList > spectrum

Result<void> encode_spectrum(const SpectrumInput& s, std::size_t index,
                             const std::array<bool, 3>& declared, ArrayEncoder& encoder,
                             EncodedItem& item) {
  if (s.mz.size() != s.intensity.size()) {
    std::string m = item_label("spectrum", index, s.native_id) + ": ";
    append_uint(m, s.mz.size());
    m.append(" m/z values but ");
    append_uint(m, s.intensity.size());
    m.append(" intensities");
    return parse_error(std::move(m));
  }
  const Cv type = spectrum_type_term(s.type);
  if (!declared[static_cast<std::size_t>(s.type)]) {
    return parse_error(item_label("spectrum", index, s.native_id) + ": " +
                       std::string(term(type).name) + " is not among the run's spectrum types");
  }
  item.id = s.native_id;
  item.points = s.mz.size();
  item.failed = !s.failure.empty();
  std::string& out = item.xml;
  out.clear();
  constexpr int d = item_depth;

  out.append("<spectrum");
  uint_attribute(out, "index", index);
  attribute(out, "id", s.native_id);
  uint_attribute(out, "defaultArrayLength", s.mz.size());
  out.append(">\n");
  cv_param(out, d + 1, Cv::ms_level, std::to_string(s.ms_level));
  cv_param(out, d + 1, type);
  cv_param(out, d + 1, s.representation == Representation::profile ? Cv::profile_spectrum
                                                                    : Cv::centroid_spectrum);
  if (s.polarity) {
    cv_param(out, d + 1, *s.polarity == Polarity::positive ? Cv::positive_scan : Cv::negative_scan);
  }
  if (!s.mz.empty()) {
    const PeakSummary p = summarise(s.mz, s.intensity);
    cv_param(out, d + 1, Cv::total_ion_current, p.tic);
    cv_param(out, d + 1, Cv::base_peak_mz, s.mz[p.base]);
    cv_param(out, d + 1, Cv::base_peak_intensity, s.intensity[p.base]);
    cv_param(out, d + 1, Cv::lowest_observed_mz, p.lowest_mz);
    cv_param(out, d + 1, Cv::highest_observed_mz, p.highest_mz);
  }
  if (item.failed) {
    indent(out, d + 1);
    out.append("<userParam");
    attribute(out, "name", failure_param_name);
    attribute(out, "type", "xsd:string");
    attribute(out, "value", s.failure);
    out.append("/>\n");
  }

  indent(out, d + 1);
  out.append("<scanList count=\"1\">\n");
  cv_param(out, d + 2, Cv::no_combination);
  indent(out, d + 2);
  out.append("<scan>\n");
  cv_param(out, d + 3, Cv::scan_start_time, s.scan_start_time_min);
  indent(out, d + 2);
  out.append("</scan>\n");
  indent(out, d + 1);
  out.append("</scanList>\n");

  if (s.precursor) {
    const Precursor& p = *s.precursor;
    indent(out, d + 1);
    out.append("<precursorList count=\"1\">\n");
    indent(out, d + 2);
    out.append("<precursor>\n");
    if (p.isolation_target_mz) isolation_window(out, d + 3, *p.isolation_target_mz);
    if (p.selected_ion_mz) {
      indent(out, d + 3);
      out.append("<selectedIonList count=\"1\">\n");
      indent(out, d + 4);
      out.append("<selectedIon>\n");
      cv_param(out, d + 5, Cv::selected_ion_mz, *p.selected_ion_mz);
      indent(out, d + 4);
      out.append("</selectedIon>\n");
      indent(out, d + 3);
      out.append("</selectedIonList>\n");
    }
    indent(out, d + 3);
    out.append("<activation>\n");
    cv_param(out, d + 4, Cv::collision_induced_dissociation);
    if (p.collision_energy) cv_param(out, d + 4, Cv::collision_energy, *p.collision_energy);
    indent(out, d + 3);
    out.append("</activation>\n");
    indent(out, d + 2);
    out.append("</precursor>\n");
    indent(out, d + 1);
    out.append("</precursorList>\n");
  }

  binary_data_array_list(out, d + 1, encoder, Cv::mz_array, s.mz, s.intensity);
  indent(out, d);
  out.append("</spectrum>\n");
  return {};
}

Result<void> encode_chromatogram(const ChromatogramInput& c, std::size_t index,
                                 ArrayEncoder& encoder, EncodedItem& item) {
  if (c.time_min.size() != c.intensity.size()) {
    std::string m = item_label("chromatogram", index, c.id) + ": ";
    append_uint(m, c.time_min.size());
    m.append(" times but ");
    append_uint(m, c.intensity.size());
    m.append(" intensities");
    return parse_error(std::move(m));
  }
  item.id = c.id;
  item.points = c.time_min.size();
  item.failed = false;
  std::string& out = item.xml;
  out.clear();
  constexpr int d = item_depth;

  out.append("<chromatogram");
  uint_attribute(out, "index", index);
  attribute(out, "id", c.id);
  uint_attribute(out, "defaultArrayLength", c.time_min.size());
  out.append(">\n");
  cv_param(out, d + 1, Cv::sim_chromatogram);
  if (c.precursor_mz) {
    indent(out, d + 1);
    out.append("<precursor>\n");
    isolation_window(out, d + 2, *c.precursor_mz);
    // The schema requires an activation; nothing is known of it.
    indent(out, d + 2);
    out.append("<activation/>\n");
    indent(out, d + 1);
    out.append("</precursor>\n");
  }
  if (c.product_mz) {
    indent(out, d + 1);
    out.append("<product>\n");
    isolation_window(out, d + 2, *c.product_mz);
    indent(out, d + 1);
    out.append("</product>\n");
  }
  binary_data_array_list(out, d + 1, encoder, Cv::time_array, c.time_min, c.intensity);
  indent(out, d);
  out.append("</chromatogram>\n");
  return {};
}

struct Ids {
  std::string software;
  std::string data_processing;
  std::string source_file;
};

std::string header(const RunInfo& run, const Ids& ids, std::size_t spectra,
                   std::size_t chromatograms, const std::array<bool, 3>& declared) {
  std::string out;
  out.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
  out.append(
      "<indexedmzML xmlns=\"http://psi.hupo.org/ms/mzml\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
      "http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd\">\n");
  out.append(
      "  <mzML xmlns=\"http://psi.hupo.org/ms/mzml\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
      "http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\"");
  attribute(out, "id", run.run_id);
  out.append(" version=\"1.1.0\">\n");

  const auto sources = cv_sources();
  indent(out, 2);
  out.append("<cvList");
  uint_attribute(out, "count", sources.size());
  out.append(">\n");
  for (const CvSource& cv : sources) {
    indent(out, 3);
    out.append("<cv");
    attribute(out, "id", cv.id);
    attribute(out, "fullName", cv.full_name);
    attribute(out, "version", cv.version);
    attribute(out, "URI", cv.uri);
    out.append("/>\n");
  }
  indent(out, 2);
  out.append("</cvList>\n");

  indent(out, 2);
  out.append("<fileDescription>\n");
  indent(out, 3);
  out.append("<fileContent>\n");
  for (const SpectrumType t : {SpectrumType::ms1, SpectrumType::msn, SpectrumType::sim}) {
    if (declared[static_cast<std::size_t>(t)]) cv_param(out, 4, spectrum_type_term(t));
  }
  if (chromatograms != 0) cv_param(out, 4, Cv::sim_chromatogram);
  indent(out, 3);
  out.append("</fileContent>\n");
  if (!run.source.path.empty()) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(run.source.path, ec);
    if (ec) path = run.source.path;
    path = path.lexically_normal();
    indent(out, 3);
    out.append("<sourceFileList count=\"1\">\n");
    indent(out, 4);
    out.append("<sourceFile");
    attribute(out, "id", ids.source_file);
    attribute(out, "name", path.filename().native());
    attribute(out, "location", file_uri(path.parent_path().native()));
    out.append(">\n");
    for (const CvParam* p : {&run.source.native_id_format, &run.source.file_format}) {
      if (!p->accession.empty()) cv_param(out, 5, *p);
    }
    if (!run.source.sha1.empty()) cv_param(out, 5, Cv::sha1, run.source.sha1);
    indent(out, 4);
    out.append("</sourceFile>\n");
    indent(out, 3);
    out.append("</sourceFileList>\n");
  }
  indent(out, 2);
  out.append("</fileDescription>\n");

  indent(out, 2);
  out.append("<softwareList count=\"1\">\n");
  indent(out, 3);
  out.append("<software");
  attribute(out, "id", ids.software);
  attribute(out, "version", run.software_version);
  out.append(">\n");
  cv_param(out, 4, Cv::custom_unreleased_software_tool, run.software_name);
  indent(out, 3);
  out.append("</software>\n");
  indent(out, 2);
  out.append("</softwareList>\n");

  indent(out, 2);
  out.append("<instrumentConfigurationList count=\"1\">\n");
  indent(out, 3);
  out.append("<instrumentConfiguration");
  attribute(out, "id", instrument_configuration_id);
  out.append(">\n");
  cv_param(out, 4, Cv::instrument_model);
  indent(out, 3);
  out.append("</instrumentConfiguration>\n");
  indent(out, 2);
  out.append("</instrumentConfigurationList>\n");

  indent(out, 2);
  out.append("<dataProcessingList count=\"1\">\n");
  indent(out, 3);
  out.append("<dataProcessing");
  attribute(out, "id", ids.data_processing);
  out.append(">\n");
  indent(out, 4);
  out.append("<processingMethod order=\"0\"");
  attribute(out, "softwareRef", ids.software);
  out.append(">\n");
  cv_param(out, 5, Cv::conversion_to_mzml);
  indent(out, 4);
  out.append("</processingMethod>\n");
  indent(out, 3);
  out.append("</dataProcessing>\n");
  indent(out, 2);
  out.append("</dataProcessingList>\n");

  indent(out, 2);
  out.append("<run");
  attribute(out, "id", to_ncname(run.run_id));
  attribute(out, "defaultInstrumentConfigurationRef", instrument_configuration_id);
  if (!run.source.path.empty()) attribute(out, "defaultSourceFileRef", ids.source_file);
  out.append(">\n");
  indent(out, 3);
  out.append("<spectrumList");
  uint_attribute(out, "count", spectra);
  attribute(out, "defaultDataProcessingRef", ids.data_processing);
  out.append(">\n");
  return out;
}

// Offsets of the written elements, with their ids, for the index.
struct IndexEntries {
  std::string ids;  // concatenated
  std::vector<std::size_t> id_ends;
  std::vector<std::uint64_t> offsets;

  void add(std::string_view id, std::uint64_t offset) {
    ids.append(id);
    id_ends.push_back(ids.size());
    offsets.push_back(offset);
  }
};

Result<void> write_index(OutputFile& out, std::string_view name, const IndexEntries& entries) {
  std::string text;
  indent(text, 2);
  text.append("<index");
  attribute(text, "name", name);
  text.append(">\n");
  std::size_t start = 0;
  for (std::size_t i = 0; i < entries.offsets.size(); ++i) {
    indent(text, 3);
    text.append("<offset");
    attribute(text, "idRef",
              std::string_view(entries.ids).substr(start, entries.id_ends[i] - start));
    text.push_back('>');
    append_uint(text, entries.offsets[i]);
    text.append("</offset>\n");
    start = entries.id_ends[i];
    if (text.size() >= (std::size_t{1} << 16)) {
      if (auto r = out.write(text); !r) return r;
      text.clear();
    }
  }
  indent(text, 2);
  text.append("</index>\n");
  return out.write(text);
}

struct WorkerState {
  std::unique_ptr<Reader<SpectrumInput>> spectra;
  std::unique_ptr<Reader<ChromatogramInput>> chromatograms;
  ArrayEncoder encoder;
};

}  // namespace

Result<WriteSummary> write_mzml(const std::string& path, const RunInfo& run,
                                const SpectrumSource& spectra,
                                const ChromatogramSource* chromatograms,
                                const WriteOptions& options) {
  const int level = options.compression_level;
  if (level < 0 || level > 12) {
    std::string m = "compression level ";
    m.append(std::to_string(level));
    m.append(" is not between 0 and 12");
    return parse_error(std::move(m));
  }
  std::array<bool, 3> declared{};
  for (const SpectrumType t : run.spectrum_types) declared[static_cast<std::size_t>(t)] = true;
  const std::size_t n_spectra = spectra.size();
  const std::size_t n_chromatograms = chromatograms != nullptr ? chromatograms->size() : 0;
  const std::size_t total = n_spectra + n_chromatograms;

  auto out = OutputFile::create(path, options.overwrite);
  if (!out) return std::unexpected(std::move(out).error());

  Ids ids;
  ids.software = to_ncname(run.software_name);
  ids.data_processing = ids.software + "_conversion";
  if (!run.source.path.empty()) {
    ids.source_file = to_ncname(std::filesystem::path(run.source.path).filename().native());
  }
  if (auto r = out->write(header(run, ids, n_spectra, n_chromatograms, declared)); !r) {
    return std::unexpected(std::move(r).error());
  }

  const Error cancelled = conversion_cancelled();
  WriteSummary summary;
  IndexEntries spectrum_index;
  IndexEntries chromatogram_index;
  const std::string item_indent(2 * item_depth, ' ');

  // Writes one encoded item after its indentation, recording where its start tag begins.
  const auto write_item = [&](std::size_t done, IndexEntries& index,
                              const EncodedItem& item) -> Result<void> {
    if (auto r = out->write(item_indent); !r) return r;
    index.add(item.id, out->offset());
    if (auto r = out->write(item.xml); !r) return r;
    if (options.progress) options.progress(done, total);
    return {};
  };

  auto written = run_ordered<EncodedItem>(
      n_spectra, options.threads,
      [&] { return WorkerState{spectra.reader(), nullptr, ArrayEncoder(level)}; },
      [&](WorkerState& state, std::size_t i, EncodedItem& item) -> Result<void> {
        auto input = state.spectra->read(i);
        if (!input) return std::unexpected(std::move(input).error());
        return encode_spectrum(*input, i, declared, state.encoder, item);
      },
      [&](std::size_t i, const EncodedItem& item) -> Result<void> {
        summary.spectra += 1;
        summary.empty_spectra += item.points == 0 ? 1 : 0;
        summary.failed_spectra += item.failed ? 1 : 0;
        return write_item(i + 1, spectrum_index, item);
      },
      options.cancel, cancelled);
  if (!written) return std::unexpected(std::move(written).error());

  std::string text;
  indent(text, 3);
  text.append("</spectrumList>\n");
  if (n_chromatograms != 0) {
    indent(text, 3);
    text.append("<chromatogramList");
    uint_attribute(text, "count", n_chromatograms);
    attribute(text, "defaultDataProcessingRef", ids.data_processing);
    text.append(">\n");
  }
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());

  if (n_chromatograms != 0) {
    written = run_ordered<EncodedItem>(
        n_chromatograms, options.threads,
        [&] { return WorkerState{nullptr, chromatograms->reader(), ArrayEncoder(level)}; },
        [&](WorkerState& state, std::size_t i, EncodedItem& item) -> Result<void> {
          auto input = state.chromatograms->read(i);
          if (!input) return std::unexpected(std::move(input).error());
          return encode_chromatogram(*input, i, state.encoder, item);
        },
        [&](std::size_t i, const EncodedItem& item) -> Result<void> {
          summary.chromatograms += 1;
          return write_item(n_spectra + i + 1, chromatogram_index, item);
        },
        options.cancel, cancelled);
    if (!written) return std::unexpected(std::move(written).error());
  }

  text.clear();
  if (n_chromatograms != 0) {
    indent(text, 3);
    text.append("</chromatogramList>\n");
  }
  indent(text, 2);
  text.append("</run>\n");
  indent(text, 1);
  text.append("</mzML>\n");
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());

  // The schema wants at least one index; an empty run keeps an empty spectrum index.
  const bool spectrum_listed = n_spectra != 0 || n_chromatograms == 0;
  text.clear();
  indent(text, 1);
  const std::uint64_t index_list_offset = out->offset() + text.size();
  text.append("<indexList");
  uint_attribute(text, "count", (spectrum_listed ? 1 : 0) + (n_chromatograms != 0 ? 1 : 0));
  text.append(">\n");
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());
  if (spectrum_listed) {
    if (auto r = write_index(*out, "spectrum", spectrum_index); !r) {
      return std::unexpected(std::move(r).error());
    }
  }
  if (n_chromatograms != 0) {
    if (auto r = write_index(*out, "chromatogram", chromatogram_index); !r) {
      return std::unexpected(std::move(r).error());
    }
  }
  text.clear();
  indent(text, 1);
  text.append("</indexList>\n");
  indent(text, 1);
  text.append("<indexListOffset>");
  append_uint(text, index_list_offset);
  text.append("</indexListOffset>\n");
  indent(text, 1);
  text.append("<fileChecksum>");
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());
  auto checksum = out->checksum_hex();
  if (!checksum) return std::unexpected(std::move(checksum).error());
  text = std::move(*checksum);
  text.append("</fileChecksum>\n</indexedmzML>\n");
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());
  summary.bytes = out->offset();
  if (auto r = out->commit(); !r) return std::unexpected(std::move(r).error());
  return summary;
}

}  // namespace kestrane::mzml
