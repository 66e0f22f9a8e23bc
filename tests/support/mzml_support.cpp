#include "mzml_support.hpp"

#include <libdeflate.h>

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

}  // namespace kestrane::test_support
