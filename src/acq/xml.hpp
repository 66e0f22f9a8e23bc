// Bounded XML loading over bytes read by the caller, and the few look-ups the companion files
// need. Elements are found by local name (any namespace prefix dropped), never by position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "src/error.hpp"

namespace kestrane::acq {

// The companion files are a few kilobytes; anything far larger is not one of them.
inline constexpr std::size_t xml_max_bytes = std::size_t{4} << 20;
inline constexpr std::size_t xml_max_depth = 64;

// Parses `bytes` (UTF-8 with or without a byte-order mark, or any encoding pugixml detects from
// a BOM) into `doc`. Parse errors, each prefixed with "<name>: ": "larger than N bytes", "not
// well-formed XML (<reason> at offset N)", "document type declarations are refused", "nested
// deeper than N elements".
[[nodiscard]] Result<void> load_xml(std::span<const std::uint8_t> bytes, std::string_view name,
                                    pugi::xml_document& doc);

// `qualified` without its namespace prefix ("xs:int" -> "int").
std::string_view local_name(std::string_view qualified) noexcept;

// The first child element of `node` whose local name is `name`; an empty node when none.
pugi::xml_node child(pugi::xml_node node, std::string_view name) noexcept;

// The element's text, trimmed of XML white space.
std::string_view trimmed_text(pugi::xml_node node) noexcept;

// Whole-text numbers: the entire trimmed text must be the number, else nullopt.
std::optional<double> parse_double(std::string_view text) noexcept;
std::optional<std::int64_t> parse_int(std::string_view text) noexcept;

}  // namespace kestrane::acq
