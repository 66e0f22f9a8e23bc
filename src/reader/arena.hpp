// Memory for the arrays of many records that live and die together.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

namespace kestrane::reader {

// A monotonic resource over anonymous mappings that start at 64 KiB and double up to 256 MiB.
// Pages are committed only when first written. Regions of 4 MiB and more are advised for
// transparent huge pages: a 2 MiB page costs one fault instead of 512, which dominates the cost
// of filling hundreds of megabytes of fresh arrays, while a small reader keeps ordinary pages
// and holds little more than its arrays. Deallocation is a no-op; everything is returned when
// the arena is destroyed. Not thread-safe: one producer at a time.
class ArrayArena final : public std::pmr::memory_resource {
 public:
  ArrayArena() = default;
  ArrayArena(const ArrayArena&) = delete;
  ArrayArena& operator=(const ArrayArena&) = delete;
  ~ArrayArena() override;

  // Bytes handed out so far, alignment padding included.
  std::size_t allocated_bytes() const noexcept { return allocated_; }

 private:
  static constexpr std::size_t first_region_size = std::size_t{64} << 10;

  struct Region {
    void* base;
    std::size_t size;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::vector<Region> regions_;
  std::size_t cursor_ = 0;  // offset of the next free byte in the last region
  std::size_t next_region_size_ = first_region_size;
  std::size_t allocated_ = 0;
};

}  // namespace kestrane::reader
