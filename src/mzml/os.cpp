#include "src/mzml/os.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrane::mzml {

Error os_failure(const std::string& what, int os_errno) {
  return Error::io_os(os_errno, what);
}

std::expected<FileDescriptor, int> FileDescriptor::open(const char* path, int flags,
                                                        unsigned mode) {
  for (;;) {
    const int fd = ::open(path, flags, static_cast<mode_t>(mode));
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<FileDescriptor, int> FileDescriptor::duplicate(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::unexpected(errno);
  return FileDescriptor(copy);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() { (void)close(); }

int FileDescriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int FileDescriptor::close() noexcept {
  if (fd_ < 0) return 0;
  const int fd = release();
  // Linux releases the descriptor even when close reports EINTR: nothing is left to retry.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace kestrane::mzml
