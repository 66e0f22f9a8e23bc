#include "src/acq/xml.hpp"

#include <charconv>
#include <string>
#include <vector>

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
  double v = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
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
