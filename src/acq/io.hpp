// Files of an acquisition directory: data files held open for positioned reads from any number
// of threads, and small companion files read whole under a size limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/file.hpp"

namespace kestrane::acq {

// One regular file, open for reading until destruction. read_at uses pread, so concurrent reads
// share the descriptor without a lock.
class DataFile {
 public:
  // nullopt when the file does not exist; Io errors (with the path attached) otherwise: EISDIR
  // for a directory, "not a regular file" for a FIFO, device or socket. A file of at most
  // `whole_limit` bytes is read whole by the first call of whole() (0: never).
  [[nodiscard]] static Result<std::optional<DataFile>> open_if_present(
      const std::string& path, std::uint64_t whole_limit = 0);


  // The size when opened; blocks are checked against it before any read.
  std::uint64_t size() const noexcept { return size_; }

  // Fills `out` from `offset`; the caller has checked offset + out.size() <= size(). Io
  // "failed to fill whole buffer" when the file has shrunk since.
  [[nodiscard]] Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

  // The whole file (size() bytes) as read by the first call, which the others wait for; nullopt
  // when the file is above the limit given to open_if_present or could not be read whole then
  // (it had shrunk): read_at serves such a file. Later changes to the file do not reach the copy,
  // as a file replaced after open does not reach its descriptor.
  std::optional<std::span<const std::uint8_t>> whole() const;
  // True once whole() has its copy: reads are then served from memory, with no system call.
  bool loaded() const noexcept {
    return whole_ && whole_->ready.load(std::memory_order_acquire) && whole_->bytes != nullptr;
  }

 private:
  // The copy comes from spectrum_array_resource(): a large file lands in huge pages, and the
  // copy of a closed acquisition serves the next one without fresh page faults.
  struct Whole {
    std::once_flag once;
    std::uint8_t* bytes = nullptr;  // null until read, or when the read failed
    std::size_t size = 0;
    std::atomic<bool> ready{false};  // set once the first whole() has finished its read
    Whole() = default;
    Whole(const Whole&) = delete;
    Whole& operator=(const Whole&) = delete;
    ~Whole();
  };

  DataFile(raw::File file, std::uint64_t size) noexcept : file_(std::move(file)), size_(size) {}
  raw::File file_;
  std::uint64_t size_;
  std::unique_ptr<Whole> whole_;  // null above the limit
};

// Bytes from spectrum_array_resource(), returned to it on destruction: not zeroed before they
// are read into, and a large buffer freed by one acquisition serves the next without fresh page
// faults.
class PooledBytes {
 public:
  PooledBytes() noexcept = default;
  explicit PooledBytes(std::size_t size);
  PooledBytes(PooledBytes&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  PooledBytes& operator=(PooledBytes&& other) noexcept;
  PooledBytes(const PooledBytes&) = delete;
  PooledBytes& operator=(const PooledBytes&) = delete;
  ~PooledBytes();

  std::span<std::uint8_t> bytes() noexcept { return {data_, size_}; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// As read_small_file, into pooled bytes, read in pieces of a few megabytes between which
// `interrupt` is asked: interrupted() when it asks to stop.
[[nodiscard]] Result<std::optional<PooledBytes>> read_pooled_file(const std::string& path,
                                                                  const std::string& name,
                                                                  std::uint64_t limit,
                                                                  Interrupt* interrupt = nullptr);

// The whole file, or nullopt when it does not exist. Parse error "<name>: larger than N bytes"
// beyond `limit`, checked before anything is read.
[[nodiscard]] Result<std::optional<std::vector<std::uint8_t>>> read_small_file(
    const std::string& path, const std::string& name, std::uint64_t limit);

}  // namespace kestrane::acq
