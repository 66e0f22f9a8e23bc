// An ordered parallel map: items are produced on worker threads in any order and consumed on
// the calling thread strictly in order, with a bounded number of items in between.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"

namespace kestrane::mzml {

// Runs produce(state, i, item) for i in [0, n) and consume(i, item) for i = 0, 1, ... n-1.
// With workers <= 1 both run on the calling thread; otherwise `workers` threads each make their
// own state with make_state() and produce into one of 2 * workers slots, reusing the slot's item
// (and its buffers), and a slot is refilled only after its item was consumed: memory stays
// bounded by the slots whatever n is. The first error in item order wins and stops the rest; a
// stop requested through `cancel` (asked from every thread) stops before the next item with
// `cancelled`. A std::bad_alloc thrown on a
// worker is rethrown here after every thread has stopped.
template <class Item, class MakeState, class Produce, class Consume>
Result<void> run_ordered(std::size_t n, unsigned workers, MakeState make_state, Produce produce,
                         Consume consume, Interrupt* cancel, const Error& cancelled) {
  const auto is_cancelled = [cancel] { return stop_requested(cancel); };
  if (workers <= 1) {
    auto state = make_state();
    Item item{};
    for (std::size_t i = 0; i < n; ++i) {
      if (is_cancelled()) return std::unexpected(cancelled);
      if (auto r = produce(state, i, item); !r) return r;
      if (auto r = consume(i, item); !r) return r;
    }
    return {};
  }

  struct Slot {
    bool ready = false;
    Result<void> status;
    Item item{};
  };
  const std::size_t window = 2 * std::size_t{workers};
  std::vector<Slot> slots(window);
  std::mutex mutex;
  std::condition_variable slot_ready;  // the consumer waits for its slot
  std::condition_variable slot_free;   // workers wait for theirs
  std::size_t next = 0;                // next item to claim
  std::size_t consumed = 0;  // items consumed: slot i % window is free when i < consumed + window
  bool stop = false;
  std::exception_ptr thrown;

  const auto work = [&] {
    try {
      auto state = make_state();
      for (;;) {
        std::size_t i;
        {
          std::unique_lock lock(mutex);
          if (stop || next == n) return;
          i = next++;
          slot_free.wait(lock, [&] { return stop || i < consumed + window; });
          if (stop) return;
        }
        Slot& slot = slots[i % window];
        Result<void> status = is_cancelled() ? Result<void>(std::unexpected(cancelled))
                                             : produce(state, i, slot.item);
        {
          std::lock_guard lock(mutex);
          slot.status = std::move(status);
          slot.ready = true;
        }
        slot_ready.notify_one();
      }
    } catch (...) {
      {
        std::lock_guard lock(mutex);
        if (!thrown) thrown = std::current_exception();
        stop = true;
      }
      slot_ready.notify_one();
      slot_free.notify_all();
    }
  };

  std::vector<std::jthread> threads;
  // Declared after the threads, so it runs first on every exit: no worker waits forever.
  struct StopOnExit {
    std::mutex& mutex;
    bool& stop;
    std::condition_variable& slot_free;
    ~StopOnExit() {
      {
        std::lock_guard lock(mutex);
        stop = true;
      }
      slot_free.notify_all();
    }
  };
  const unsigned count = static_cast<unsigned>(std::min<std::size_t>(workers, n));
  threads.reserve(count);
  StopOnExit stop_on_exit{mutex, stop, slot_free};
  for (unsigned t = 0; t < count; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error& e) {
      return std::unexpected(Error::io_os(e.code().value()));
    }
  }

  for (std::size_t i = 0; i < n; ++i) {
    Slot& slot = slots[i % window];
    {
      std::unique_lock lock(mutex);
      slot_ready.wait(lock, [&] { return slot.ready || thrown; });
      if (thrown) {
        const std::exception_ptr e = thrown;
        lock.unlock();
        std::rethrow_exception(e);  // stop_on_exit stops the workers, then they are joined
      }
    }
    if (!slot.status) return std::unexpected(std::move(slot.status).error());
    if (is_cancelled()) return std::unexpected(cancelled);
    if (auto r = consume(i, slot.item); !r) return r;
    {
      std::lock_guard lock(mutex);
      slot.ready = false;
      consumed = i + 1;
    }
    slot_free.notify_all();
  }
  return {};
}

}  // namespace kestrane::mzml
