// Stopping long decoding work early, from outside it.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>

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
// the stop request between pieces. False when it stopped before the end.
template <class Fn>
bool for_pieces(std::size_t n, std::size_t piece, Interrupt* interrupt, Fn&& fn) {
  std::size_t begin = 0;
  for (; n - begin > piece; begin += piece) {
    fn(begin, begin + piece);
    if (stop_requested(interrupt)) return false;
  }
  fn(begin, n);  // the last piece, or the only one
  return true;
}

}  // namespace kestrane
