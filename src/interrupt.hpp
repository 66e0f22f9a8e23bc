// Stopping long decoding work early, from outside it.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <type_traits>

#include "src/error.hpp"

namespace kestrane {

// Asked by long work, between steps of bounded cost (a few milliseconds at most), whether to
// stop. Work that stops returns interrupted(), as a system call interrupted by a signal does,
// unless its contract names another error. Work spread over threads asks from each of them, and
// says so: the Interrupt it is given must then be safe to ask from any thread (StopFlag is).
class Interrupt {
 public:
  virtual ~Interrupt() = default;
  // True when the work should stop; once true, true on every later call.
  virtual bool requested() noexcept = 0;
};

// An Interrupt that any thread sets with request() and any thread may ask.
class StopFlag final : public Interrupt {
 public:
  bool requested() noexcept override { return stop_.load(); }
  void request() noexcept { stop_.store(true); }

 private:
  std::atomic<bool> stop_{false};
};

// True when `interrupt` is given and asks to stop.
inline bool stop_requested(Interrupt* interrupt) noexcept {
  return interrupt != nullptr && interrupt->requested();
}

// The error of work stopped on request: "Interrupted system call (os error 4)".
inline Error interrupted() { return Error::io_os(EINTR); }

// Calls fn(begin, end) for consecutive pieces of [0, n), each at most `piece` long, and looks at
// the stop request between pieces. False when it stopped before the end on request. A piece
// function returning bool ends the walk by returning false (its caller knows why); that is not
// a stop request, and the result is true.
template <class Fn>
bool for_pieces(std::size_t n, std::size_t piece, Interrupt* interrupt, Fn&& fn) {
  const auto go_on = [&](std::size_t b, std::size_t e) {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn&, std::size_t, std::size_t>, bool>) {
      return fn(b, e);
    } else {
      fn(b, e);
      return true;
    }
  };
  std::size_t begin = 0;
  for (; n - begin > piece; begin += piece) {
    if (!go_on(begin, begin + piece)) return true;
    if (stop_requested(interrupt)) return false;
  }
  go_on(begin, n);  // the last piece, or the only one
  return true;
}

}  // namespace kestrane
