#include "src/acq/xml.hpp"

#include <charconv>
#include <string>
#include <vector>

#if !defined(__cpp_lib_to_chars)
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#endif

namespace kestrane::acq {

namespace {

std::string_view trim(std::string_view s) noexcept {
  constexpr std::string_view space = " \t\r\n";
  const auto first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(space);
  return s.substr(first, last - first + 1);
}

// Depth of the deepest element, counted without recursion.
bool deeper_than(pugi::xml_node root, std::size_t limit) {
  std::vector<std::pair<pugi::xml_node, std::size_t>> stack{{root, 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > limit) return true;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) stack.emplace_back(c, depth + 1);
    }
  }
  return false;
}

#if defined(__cpp_lib_to_chars)
// The whole of `text` as a double, read by std::from_chars (general format).
std::optional<double> read_double(std::string_view text) noexcept {
  double v = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}
#else
// Standard libraries without floating-point from_chars (libc++ before 17, which the clang fuzz
// build uses): strtod_l in the "C" locale, on text checked to be what from_chars reads -- an
// optional '-', digits with at most one point, an optional exponent with digits, or inf,
// infinity, nan, nan(...) -- and with from_chars' range rule (no result that rounds to zero or
// infinity). Both round correctly, so they give the same bits.
bool equal_ignoring_case(std::string_view t, std::string_view lower) noexcept {
  if (t.size() != lower.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i] >= 'A' && t[i] <= 'Z' ? static_cast<char>(t[i] - 'A' + 'a') : t[i];
    if (c != lower[i]) return false;
  }
  return true;
}

bool from_chars_grammar(std::string_view t) noexcept {
  if (!t.empty() && t.front() == '-') t.remove_prefix(1);
  if (equal_ignoring_case(t, "inf") || equal_ignoring_case(t, "infinity") ||
      equal_ignoring_case(t, "nan")) {
    return true;
  }
  if (t.size() >= 5 && equal_ignoring_case(t.substr(0, 4), "nan(") && t.back() == ')') {
    for (const char c : t.substr(4, t.size() - 5)) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '_')) {
        return false;
      }
    }
    return true;
  }
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i - from;
  };
  std::size_t mantissa = digits();
  if (i < t.size() && t[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == t.size();
}

std::optional<double> read_double(std::string_view text) noexcept {
  if (!from_chars_grammar(text)) return std::nullopt;
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{}) return std::nullopt;
  const std::string copy(text);  // strtod_l needs the terminating zero
  errno = 0;
  char* end = nullptr;
  const double v = strtod_l(copy.c_str(), &end, c_locale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  if (errno == ERANGE && (v == 0.0 || std::isinf(v))) return std::nullopt;
  return v;
}
#endif

}  // namespace

Result<void> load_xml(std::span<const std::uint8_t> bytes, std::string_view name,
                      pugi::xml_document& doc) {
  const std::string prefix = std::string(name) + ": ";
  if (bytes.size() > xml_max_bytes) {
    return parse_error(prefix + "larger than " + std::to_string(xml_max_bytes) + " bytes");
  }
  // A DOCTYPE is parsed only so that it can be refused: pugixml never expands custom entities,
  // but a file that declares any is not one of ours.
  const unsigned options = pugi::parse_default | pugi::parse_doctype;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(bytes.data(), bytes.size(), options, pugi::encoding_auto);
  if (!parsed) {
    return parse_error(prefix + "not well-formed XML (" + parsed.description() + " at offset " +
                       std::to_string(parsed.offset) + ")");
  }
  for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_doctype) {
      return parse_error(prefix + "document type declarations are refused");
    }
  }
  if (deeper_than(doc, xml_max_depth)) {
    return parse_error(prefix + "nested deeper than " + std::to_string(xml_max_depth) +
                       " elements");
  }
  return {};
}

std::string_view local_name(std::string_view qualified) noexcept {
  const auto colon = qualified.rfind(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

pugi::xml_node child(pugi::xml_node node, std::string_view name) noexcept {
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && local_name(c.name()) == name) return c;
  }
  return {};
}

std::string_view trimmed_text(pugi::xml_node node) noexcept {
  return trim(node.child_value());
}

std::optional<double> parse_double(std::string_view text) noexcept {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return read_double(text);
}

std::optional<std::int64_t> parse_int(std::string_view text) noexcept {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

}  // namespace kestrane::acq
