#include "src/reader/arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "src/raw/mapping.hpp"

namespace kestrane::reader {

namespace {

using raw::huge_page;
// A reader's arrays may be a few bytes or gigabytes, and a process may hold thousands of small
// readers: regions start small (first_region_size) and double up to a generous size, so that
// the address space and the memory a reader holds follow its arrays.
constexpr std::size_t max_region_size = std::size_t{256} << 20;
// Regions from this size on are aligned to and advised for huge pages: their arrays are large
// enough that one fault per 2 MiB pays, and at most one partly used huge page is lost per region.
constexpr std::size_t huge_region_size = std::size_t{4} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

ArrayArena::~ArrayArena() {
  for (const Region& region : regions_) ::munmap(region.base, region.size);
}

void* ArrayArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (bytes == 0) bytes = 1;
  if (!regions_.empty()) {
    const Region& region = regions_.back();
    const std::size_t start = round_up(cursor_, alignment);
    if (start <= region.size && bytes <= region.size - start) {
      allocated_ += start + bytes - cursor_;
      cursor_ = start + bytes;
      return static_cast<std::byte*>(region.base) + start;
    }
  }
  if (bytes > SIZE_MAX - huge_page) throw std::bad_alloc();
  // A block larger than the next region gets a region of its own size; either way the next
  // region doubles, so that a run of large blocks does not cost one mapping each.
  std::size_t size = std::max(next_region_size_, bytes);
  next_region_size_ = std::min(next_region_size_ * 2, max_region_size);
  const bool huge = size >= huge_region_size;
  size = round_up(size, huge ? huge_page : static_cast<std::size_t>(::getpagesize()));
  regions_.reserve(regions_.size() + 1);  // so that recording the mapping cannot fail
  void* base = raw::map_anonymous(size, huge);
  if (base == nullptr) throw std::bad_alloc();
  regions_.push_back({base, size});
  cursor_ = bytes;
  allocated_ += bytes;
  return base;
}

}  // namespace kestrane::reader
