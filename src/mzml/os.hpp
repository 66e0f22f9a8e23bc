// Small owning wrappers of the system calls the writer makes.
#pragma once

#include <string>

#include "src/error.hpp"

namespace kestrane::mzml {

// "<what>: <os text> (os error N)": an OS failure with the operation and path it concerns; its
// os_errno() is N.
Error os_failure(const std::string& what, int os_errno);

// Owns one descriptor and closes it once (close is never retried: the descriptor is gone).
class FileDescriptor {
 public:
  // open(2), repeated on EINTR; the error is errno.
  [[nodiscard]] static std::expected<FileDescriptor, int> open(const char* path, int flags,
                                                               unsigned mode = 0);
  // A close-on-exec duplicate of `fd` (standard output, closed without closing fd 1).
  [[nodiscard]] static std::expected<FileDescriptor, int> duplicate(int fd);

  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }
  int release() noexcept;
  // close(2), reporting its error (a delayed write error shows here on some file systems).
  [[nodiscard]] int close() noexcept;

 private:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace kestrane::mzml
