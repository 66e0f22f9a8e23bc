#include "src/reader/paths.hpp"

#include <string_view>

namespace kestrane::reader {

namespace {

constexpr const char* fallback_name = "bundle.d";

// Appends the UTF-8 encoding of U+FFFD.
void append_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by one U+FFFD.
std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      out += static_cast<char>(b0);
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      append_replacement(out);
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k < len && i + k < bytes.size(); ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
    }
    if (k == len) {
      out.append(bytes.substr(i, len));
    } else {
      append_replacement(out);
    }
    i += k;
  }
  return out;
}

}  // namespace

std::string join_path(const std::string& base, const std::string& component) {
  if (base.empty() || base.back() == '/') return base + component;
  return base + "/" + component;
}

std::string directory_name(const std::string& path) {
  // The last component, skipping empty and "." ones; ".." and no component at all give none.
  std::string_view last;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string_view component(path.data() + pos, end - pos);
    if (!component.empty() && component != ".") last = component;
    pos = end + 1;
  }
  if (last.empty() || last == "..") return fallback_name;
  return utf8_lossy(last);
}

}  // namespace kestrane::reader
