#include "src/raw/read_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrane::raw {

namespace {

constexpr const char* short_read_message = "failed to fill whole buffer";
// FIFOs, devices and sockets have no fixed size: a FIFO could stall the reader forever and
// /dev/zero could fill all memory, so data is read from regular files only.
constexpr const char* not_regular_message = "not a regular file";
// Reads are issued in pieces of at most this size, so that a stop request is seen in between.
constexpr std::size_t read_piece = std::size_t{8} << 20;

// Owns one descriptor; closes it once, on every path, and never retries close.
class File {
 public:
  explicit File(int fd) noexcept : fd_(fd) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

Result<File> open_read_only(const std::string& path) {
  // The system takes NUL-terminated paths: one with a NUL inside would name another file.
  if (path.find('\0') != std::string::npos) return std::unexpected(Error::io_os(EINVAL));
  int fd;
  do {
    // O_NONBLOCK keeps opening a FIFO without a writer from blocking; it changes nothing for
    // regular files.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(Error::io_os(errno));
  return Result<File>(std::in_place, fd);
}

// Appends at most `want` bytes read from the current position to `out`, which grows by no more:
// the buffer is filled (and zeroed first) a piece at a time. Returns the count, 0 at the end of
// the file; repeats the read on EINTR.
Result<std::size_t> append_read(int fd, std::vector<std::uint8_t>& out, std::size_t want) {
  const std::size_t have = out.size();
  out.resize(have + want);
  for (;;) {
    const ssize_t got = ::read(fd, out.data() + have, want);
    if (got >= 0) {
      out.resize(have + static_cast<std::size_t>(got));
      return static_cast<std::size_t>(got);
    }
    const int error = errno;
    if (error != EINTR) {
      out.resize(have);
      return std::unexpected(Error::io_os(error));
    }
  }
}

// Replaces the contents of `out` by `length` bytes from the current position; Io on failure or
// early end of file.
Result<void> read_exact(int fd, std::vector<std::uint8_t>& out, std::size_t length,
                        Interrupt* interrupt) {
  out.clear();
  out.reserve(length);
  while (out.size() < length) {
    if (!out.empty() && stop_requested(interrupt)) return std::unexpected(interrupted());
    auto got = append_read(fd, out, std::min(length - out.size(), read_piece));
    if (!got) return std::unexpected(std::move(got).error());
    if (*got == 0) return std::unexpected(Error::io_message(short_read_message));
  }
  return {};
}

Result<void> read_range(const std::string& path, std::uint64_t offset, std::size_t length,
                        std::size_t prefix, std::vector<std::uint8_t>& buffer,
                        Interrupt* interrupt) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file).error());
  const int fd = file->fd();

  // lseek takes a signed offset: 2^63 and above are refused by the system as EINVAL.
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return std::unexpected(Error::io_os(errno));
  }
  if (length == 0) {
    buffer.clear();
    return {};
  }

  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(Error::io_os(errno));
  if (S_ISDIR(st.st_mode)) return std::unexpected(Error::io_os(EISDIR));  // as read() reports
  if (!S_ISREG(st.st_mode)) return std::unexpected(Error::io_message(not_regular_message));
  // The size tells in advance whether the range exists; refusing here keeps a descriptor that
  // claims gigabytes from costing a buffer of that size.
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (offset >= size || length > size - offset) {
    return std::unexpected(Error::io_message(short_read_message));
  }
  return read_exact(fd, buffer, prefix, interrupt);
}

}  // namespace

Result<void> read_prefix_into(const std::string& path, std::uint64_t offset, std::size_t length,
                              std::size_t prefix, std::vector<std::uint8_t>& buffer,
                              Interrupt* interrupt) {
  auto done = read_range(path, offset, length, std::min(prefix, length), buffer, interrupt);
  if (!done) buffer.clear();  // never a partial or stale range
  return done;
}

Result<void> read_bytes_into(const std::string& path, std::uint64_t offset, std::size_t length,
                             std::vector<std::uint8_t>& buffer, Interrupt* interrupt) {
  return read_prefix_into(path, offset, length, length, buffer, interrupt);
}

Result<std::vector<std::uint8_t>> read_bytes(const std::string& path, std::uint64_t offset,
                                             std::size_t length) {
  std::vector<std::uint8_t> buffer;
  auto done = read_bytes_into(path, offset, length, buffer);
  if (!done) return std::unexpected(std::move(done).error());
  return buffer;
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path, Interrupt* interrupt) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file).error());
  const int fd = file->fd();

  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(Error::io_os(errno));
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {  // a directory fails in read() below
    return std::unexpected(Error::io_message(not_regular_message));
  }
  // One byte more than the size, so that the read that finds the end needs no reallocation; a
  // file that grew meanwhile doubles the buffer.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (!bytes.empty() && stop_requested(interrupt)) return std::unexpected(interrupted());
    const std::size_t room = bytes.capacity() - bytes.size();
    auto got = append_read(fd, bytes, std::min(room > 0 ? room : bytes.capacity(), read_piece));
    if (!got) return std::unexpected(std::move(got).error());
    if (*got == 0) break;
  }
  return bytes;
}

}  // namespace kestrane::raw
