// Text of the document: one escaping helper for every string that goes into it, and the
// spelling of numbers, identifiers and file locations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrane::mzml {

// Appends `text` as XML character data, valid in element content and in attribute values
// delimited by either quote: & < > " ' become entities, tab, line feed and carriage return become
// character references (so attribute normalisation keeps them). Anything XML 1.0 cannot carry
// (other control characters, invalid UTF-8, surrogates, U+FFFE, U+FFFF) becomes U+FFFD, one per
// offending byte.
void append_escaped(std::string& out, std::string_view text);

// The shortest text that reads back as the same double; NaN, INF and -INF as xs:double spells them.
void append_double(std::string& out, double value);
void append_uint(std::string& out, std::uint64_t value);

// `text` made into an XML name usable as an ID (an NCName): characters other than ASCII letters,
// digits, '.', '-' and '_' become '_', and a '_' goes in front unless it starts with a letter
// or '_'.
std::string to_ncname(std::string_view text);

// A file URI for a directory: "file://" and the absolute path, every byte outside letters,
// digits, "-._~/" percent-encoded.
std::string file_uri(std::string_view absolute_path);

}  // namespace kestrane::mzml
