#include "src/mzml/document.hpp"

#include <filesystem>
#include <system_error>
#include <utility>

namespace kestrane::mzml {

namespace {

constexpr std::string_view instrument_configuration_id = "IC";

constexpr std::string_view mzml_namespace = "http://psi.hupo.org/ms/mzml";
constexpr std::string_view xsi_namespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr std::string_view indexed_schema_location =
    "http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd";
constexpr std::string_view schema_location =
    "http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd";

void file_description(std::string& out, const RunInfo& run, const Ids& ids,
                      std::size_t chromatograms, const DeclaredTypes& declared) {
  Element description(out, 2, "fileDescription");
  {
    Element content = description.child("fileContent");
    for (const SpectrumType t : {SpectrumType::ms1, SpectrumType::msn, SpectrumType::sim}) {
      if (declared[static_cast<std::size_t>(t)]) content.cv_param(spectrum_type_term(t));
    }
    if (chromatograms != 0) {
      for (const ChromatogramType t : run.chromatogram_types) {
        content.cv_param(chromatogram_type_term(t));
      }
    }
  }
  if (run.source.path.empty()) return;
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(run.source.path, ec);
  if (ec) path = run.source.path;
  path = path.lexically_normal();
  Element list = description.child("sourceFileList", {{"count", 1}});
  Element file = list.child("sourceFile", {{"id", ids.source_file},
                                           {"name", path.filename().native()},
                                           {"location", file_uri(path.parent_path().native())}});
  for (const CvParam* p : {&run.source.native_id_format, &run.source.file_format}) {
    if (!p->accession.empty()) file.cv_param(*p);
  }
  if (!run.source.sha1.empty()) file.cv_param(Cv::sha1, run.source.sha1);
}

// One <index> of the indexList: the offset of each element's start tag, by id. Written in pieces
// of about 64 KiB.
Result<void> write_index(OutputFile& out, std::string_view name, const IndexEntries& entries) {
  std::string text;
  {
    Element index(text, 2, "index", {{"name", name}});
    std::size_t start = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      {
        const std::string_view id =
            std::string_view(entries.ids).substr(start, entries.id_ends[i] - start);
        TextElement offset = index.text_child("offset", {{"idRef", id}});
        append_uint(text, entries.offsets[i]);
      }
      start = entries.id_ends[i];
      if (text.size() >= (std::size_t{1} << 16)) {
        if (auto r = out.write(text); !r) return r;
        text.clear();
      }
    }
  }
  return out.write(text);
}

}  // namespace

std::string document_head(const RunInfo& run, const Ids& ids, std::size_t chromatograms,
                          const DeclaredTypes& declared) {
  std::string out;
  out.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
  start_tag(out, 0, "indexedmzML",
            {{"xmlns", mzml_namespace},
             {"xmlns:xsi", xsi_namespace},
             {"xsi:schemaLocation", indexed_schema_location}});
  start_tag(out, 1, "mzML",
            {{"xmlns", mzml_namespace},
             {"xmlns:xsi", xsi_namespace},
             {"xsi:schemaLocation", schema_location},
             {"id", run.run_id},
             {"version", "1.1.0"}});
  {
    const auto sources = cv_sources();
    Element cv_list(out, 2, "cvList", {{"count", sources.size()}});
    for (const CvSource& cv : sources) {
      cv_list.empty_child("cv", {{"id", cv.id},
                                 {"fullName", cv.full_name},
                                 {"version", cv.version},
                                 {"URI", cv.uri}});
    }
  }
  file_description(out, run, ids, chromatograms, declared);
  {
    Element list(out, 2, "softwareList", {{"count", 1}});
    Element software =
        list.child("software", {{"id", ids.software}, {"version", run.software_version}});
    software.cv_param(Cv::custom_unreleased_software_tool, run.software_name);
  }
  {
    Element list(out, 2, "instrumentConfigurationList", {{"count", 1}});
    Element configuration =
        list.child("instrumentConfiguration", {{"id", instrument_configuration_id}});
    configuration.cv_param(Cv::instrument_model);
    if (run.analyzer) {
      // The generic terms say that the source and detector exist, of a type not known.
      Element components = configuration.child("componentList", {{"count", 3}});
      components.child("source", {{"order", 1}}).cv_param(Cv::ionization_type);
      components.child("analyzer", {{"order", 2}}).cv_param(Cv::time_of_flight);
      components.child("detector", {{"order", 3}}).cv_param(Cv::detector_type);
    }
  }
  {
    Element list(out, 2, "dataProcessingList", {{"count", 1}});
    Element processing = list.child("dataProcessing", {{"id", ids.data_processing}});
    // The conversion, then peak picking when the spectra were centroided.
    const Cv methods[] = {Cv::conversion_to_mzml, Cv::peak_picking};
    for (std::uint64_t order = 0; order < (run.peak_picking ? 2u : 1u); ++order) {
      Element method = processing.child(
          "processingMethod", {{"order", order}, {"softwareRef", ids.software}});
      method.cv_param(methods[order]);
    }
  }
  start_tag(out, 2, "run",
            {{"id", to_ncname(run.run_id)},
             {"defaultInstrumentConfigurationRef", instrument_configuration_id},
             run.source.path.empty() ? Attribute::none()
                                     : Attribute("defaultSourceFileRef", ids.source_file)});
  return out;
}

Result<void> write_document_tail(OutputFile& out, const IndexEntries& spectra,
                                 const IndexEntries& chromatograms) {
  const bool spectrum_listed = spectra.size() != 0 || chromatograms.size() == 0;
  const bool chromatogram_listed = chromatograms.size() != 0;
  std::string text;
  end_tag(text, 2, "run");
  end_tag(text, 1, "mzML");
  const std::uint64_t index_list_offset = out.offset() + text.size() + indent_width(1);
  start_tag(text, 1, "indexList",
            {{"count", std::uint64_t{spectrum_listed} + std::uint64_t{chromatogram_listed}}});
  if (auto r = out.write(text); !r) return r;
  if (spectrum_listed) {
    if (auto r = write_index(out, "spectrum", spectra); !r) return r;
  }
  if (chromatogram_listed) {
    if (auto r = write_index(out, "chromatogram", chromatograms); !r) return r;
  }
  text.clear();
  end_tag(text, 1, "indexList");
  {
    TextElement offset(text, 1, "indexListOffset");
    append_uint(text, index_list_offset);
  }
  {
    // The checksum covers every byte up to and including this start tag.
    TextElement checksum(text, 1, "fileChecksum");
    if (auto r = out.write(text); !r) return r;
    auto hex = out.checksum_hex();
    if (!hex) return std::unexpected(std::move(hex).error());
    text = std::move(*hex);
  }
  end_tag(text, 0, "indexedmzML");
  return out.write(text);
}

}  // namespace kestrane::mzml
