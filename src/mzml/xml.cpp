#include "src/mzml/xml.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace kestrane::mzml {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the UTF-8 sequence at text[i] when it encodes a character XML 1.0 allows, else 0.
// Lead bytes and the ranges of the second byte rule out overlong forms, surrogates and values
// above U+10FFFF.
std::size_t xml_char_length(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = b(0);
  const std::size_t left = text.size() - i;
  if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && continuation(b(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (left < 3 || !continuation(b(1)) || !continuation(b(2))) return 0;
    if (lead == 0xE0 && b(1) < 0xA0) return 0;
    if (lead == 0xED && b(1) > 0x9F) return 0;
    if (lead == 0xEF && b(1) == 0xBF && b(2) >= 0xBE) return 0;  // U+FFFE, U+FFFF
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (left < 4 || !continuation(b(1)) || !continuation(b(2)) || !continuation(b(3))) return 0;
    if (lead == 0xF0 && b(1) < 0x90) return 0;
    if (lead == 0xF4 && b(1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

std::string_view ascii_replacement(unsigned char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: return replacement;
  }
}

bool plain_ascii(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  std::size_t run = 0;  // start of the bytes copied unchanged
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (plain_ascii(c)) {
      ++i;
      continue;
    }
    out.append(text.substr(run, i - run));
    if (c < 0x80) {
      out.append(ascii_replacement(c));
      ++i;
    } else if (const std::size_t n = xml_char_length(text, i); n != 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out.append(replacement);
      ++i;
    }
    run = i;
  }
  out.append(text.substr(run));
}

void append_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(value)) {
    out.append(value > 0 ? "INF" : "-INF");
    return;
  }
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, r.ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, r.ptr);
}

std::string to_ncname(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.empty() || !(letter(text[0]) || text[0] == '_')) out.push_back('_');
  for (const char c : text) {
    out.push_back(letter(c) || digit(c) || c == '.' || c == '-' || c == '_' ? c : '_');
  }
  return out;
}

std::string file_uri(std::string_view absolute_path) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  std::string out = "file://";
  for (const char ch : absolute_path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (keep) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

}  // namespace kestrane::mzml
