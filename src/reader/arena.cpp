#include "src/reader/arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace kestrane::reader {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// Untouched pages cost no memory, but address space can be limited (RLIMIT_AS) and a process
// may hold many small readers: regions start small and double up to a generous size.
constexpr std::size_t first_region_size = std::size_t{4} << 20;
constexpr std::size_t max_region_size = std::size_t{256} << 20;

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
  const std::size_t region_size =
      regions_.empty() ? first_region_size
                       : std::min(regions_.back().size * 2, max_region_size);
  const std::size_t size = bytes > region_size ? round_up(bytes, huge_page) : region_size;
  regions_.reserve(regions_.size() + 1);  // so that recording the mapping cannot fail
  // Reserve one huge page more, so the region can start on a huge-page boundary.
  void* mapping = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto address = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = round_up(address, huge_page);
  if (aligned > address) ::munmap(mapping, aligned - address);
  const std::size_t tail = huge_page - (aligned - address);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* base = reinterpret_cast<void*>(aligned);
  ::madvise(base, size, MADV_HUGEPAGE);  // advisory: without THP the region still works
  regions_.push_back({base, size});
  cursor_ = bytes;
  allocated_ += bytes;
  return base;
}

}  // namespace kestrane::reader
