#include "src/acq/kept.hpp"

#include <mutex>
#include <utility>
#include <vector>

namespace kestrane::acq {

namespace {

constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;

std::size_t capacity_bytes(const Spectrum& s) noexcept {
  return (s.mz.capacity() + s.intensity.capacity() + s.precursor_mz.capacity() +
          s.accumulation_time_sec.capacity()) * sizeof(double) +
         (s.intensity32.capacity() + s.detector_mode.capacity()) * sizeof(std::int32_t);
}

std::size_t capacity_bytes(const ReadScratch& s) noexcept {
  return s.capacity + s.expanded.capacity() +
         (s.channel_x.capacity() + s.last_block.x.capacity() + s.last_block.y.capacity()) *
             sizeof(double);
}

// Up to `max_kept` objects whose buffers hold at most max_kept_bytes together.
template <class T, std::size_t max_kept>
class Kept {
 public:
  T take() {
    const std::lock_guard lock(mutex_);
    if (kept_.empty()) return T{};
    T t = std::move(kept_.back());
    kept_.pop_back();
    bytes_ -= capacity_bytes(t);
    return t;
  }

  void give_back(T&& t) noexcept {
    const std::size_t bytes = capacity_bytes(t);
    if (bytes == 0) return;
    const std::lock_guard lock(mutex_);
    if (kept_.size() >= max_kept || bytes_ + bytes > max_kept_bytes) return;
    try {
      kept_.push_back(std::move(t));
    } catch (...) {  // std::bad_alloc growing the list: the buffers are freed instead
      return;
    }
    bytes_ += bytes;
  }

 private:
  std::mutex mutex_;
  std::vector<T> kept_;
  std::size_t bytes_ = 0;
};

// Never destroyed: buffers may be given back while the process exits.
Kept<Spectrum, 16>& spectra() {
  static auto* kept = new Kept<Spectrum, 16>;
  return *kept;
}

Kept<ReadScratch, 8>& scratches() {
  static auto* kept = new Kept<ReadScratch, 8>;
  return *kept;
}

}  // namespace

Spectrum take_spectrum() { return spectra().take(); }
void give_back(Spectrum&& spectrum) noexcept {
  spectrum.float32_counts = false;  // the next taker's read asks for itself
  spectra().give_back(std::move(spectrum));
}

ReadScratch take_scratch() { return scratches().take(); }
void give_back(ReadScratch&& scratch) noexcept { scratches().give_back(std::move(scratch)); }

}  // namespace kestrane::acq
