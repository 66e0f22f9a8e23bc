#include "src/reader/arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace kestrane::reader {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// A reader's arrays may be a few bytes or gigabytes, and a process may hold thousands of small
// readers: regions start small (first_region_size) and double up to a generous size, so that
// the address space and the memory a reader holds follow its arrays.
constexpr std::size_t max_region_size = std::size_t{256} << 20;
// Regions from this size on are aligned to and advised for huge pages: their arrays are large
// enough that one fault per 2 MiB pays, and at most one partly used huge page is lost per region.
constexpr std::size_t huge_region_size = std::size_t{4} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// A new anonymous mapping of `size` bytes, aligned to a huge page when `huge`; nullptr when the
// system refuses it.
void* map_region(std::size_t size, bool huge) {
  const std::size_t slack = huge ? huge_page : 0;  // room to move the start to a boundary
  void* mapping = ::mmap(nullptr, size + slack, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  if (!huge) return mapping;
  const auto address = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = round_up(address, huge_page);
  if (aligned > address) ::munmap(mapping, aligned - address);
  const std::size_t tail = huge_page - (aligned - address);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* base = reinterpret_cast<void*>(aligned);
  ::madvise(base, size, MADV_HUGEPAGE);  // advisory: without THP the region still works
  return base;
}

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
  void* base = map_region(size, huge);
  if (base == nullptr) throw std::bad_alloc();
  regions_.push_back({base, size});
  cursor_ = bytes;
  allocated_ += bytes;
  return base;
}

}  // namespace kestrane::reader
