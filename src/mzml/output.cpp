#include "src/mzml/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <span>
#include <utility>

namespace kestrane::mzml {

namespace {

constexpr std::size_t buffer_capacity = std::size_t{1} << 20;

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A name no other writer is likely to pick; O_EXCL settles the rest.
std::string temporary_name(std::string_view base) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t r = splitmix64(now ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                     splitmix64(counter.fetch_add(1)));
  constexpr char hex[] = "0123456789abcdef";
  std::string name = ".";
  name.append(base.substr(0, 200));  // room for the suffix within NAME_MAX
  name.push_back('.');
  for (int shift = 0; shift < 48; shift += 4) name.push_back(hex[(r >> shift) & 15]);
  name.append(".part");
  return name;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

Error exists_error(const std::string& path) {
  return Error::io_message(path + " exists and overwrite was not requested");
}

Error write_error(const std::string& path, int os_errno) {
  return Error::io_os(os_errno, "cannot write " + path);
}

Error rename_error(const std::string& from, const std::string& to, int os_errno) {
  return Error::io_os(os_errno, "cannot rename " + from + " to " + to);
}

// Makes the rename durable where the file system allows it; failure changes nothing already done.
void sync_directory(const std::string& dir) {
  auto fd = raw::open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd) (void)fd->sync();
}

}  // namespace

Result<OutputFile> OutputFile::create(const std::string& path, bool overwrite) {
  // lstat: a symbolic link counts as existing (the rename would replace the link itself).
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::unexpected(write_error(path, EISDIR));
    if (!overwrite) {
      return std::unexpected(exists_error(path));
    }
  } else if (errno != ENOENT) {
    return std::unexpected(write_error(path, errno));
  }

  const std::string dir = directory_of(path);
  const std::string_view base = std::string_view(path).substr(path.rfind('/') + 1);
  auto sha = Sha1::create();
  if (!sha) return std::unexpected(std::move(sha).error());
  for (int attempt = 0;; ++attempt) {
    std::string temp = (dir == "/" ? "" : dir) + "/" + temporary_name(base);
    auto fd = raw::open_file(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd) {
      return OutputFile(path, std::move(temp), std::move(*fd), std::move(*sha), overwrite);
    }
    if (fd.error() != EEXIST || attempt == 16) {
      return std::unexpected(Error::io_os(fd.error(), "cannot create a file in " + dir));
    }
  }
}

OutputFile::OutputFile(std::string path, std::string temp_path, raw::File fd, Sha1 sha,
                       bool overwrite)
    : path_(std::move(path)),
      temp_path_(std::move(temp_path)),
      fd_(std::move(fd)),
      sha_(std::move(sha)),
      overwrite_(overwrite) {
  buffer_.reserve(buffer_capacity);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::exchange(other.temp_path_, {})),
      fd_(std::move(other.fd_)),
      sha_(std::move(other.sha_)),
      buffer_(std::move(other.buffer_)),
      offset_(other.offset_),
      overwrite_(other.overwrite_) {}

OutputFile::~OutputFile() {
  if (temp_path_.empty()) return;
  (void)fd_.close();
  ::unlink(temp_path_.c_str());
}

Result<void> OutputFile::write_all(std::string_view bytes) {
  auto done =
      fd_.write_all(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!done) return std::unexpected(write_error(path_, done.error()));
  return {};
}

Result<void> OutputFile::flush() {
  auto r = write_all(buffer_);
  buffer_.clear();
  return r;
}

Result<void> OutputFile::write(std::string_view bytes) {
  if (sha_) {
    sha_->update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  offset_ += bytes.size();
  if (bytes.size() <= buffer_capacity - buffer_.size()) {
    buffer_.append(bytes);
    return {};
  }
  if (auto r = flush(); !r) return r;
  if (bytes.size() >= buffer_capacity) return write_all(bytes);
  buffer_.append(bytes);
  return {};
}

Result<std::string> OutputFile::checksum_hex() {
  auto hex = sha_->finish_hex();
  sha_.reset();
  return hex;
}

Result<void> OutputFile::commit() {
  if (auto r = flush(); !r) return r;
  if (auto synced = fd_.sync(); !synced) {
    return std::unexpected(write_error(path_, synced.error()));
  }
  if (const int e = fd_.close(); e != 0) {
    return std::unexpected(write_error(path_, e));
  }
  if (overwrite_) {
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
      return std::unexpected(rename_error(temp_path_, path_, errno));
    }
  } else if (::renameat2(AT_FDCWD, temp_path_.c_str(), AT_FDCWD, path_.c_str(),
                         RENAME_NOREPLACE) != 0) {
    const int e = errno;
    if (e == EEXIST) {
      return std::unexpected(exists_error(path_));
    }
    // File systems without RENAME_NOREPLACE: link refuses an existing target just the same.
    if (e != EINVAL && e != ENOSYS) {
      return std::unexpected(rename_error(temp_path_, path_, e));
    }
    if (::link(temp_path_.c_str(), path_.c_str()) != 0) {
      if (errno == EEXIST) {
        return std::unexpected(exists_error(path_));
      }
      return std::unexpected(rename_error(temp_path_, path_, errno));
    }
    ::unlink(temp_path_.c_str());
  }
  sync_directory(directory_of(path_));
  temp_path_.clear();
  return {};
}

}  // namespace kestrane::mzml
