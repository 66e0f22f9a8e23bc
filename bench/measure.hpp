// Measurements the benchmarks share: a thread's CPU time, and the peak resident memory a piece
// of work adds, measured in a forked child.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

namespace kestrane::bench {

// CPU time of the calling thread, in seconds.
inline double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A "Vm...:" field of /proc/self/status, in KiB (0 when absent).
inline std::uint64_t status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string key;
  std::uint64_t value = 0;
  while (in >> key) {
    if (key == field) {
      in >> value;
      return value;
    }
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

// Runs `work` (returning true on success) in a child process whose high-water mark starts at its
// resident size (/proc/self/clear_refs, 5) and returns how far the mark rose, in KiB; nullopt
// when the child could not be started or `work` failed.
template <class Work>
std::optional<std::uint64_t> peak_growth_kib(Work&& work) {
  constexpr std::uint64_t failed = ~std::uint64_t{0};
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t before = status_kib("VmRSS:");
    const bool ok = work();
    const std::uint64_t peak = status_kib("VmHWM:");
    const std::uint64_t growth = ok && peak >= before ? peak - before : failed;
    (void)!::write(fds[1], &growth, sizeof growth);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::uint64_t growth = failed;
  if (child > 0) {
    (void)!::read(fds[0], &growth, sizeof growth);
    ::waitpid(child, nullptr, 0);
  }
  ::close(fds[0]);
  if (growth == failed) return std::nullopt;
  return growth;
}

}  // namespace kestrane::bench
