#include "src/acq/array_pool.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <new>

#include "src/raw/mapping.hpp"

namespace kestrane::acq {

namespace {

constexpr std::size_t page = 4096;  // the alignment of any mapping
using raw::huge_page;
constexpr std::size_t small_granule = std::size_t{64} << 10;
// Above glibc's default mmap threshold (128 KiB): what malloc would map and unmap itself.
constexpr std::size_t smallest_pooled = std::size_t{256} << 10;
constexpr std::size_t max_kept = 8;
constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// The size of the mapping that holds `bytes`, which is also the size class of its reuse:
// 64 KiB granules below 2 MiB, whole huge pages above.
std::size_t mapping_size(std::size_t bytes) noexcept {
  return bytes < huge_page ? round_up(bytes, small_granule) : round_up(bytes, huge_page);
}

// A mapping of `size` bytes; from 2 MiB on, starting on a huge-page boundary and advised for
// transparent huge pages.
void* map(std::size_t size) {
  void* mapping = raw::map_anonymous(size, size >= huge_page, /*populate=*/true);
  if (mapping == nullptr) throw std::bad_alloc();
  return mapping;
}

class SpectrumArrayPool final : public std::pmr::memory_resource {
 private:
  struct Kept {
    void* base = nullptr;
    std::size_t size = 0;
  };

  static bool pooled(std::size_t bytes, std::size_t alignment) noexcept {
    return bytes >= smallest_pooled && alignment <= page &&
           bytes <= SIZE_MAX - 2 * huge_page;
  }

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (!pooled(bytes, alignment)) {
      return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    const std::size_t size = mapping_size(bytes);
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      for (std::size_t k = count_; k-- > 0;) {
        if (kept_[k].size == size) {
          void* base = kept_[k].base;
          kept_[k] = kept_[--count_];
          kept_bytes_ -= size;
          return base;
        }
      }
    }
    return map(size);
  }

  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    if (!pooled(bytes, alignment)) {
      std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
      return;
    }
    const std::size_t size = mapping_size(bytes);
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      if (count_ < max_kept && size <= max_kept_bytes - kept_bytes_) {
        kept_[count_++] = {p, size};
        kept_bytes_ += size;
        return;
      }
    }
    ::munmap(p, size);
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::mutex mutex_;
  std::array<Kept, max_kept> kept_{};
  std::size_t count_ = 0;
  std::size_t kept_bytes_ = 0;
};

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define KESTRANE_ACQ_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRANE_ACQ_ADDRESS_SANITIZER 1
#endif
#endif

std::pmr::memory_resource* spectrum_array_resource() noexcept {
#if defined(KESTRANE_ACQ_ADDRESS_SANITIZER)
  // AddressSanitizer sees a write past an array of the default resource, not past the end of an
  // array inside a larger mapping.
  return std::pmr::new_delete_resource();
#else
  // Built in static storage and never destroyed.
  alignas(SpectrumArrayPool) static unsigned char storage[sizeof(SpectrumArrayPool)];
  static SpectrumArrayPool* const pool = ::new (static_cast<void*>(storage)) SpectrumArrayPool;
  return pool;
#endif
}

}  // namespace kestrane::acq
