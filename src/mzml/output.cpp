#include "src/mzml/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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

// --- GzipStream ---------------------------------------------------------------------------------

struct GzipStream::State {
  z_stream z{};
};

Result<GzipStream> GzipStream::create() {
  auto* state = new State;
  // windowBits 15 + 16: a gzip header and trailer around the deflate stream.
  if (deflateInit2(&state->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    delete state;
    return std::unexpected(Error::io_message("cannot start gzip compression"));
  }
  return GzipStream(state);
}

GzipStream::GzipStream(GzipStream&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

GzipStream::~GzipStream() {
  if (state_ == nullptr) return;
  deflateEnd(&state_->z);
  delete state_;
}

Result<void> GzipStream::deflate(std::string_view bytes, bool finish, std::string& out) {
  z_stream& z = state_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());  // at most one buffer's worth
  const int flush = finish ? Z_FINISH : Z_NO_FLUSH;
  for (;;) {
    const std::size_t before = out.size();
    const std::size_t room = deflateBound(&z, z.avail_in) + 64;
    out.resize(before + room);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
    z.avail_out = static_cast<uInt>(room);
    const int r = ::deflate(&z, flush);
    out.resize(before + room - z.avail_out);
    if (r == Z_STREAM_ERROR) return std::unexpected(Error::io_message("gzip compression failed"));
    if (finish ? r == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0) return {};
  }
}

// --- OutputFile ---------------------------------------------------------------------------------

Result<OutputFile> OutputFile::create(const std::string& path, bool overwrite, bool gzip) {
  std::optional<GzipStream> stream;
  if (gzip) {
    auto g = GzipStream::create();
    if (!g) return std::unexpected(std::move(g).error());
    stream.emplace(std::move(*g));
  }
  if (path == standard_output_path) {
    auto sha = Sha1::create();
    if (!sha) return std::unexpected(std::move(sha).error());
    // A close-on-exec duplicate: closing it leaves fd 1 open.
    const int copy = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::unexpected(write_error("standard output", errno));
    return OutputFile("standard output", {}, raw::File(copy), std::move(*sha), overwrite,
                      std::move(stream));
  }
  // No file has the empty name (an unset variable's -o ""): refused before anything is written.
  if (path.empty()) return std::unexpected(Error::io_os(ENOENT, "cannot write an empty path"));
  // lstat: a symbolic link counts as existing (the rename would replace the link itself).
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::unexpected(write_error(path, EISDIR));
    if (!overwrite) {
      return std::unexpected(exists_error(path));
    }
    // The rename would put a regular file in place of a device, pipe or socket (/dev/null).
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      return std::unexpected(Error::io_message(
          "not replaced: " + path + " is not a regular file (a device, pipe or socket)"));
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
      return OutputFile(path, std::move(temp), std::move(*fd), std::move(*sha), overwrite,
                        std::move(stream));
    }
    if (fd.error() != EEXIST || attempt == 16) {
      return std::unexpected(Error::io_os(fd.error(), "cannot create a file in " + dir));
    }
  }
}

OutputFile::OutputFile(std::string path, std::string temp_path, raw::File fd, Sha1 sha,
                       bool overwrite, std::optional<GzipStream> gzip)
    : path_(std::move(path)),
      temp_path_(std::move(temp_path)),
      fd_(std::move(fd)),
      sha_(std::move(sha)),
      overwrite_(overwrite),
      standard_output_(temp_path_.empty()),
      gzip_(std::move(gzip)) {
  buffer_.reserve(buffer_capacity);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::exchange(other.temp_path_, {})),
      fd_(std::move(other.fd_)),
      sha_(std::move(other.sha_)),
      buffer_(std::move(other.buffer_)),
      offset_(other.offset_),
      stored_(other.stored_),
      overwrite_(other.overwrite_),
      standard_output_(other.standard_output_),
      gzip_(std::move(other.gzip_)),
      compressed_(std::move(other.compressed_)) {}

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

// Hands bytes to the file, through gzip when asked.
Result<void> OutputFile::store(std::string_view bytes, bool finish) {
  if (!gzip_) {
    stored_ += bytes.size();
    return write_all(bytes);
  }
  // In slices, so that a large write needs no output buffer of its size.
  do {
    const std::string_view slice = bytes.substr(0, buffer_capacity);
    bytes.remove_prefix(slice.size());
    compressed_.clear();
    if (auto r = gzip_->deflate(slice, finish && bytes.empty(), compressed_); !r) return r;
    stored_ += compressed_.size();
    if (auto r = write_all(compressed_); !r) return r;
  } while (!bytes.empty());
  return {};
}

Result<void> OutputFile::flush() {
  auto r = store(buffer_, false);
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
  if (bytes.size() >= buffer_capacity) return store(bytes, false);
  buffer_.append(bytes);
  return {};
}

Result<std::string> OutputFile::checksum_hex() {
  auto hex = sha_->finish_hex();
  sha_.reset();
  return hex;
}

Result<void> OutputFile::commit() {
  if (auto r = store(buffer_, gzip_.has_value()); !r) return r;
  buffer_.clear();
  if (standard_output_) {
    // A pipe or terminal has nothing to sync; close reports a delayed error of a file.
    if (const int e = fd_.close(); e != 0) return std::unexpected(write_error(path_, e));
    return {};
  }
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
