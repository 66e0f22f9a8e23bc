// vornelle_core types: one decoded spectrum and its precursor, as every source hands them out.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <cstddef>
#include <new>
#include <optional>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

namespace vornelle_core {

// Allocator of record arrays. It draws from the memory resource its producer chose (the default
// resource unless a source is given another), and `resize` leaves new elements uninitialised:
// producers overwrite every element, so zero-filling first would only cost a second pass.
template <class T>
class ArrayAllocator {
 public:
  using value_type = T;
  // An array moved into another takes its resource along: assignment never copies elements
  // into the target's old resource. A copied array goes to the default resource.
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  using propagate_on_container_copy_assignment = std::false_type;

  ArrayAllocator() noexcept : resource_(std::pmr::get_default_resource()) {}
  ArrayAllocator(std::pmr::memory_resource* resource) noexcept  // NOLINT: implicit, as pmr's
      : resource_(resource) {}
  template <class U>
  ArrayAllocator(const ArrayAllocator<U>& other) noexcept  // NOLINT: converting
      : resource_(other.resource()) {}

  T* allocate(std::size_t n) {
    return static_cast<T*>(resource_->allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    resource_->deallocate(p, n * sizeof(T), alignof(T));
  }

  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }

  ArrayAllocator select_on_container_copy_construction() const { return ArrayAllocator(); }

  std::pmr::memory_resource* resource() const noexcept { return resource_; }

  template <class U>
  friend bool operator==(const ArrayAllocator& a, const ArrayAllocator<U>& b) noexcept {
    return a.resource_ == b.resource() || a.resource_->is_equal(*b.resource());
  }

 private:
  std::pmr::memory_resource* resource_;
};

template <class T>
using Array = std::vector<T, ArrayAllocator<T>>;

// The precursor of an MS2-or-higher spectrum. Fields that no source of this library ever fills
// (isolation window, charge, activation) are left out rather than kept as always-empty members.
struct PrecursorInfo {
  std::optional<double> mz;
  std::optional<std::string> reference;  // "scanId=N" or "mrm_channel=N"

  friend bool operator==(const PrecursorInfo&, const PrecursorInfo&) = default;
};

// One decoded spectrum. `mz` and `intensity` have equal lengths; element k of one belongs to
// element k of the other. Members that this library's sources always fill with the same constant
// (ion mobility, summary statistics, polarity and the like) are left out.
struct SpectrumRecord {
  std::uint64_t index = 0;    // position in the iteration, from 0
  std::string native_id;      // "scanId=N"
  std::uint32_t scan_id = 0;
  std::uint32_t ms_level = 0;
  double retention_time_sec = 0.0;
  Array<double> mz;
  Array<float> intensity;
  std::optional<double> mz_range_start;
  std::optional<double> mz_range_end;
  std::optional<PrecursorInfo> precursor;
  bool profile_decoded = false;  // a profile block was read and decoded without error
  std::uint8_t layout_class = 0;  // 1 for index records under 220 bytes, 3 otherwise
};

}  // namespace vornelle_core
