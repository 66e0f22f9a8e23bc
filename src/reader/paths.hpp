// The paths of a data directory's files, and the name shown for the directory.
#pragma once

#include <string>

namespace kestrane::reader {

// Joins a path and a component: "/" between them unless `base` is empty or ends in "/".
std::string join_path(const std::string& base, const std::string& component);

// The name of a data directory: its final ordinary component as UTF-8 (invalid bytes become
// U+FFFD), or "bundle.d" when the path has none (empty, "/", ".", or ending in "..").
std::string directory_name(const std::string& path);

}  // namespace kestrane::reader
