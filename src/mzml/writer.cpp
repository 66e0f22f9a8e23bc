#include "src/mzml/writer.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "src/mzml/document.hpp"
#include "src/mzml/output.hpp"
#include "src/mzml/pipeline.hpp"
#include "src/mzml/xml.hpp"

namespace kestrane::mzml {

namespace {

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
  DeclaredTypes declared{};
  for (const SpectrumType t : run.spectrum_types) declared[static_cast<std::size_t>(t)] = true;
  const std::size_t n_spectra = spectra.size();
  const std::size_t n_chromatograms = chromatograms != nullptr ? chromatograms->size() : 0;
  const std::size_t total = n_spectra + n_chromatograms;

  auto out = OutputFile::create(path, options.overwrite, options.gzip);
  if (!out) return std::unexpected(std::move(out).error());

  Ids ids;
  ids.software = to_ncname(run.software_name);
  ids.data_processing = ids.software + "_conversion";
  if (!run.source.path.empty()) {
    ids.source_file = to_ncname(std::filesystem::path(run.source.path).filename().native());
  }
  std::string text = document_head(run, ids, n_chromatograms, declared);
  start_tag(text, list_depth, "spectrumList",
            {{"count", n_spectra}, {"defaultDataProcessingRef", ids.data_processing}});
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());

  const Error cancelled = conversion_cancelled();
  WriteSummary summary;
  IndexEntries spectrum_index;
  IndexEntries chromatogram_index;
  // Writes one encoded item, recording where its start tag begins (after the indentation).
  const auto write_item = [&](std::size_t done, IndexEntries& index,
                              const EncodedItem& item) -> Result<void> {
    index.add(item.id, out->offset() + indent_width(item_depth));
    if (auto r = out->write(item.xml); !r) return r;
    if (options.progress) options.progress(done, total);
    return {};
  };

  auto written = run_ordered<EncodedItem>(
      n_spectra, options.threads,
      [&] {
        return WorkerState{spectra.reader(), nullptr, ArrayEncoder(level, options.numpress)};
      },
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

  text.clear();
  end_tag(text, list_depth, "spectrumList");
  if (n_chromatograms != 0) {
    start_tag(text, list_depth, "chromatogramList",
              {{"count", n_chromatograms}, {"defaultDataProcessingRef", ids.data_processing}});
  }
  if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());

  if (n_chromatograms != 0) {
    written = run_ordered<EncodedItem>(
        n_chromatograms, options.threads,
        [&] {
          return WorkerState{nullptr, chromatograms->reader(),
                             ArrayEncoder(level, options.numpress)};
        },
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
    text.clear();
    end_tag(text, list_depth, "chromatogramList");
    if (auto r = out->write(text); !r) return std::unexpected(std::move(r).error());
  }

  if (auto r = write_document_tail(*out, spectrum_index, chromatogram_index); !r) {
    return std::unexpected(std::move(r).error());
  }
  if (auto r = out->commit(); !r) return std::unexpected(std::move(r).error());
  summary.bytes = out->stored();
  return summary;
}

}  // namespace kestrane::mzml
