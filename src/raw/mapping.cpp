#include "src/raw/mapping.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kestrane::raw {

void* map_anonymous(std::size_t size, bool huge, bool populate) noexcept {
  const std::size_t slack = huge ? huge_page : 0;  // room to move the start to a boundary
  const int populated = populate && !huge ? MAP_POPULATE : 0;
  void* mapping = ::mmap(nullptr, size + slack, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | populated, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  if (!huge) return mapping;
  const auto address = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (address + huge_page - 1) / huge_page * huge_page;
  if (aligned > address) ::munmap(mapping, aligned - address);
  const std::size_t tail = huge_page - (aligned - address);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* base = reinterpret_cast<void*>(aligned);
  ::madvise(base, size, MADV_HUGEPAGE);  // advisory: without THP the mapping still works
  return base;
}

}  // namespace kestrane::raw
