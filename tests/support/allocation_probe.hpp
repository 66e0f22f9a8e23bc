// Records the largest single request made through operator new while armed, so that a test can
// show that a call never allocated the size an input merely claims. It replaces the global
// operator new: include it from exactly one source file of a test program.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

// The replacement below pairs malloc with free; g++ cannot see that and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace kestrane::test::detail {
inline std::size_t largest_request = 0;
inline bool probe_armed = false;
}  // namespace kestrane::test::detail

void* operator new(std::size_t size) {
  using namespace kestrane::test::detail;
  if (probe_armed && size > largest_request) largest_request = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kestrane::test {

// The largest allocation made by `fn`.
template <class Fn>
std::size_t largest_allocation(Fn&& fn) {
  detail::largest_request = 0;
  detail::probe_armed = true;
  fn();
  detail::probe_armed = false;
  return detail::largest_request;
}

}  // namespace kestrane::test
