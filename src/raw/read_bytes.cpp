#include "src/raw/read_bytes.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <utility>

#include "src/raw/file.hpp"

namespace kestrane::raw {

namespace {

// Reads are issued in pieces of at most this size, so that a stop request is seen in between.
constexpr std::size_t read_piece = std::size_t{8} << 20;

Result<File> open_data(const std::string& path) {
  auto file = open_for_reading(path);
  if (!file) return std::unexpected(Error::io_os(file.error()));
  return std::move(*file);
}

// Appends at most `want` bytes read from the current position to `out`, which grows by no more:
// the buffer is filled (and zeroed first) a piece at a time. Returns the count, 0 at the end of
// the file.
Result<std::size_t> append_read(const File& file, std::vector<std::uint8_t>& out,
                                std::size_t want) {
  const std::size_t have = out.size();
  out.resize(have + want);
  auto got = file.read_some(std::span(out).subspan(have));
  out.resize(have + (got ? *got : 0));
  if (!got) return std::unexpected(Error::io_os(got.error()));
  return *got;
}

// Replaces the contents of `out` by `length` bytes from the current position; Io on failure or
// early end of file.
Result<void> read_exact(const File& file, std::vector<std::uint8_t>& out, std::size_t length,
                        Interrupt* interrupt) {
  out.clear();
  out.reserve(length);
  while (out.size() < length) {
    if (!out.empty() && stop_requested(interrupt)) return std::unexpected(interrupted());
    auto got = append_read(file, out, std::min(length - out.size(), read_piece));
    if (!got) return std::unexpected(std::move(got).error());
    if (*got == 0) return std::unexpected(short_read());
  }
  return {};
}

Result<void> read_range(const std::string& path, std::uint64_t offset, std::size_t length,
                        std::size_t prefix, std::vector<std::uint8_t>& buffer,
                        Interrupt* interrupt) {
  auto file = open_data(path);
  if (!file) return std::unexpected(std::move(file).error());

  // lseek takes a signed offset: 2^63 and above are refused by the system as EINVAL.
  if (::lseek(file->get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return std::unexpected(Error::io_os(errno));
  }
  if (length == 0) {
    buffer.clear();
    return {};
  }

  // The size tells in advance whether the range exists; refusing here keeps a descriptor that
  // claims gigabytes from costing a buffer of that size.
  auto size = regular_file_size(*file);
  if (!size) return std::unexpected(std::move(size).error());
  if (offset >= *size || length > *size - offset) return std::unexpected(short_read());
  return read_exact(*file, buffer, prefix, interrupt);
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
  auto file = open_data(path);
  if (!file) return std::unexpected(std::move(file).error());
  auto size = regular_file_size(*file);
  if (!size) return std::unexpected(std::move(size).error());
  // One byte more than the size, so that the read that finds the end needs no reallocation; a
  // file that grew meanwhile doubles the buffer.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(*size) + 1);
  for (;;) {
    if (!bytes.empty() && stop_requested(interrupt)) return std::unexpected(interrupted());
    const std::size_t room = bytes.capacity() - bytes.size();
    auto got = append_read(*file, bytes, std::min(room > 0 ? room : bytes.capacity(), read_piece));
    if (!got) return std::unexpected(std::move(got).error());
    if (*got == 0) break;
  }
  return bytes;
}

}  // namespace kestrane::raw
