#pragma once
// Anonymous memory mappings for large arrays, optionally on huge pages.

#include <cstddef>

namespace kestrane::raw {

inline constexpr std::size_t huge_page = std::size_t{2} << 20;

// A new private anonymous mapping of `size` bytes (reserved lazily); when `huge`, it starts on a
// huge-page boundary and is advised for transparent huge pages (`size` should then be a multiple
// of huge_page). `populate` (not with `huge`) backs every page at once, for memory about to be
// written whole: one system call instead of a page fault per 4 KiB. nullptr when the system
// refuses it. Release with munmap(base, size).
[[nodiscard]] void* map_anonymous(std::size_t size, bool huge, bool populate = false) noexcept;

}  // namespace kestrane::raw
