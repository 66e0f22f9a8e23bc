#include "mzml_support.hpp"

#include <libdeflate.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kestrane::test_support {

std::vector<std::uint8_t> base64_decode(std::string_view text) {
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const std::size_t v = alphabet.find(c);
    if (v == std::string_view::npos) throw std::runtime_error("not base64");
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return out;
}

std::vector<std::uint8_t> zlib_decompress(const std::vector<std::uint8_t>& stream,
                                          std::size_t expected_size) {
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  std::vector<std::uint8_t> out(expected_size);
  std::size_t in_used = 0;
  std::size_t out_used = 0;
  const auto r = libdeflate_zlib_decompress_ex(d.get(), stream.data(), stream.size(), out.data(),
                                               out.size(), &in_used, &out_used);
  if (r != LIBDEFLATE_SUCCESS || in_used != stream.size() || out_used != expected_size) {
    throw std::runtime_error("not one complete zlib stream of the expected size");
  }
  return out;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<std::string> psi_ms_obo_path() {
  const char* env = std::getenv("KESTRANE_PSI_MS_OBO");
  const std::string path = env != nullptr ? env : "/usr/share/openms/CV/psi-ms.obo";
  if (!std::ifstream(path)) return std::nullopt;
  return path;
}

std::optional<std::map<std::string, OboTerm>> read_obo(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::map<std::string, OboTerm> terms;
  std::string line;
  std::string id;
  while (std::getline(in, line)) {
    if (line.starts_with("[")) {
      id.clear();
    } else if (line.starts_with("id: ")) {
      id = line.substr(4);
    } else if (!id.empty() && line.starts_with("name: ")) {
      terms[id].name = line.substr(6);
    } else if (!id.empty() && line.starts_with("relationship: has_units ")) {
      const std::string rest = line.substr(24);
      terms[id].units.push_back(rest.substr(0, rest.find(' ')));
    }
  }
  return terms;
}

SyntheticRun synthetic_run(const mzml::SourceFile& source) {
  using namespace mzml;
  SyntheticRun r;
  r.run.run_id = "synthetic run 1";
  r.run.source = source;
  r.run.software_name = "kestrane";
  r.run.software_version = "0.1.0";
  r.run.spectrum_types = {SpectrumType::ms1, SpectrumType::msn, SpectrumType::sim};

  const auto spectrum = [&](std::int64_t scan_id, double rt) -> SyntheticSpectrum& {
    SyntheticSpectrum& s = r.spectra.emplace_back();
    s.input.native_id = "scanId=" + std::to_string(scan_id);
    s.input.scan_start_time_min = rt;
    return s;
  };
  {  // counts with zeros: written as 32-bit floats
    SyntheticSpectrum& s = spectrum(1001, 0.0125);
    s.input.polarity = Polarity::positive;
    for (int k = 0; k < 40; ++k) {
      s.mz.push_back(100.0 + 0.0625 * k + 1e-9 * k * k);
      s.intensity.push_back(k % 4 == 0 ? 0.0 : static_cast<double>((k * 37) % 101));
    }
  }
  {  // not representable in 32 bits: written as 64-bit floats
    SyntheticSpectrum& s = spectrum(1003, 0.5);
    s.input.ms_level = 2;
    s.input.type = SpectrumType::msn;
    s.input.representation = Representation::centroid;
    s.input.polarity = Polarity::negative;
    s.input.precursor = Precursor{611.3, 611.2999878, 20.0, 0.5, 0.75, 2};
    s.mz = {150.1, 250.25, 350.5, 450.75, 550.125, 600.0, 611.0};
    s.intensity = {0.1, 12.5, 3.0, 7.25, 1e-3, 99.5, 4.0};
  }
  {
    SyntheticSpectrum& s = spectrum(1007, 0.75);
    s.input.type = SpectrumType::sim;
    s.input.representation = Representation::profile;
    s.mz = {301.0, 301.5, 302.0};
    s.intensity = {5.0, 6.0, 5.0};
  }
  spectrum(1010, 1.0).input.polarity = Polarity::positive;  // empty
  {
    SyntheticSpectrum& s = spectrum(1012, 1.25);
    s.input.representation = Representation::centroid;
    s.input.failure = "past_end";
  }
  for (SyntheticSpectrum& s : r.spectra) {
    s.input.mz = s.mz;
    s.input.intensity = s.intensity;
  }

  SyntheticChromatogram& a = r.chromatograms.emplace_back();
  a.input.id = "channel=1";
  a.input.precursor_mz = 200.0;
  a.input.product_mz = 100.0;
  a.time_min = {0.0125, 0.5, 0.75, 1.0, 1.25};
  a.intensity = {10, 0, 12, 13, 0.5};
  SyntheticChromatogram& b = r.chromatograms.emplace_back();
  b.input.id = "channel=2 <\"m/z\" & 'x'>";
  b.input.product_mz = 56.93;
  b.time_min = {0.0125, 0.5};
  b.intensity = {1e6, 16777217};
  for (SyntheticChromatogram& c : r.chromatograms) {
    c.input.time_min = c.time_min;
    c.input.intensity = c.intensity;
  }
  return r;
}

mzml::FunctionSource<mzml::SpectrumInput> SyntheticRun::spectrum_source() const {
  return {spectra.size(), [this](std::size_t i, mzml::Buffers&) -> Result<mzml::SpectrumInput> {
            if (i == failing_read) return std::unexpected(Error::io_os(EIO));
            return spectra[i].input;
          }};
}

mzml::FunctionSource<mzml::ChromatogramInput> SyntheticRun::chromatogram_source() const {
  return {chromatograms.size(),
          [this](std::size_t i, mzml::Buffers&) -> Result<mzml::ChromatogramInput> {
            return chromatograms[i].input;
          }};
}

}  // namespace kestrane::test_support
