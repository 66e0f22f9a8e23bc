#include "python/acq/buffers.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace kestrane::acq_python {

namespace {

constexpr std::size_t max_kept = 16;
constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;

std::size_t capacity_bytes(const acq::Spectrum& s) noexcept {
  return (s.mz.capacity() + s.intensity.capacity() + s.precursor_mz.capacity() +
          s.accumulation_time_sec.capacity()) * sizeof(double) +
         s.detector_mode.capacity() * sizeof(std::int32_t);
}

struct Pool {
  std::mutex mutex;
  std::vector<acq::Spectrum> kept;
  std::size_t bytes = 0;
};

// Never destroyed: spectra may be given back while the process exits.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

acq::Spectrum take_spectrum() {
  Pool& p = pool();
  {
    const std::lock_guard lock(p.mutex);
    if (!p.kept.empty()) {
      acq::Spectrum s = std::move(p.kept.back());
      p.kept.pop_back();
      p.bytes -= capacity_bytes(s);
      return s;
    }
  }
  return acq::Spectrum{};
}

void give_back(acq::Spectrum&& spectrum) noexcept {
  const std::size_t bytes = capacity_bytes(spectrum);
  if (bytes == 0) return;
  Pool& p = pool();
  const std::lock_guard lock(p.mutex);
  if (p.kept.size() >= max_kept || p.bytes + bytes > max_kept_bytes) return;
  try {
    p.kept.push_back(std::move(spectrum));
  } catch (...) {  // std::bad_alloc growing the list: the arrays are freed instead
    return;
  }
  p.bytes += bytes;
}

namespace {

constexpr std::size_t max_kept_scratches = 8;

std::size_t scratch_bytes(const acq::ReadScratch& s) noexcept {
  return s.capacity + s.expanded.capacity() + s.channel_x.capacity() * sizeof(double);
}

struct ScratchPool {
  std::mutex mutex;
  std::vector<acq::ReadScratch> kept;
  std::size_t bytes = 0;
};

ScratchPool& scratch_pool() {
  static ScratchPool* p = new ScratchPool;  // never destroyed, like the spectra's
  return *p;
}

}  // namespace

acq::ReadScratch take_scratch() {
  ScratchPool& p = scratch_pool();
  const std::lock_guard lock(p.mutex);
  if (p.kept.empty()) return {};
  acq::ReadScratch s = std::move(p.kept.back());
  p.kept.pop_back();
  p.bytes -= scratch_bytes(s);
  return s;
}

void give_back(acq::ReadScratch&& scratch) noexcept {
  const std::size_t bytes = scratch_bytes(scratch);
  if (bytes == 0) return;
  ScratchPool& p = scratch_pool();
  const std::lock_guard lock(p.mutex);
  if (p.kept.size() >= max_kept_scratches || p.bytes + bytes > max_kept_bytes) return;
  try {
    p.kept.push_back(std::move(scratch));
  } catch (...) {  // std::bad_alloc growing the list: the buffers are freed instead
    return;
  }
  p.bytes += bytes;
}

}  // namespace kestrane::acq_python
