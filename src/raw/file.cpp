#include "src/raw/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace kestrane::raw {

namespace {

// A count above SSIZE_MAX has an implementation-defined result: ask for no more at once.
std::size_t at_most_ssize(std::size_t n) {
  return std::min<std::size_t>(n, std::numeric_limits<ssize_t>::max());
}

}  // namespace

Error short_read() { return Error::io_message("failed to fill whole buffer"); }

Error not_regular_file() { return Error::io_message("not a regular file"); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int File::close() noexcept {
  if (fd_ < 0) return 0;
  const int fd = std::exchange(fd_, -1);
  // Linux releases the descriptor even when close reports EINTR: nothing is left to retry.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

std::expected<std::size_t, int> File::read_some(std::span<std::uint8_t> out) const {
  for (;;) {
    const ssize_t got = ::read(fd_, out.data(), at_most_ssize(out.size()));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<std::size_t, int> File::pread_full(std::uint64_t offset,
                                                 std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(fd_, out.data() + done, at_most_ssize(out.size() - done),
                                static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::expected<void, int> File::write_all(std::span<const std::uint8_t> bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) return std::unexpected(EIO);
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, int> File::sync() const {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return {};
}

std::expected<File, int> open_file(const std::string& path, int flags, unsigned mode) {
  if (path.find('\0') != std::string::npos) return std::unexpected(EINVAL);
  for (;;) {
    const int fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
    if (fd >= 0) return File(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<File, int> open_for_reading(const std::string& path) {
  return open_file(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

Result<std::uint64_t> regular_file_size(const File& file) {
  struct stat st;
  if (::fstat(file.get(), &st) != 0) return std::unexpected(Error::io_os(errno));
  if (S_ISDIR(st.st_mode)) return std::unexpected(Error::io_os(EISDIR));
  if (!S_ISREG(st.st_mode)) return std::unexpected(not_regular_file());
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace kestrane::raw
