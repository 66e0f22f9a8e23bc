#include "src/acq/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "src/acq/kept.hpp"

namespace kestrane::acq {

unsigned default_threads() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void for_each_scan(const Acquisition& acquisition, std::span<const std::size_t> indices,
                   Prefer prefer, unsigned threads,
                   const std::function<void(std::size_t, Spectrum&)>& visit) {
  for_each_scan(acquisition, indices, prefer, threads, {}, visit);
}

void for_each_scan(const Acquisition& acquisition, std::span<const std::size_t> indices,
                   Prefer prefer, unsigned threads,
                   const std::function<void(std::size_t, Spectrum&)>& prepare,
                   const std::function<void(std::size_t, Spectrum&)>& visit) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::mutex failure_mutex;

  const auto work = [&]() noexcept {
    try {
      // Kept buffers, given back at the end: the next pass finds them backed by memory.
      Spectrum spectrum = take_spectrum();
      ReadScratch scratch = take_scratch();
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= indices.size()) break;
        if (prepare) prepare(k, spectrum);
        acquisition.read_into(indices[k], prefer, spectrum, scratch);
        visit(k, spectrum);
      }
      give_back(std::move(spectrum));
      give_back(std::move(scratch));
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };

  const std::size_t helpers =
      std::min<std::size_t>(std::max(threads, 1u), std::max<std::size_t>(indices.size(), 1)) - 1;
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  try {
    for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  } catch (...) {
    // A resource limit: the threads that did start and this one read every scan.
  }
  work();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kestrane::acq
