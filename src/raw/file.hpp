// The one owner of file descriptors and the system calls made on them, repeated on EINTR. The
// calls report errno, so that each caller builds the Error it needs (with a path or a context).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "src/error.hpp"

namespace kestrane::raw {

// Io "failed to fill whole buffer": the file ended before the bytes asked for.
Error short_read();
// Io "not a regular file": a FIFO, device or socket. These have no fixed size: a FIFO could
// stall a reader forever and /dev/zero could fill all memory, so data come from regular files.
Error not_regular_file();

// Owns one descriptor and closes it once, on every path; close is never retried (the descriptor
// is gone even when close reports EINTR).
class File {
 public:
  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { (void)close(); }

  int get() const noexcept { return fd_; }
  // close(2), reporting its error (a delayed write error shows here on some file systems); 0
  // when closed or never open.
  [[nodiscard]] int close() noexcept;

  // read(2) at the current position: the count, 0 at the end of the file.
  [[nodiscard]] std::expected<std::size_t, int> read_some(std::span<std::uint8_t> out) const;
  // pread(2) from `offset` until `out` is full or the file ends: the count, below out.size()
  // only at the end of the file.
  [[nodiscard]] std::expected<std::size_t, int> pread_full(std::uint64_t offset,
                                                           std::span<std::uint8_t> out) const;
  // write(2) until every byte is written; EIO when the system writes nothing without an error.
  [[nodiscard]] std::expected<void, int> write_all(std::span<const std::uint8_t> bytes) const;
  // fsync(2).
  [[nodiscard]] std::expected<void, int> sync() const;

 private:
  int fd_ = -1;
};

// open(2); EINVAL for a path with a NUL inside (the system would take it for a shorter path).
[[nodiscard]] std::expected<File, int> open_file(const std::string& path, int flags,
                                                 unsigned mode = 0);
// open_file for reading data: O_NONBLOCK keeps opening a FIFO without a writer from blocking,
// and changes nothing for regular files.
[[nodiscard]] std::expected<File, int> open_for_reading(const std::string& path);

// The size of the open file: Io EISDIR for a directory (as read(2) reports it),
// not_regular_file() for anything else that is not a regular file, or the error of fstat(2).
[[nodiscard]] Result<std::uint64_t> regular_file_size(const File& file);

}  // namespace kestrane::raw
