#include "src/acq/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory_resource>

#include "src/acq/array_pool.hpp"

namespace kestrane::acq {

namespace {

constexpr const char* short_read_message = "failed to fill whole buffer";
constexpr const char* not_regular_message = "not a regular file";

}  // namespace

Result<std::optional<DataFile>> DataFile::open_if_present(const std::string& path,
                                                          std::uint64_t whole_limit) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(Error::io_os(EINVAL).with_path(path));
  }
  int fd;
  do {
    // O_NONBLOCK: opening a FIFO without a writer must not block; regular files ignore it.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<DataFile>();
    return std::unexpected(Error::io_os(errno).with_path(path));
  }
  DataFile file(fd, 0);
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(Error::io_os(errno).with_path(path));
  if (S_ISDIR(st.st_mode)) return std::unexpected(Error::io_os(EISDIR).with_path(path));
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(Error::io_message(not_regular_message).with_path(path));
  }
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  if (file.size_ <= whole_limit) file.whole_ = std::make_unique<Whole>();
  return std::optional<DataFile>(std::move(file));
}

DataFile& DataFile::operator=(DataFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    size_ = other.size_;
    whole_ = std::move(other.whole_);
    other.fd_ = -1;
  }
  return *this;
}

DataFile::~DataFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> DataFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want =
        std::min<std::size_t>(out.size() - done, std::numeric_limits<ssize_t>::max());
    const ssize_t got =
        ::pread(fd_, out.data() + done, want, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io_os(errno));
    }
    if (got == 0) return std::unexpected(Error::io_message(short_read_message));
    done += static_cast<std::size_t>(got);
  }
  return {};
}

std::optional<std::span<const std::uint8_t>> DataFile::whole() const {
  if (!whole_) return std::nullopt;
  std::call_once(whole_->once, [this] {
    const auto size = static_cast<std::size_t>(size_);
    std::pmr::memory_resource* resource = spectrum_array_resource();
    auto* bytes = static_cast<std::uint8_t*>(resource->allocate(std::max<std::size_t>(size, 1)));
    if (read_at(0, std::span<std::uint8_t>(bytes, size))) {
      whole_->bytes = bytes;
      whole_->size = std::max<std::size_t>(size, 1);
    } else {
      resource->deallocate(bytes, std::max<std::size_t>(size, 1));
    }
    whole_->ready.store(true, std::memory_order_release);
  });
  if (whole_->bytes == nullptr) return std::nullopt;
  return std::span<const std::uint8_t>(whole_->bytes, static_cast<std::size_t>(size_));
}

DataFile::Whole::~Whole() {
  if (bytes != nullptr) spectrum_array_resource()->deallocate(bytes, size);
}

PooledBytes::PooledBytes(std::size_t size)
    : data_(static_cast<std::uint8_t*>(spectrum_array_resource()->allocate(size == 0 ? 1 : size))),
      size_(size) {}

PooledBytes& PooledBytes::operator=(PooledBytes&& other) noexcept {
  if (this != &other) {
    PooledBytes dropped(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

PooledBytes::~PooledBytes() {
  if (data_ != nullptr) spectrum_array_resource()->deallocate(data_, size_ == 0 ? 1 : size_);
}

Result<std::optional<PooledBytes>> read_pooled_file(const std::string& path,
                                                    const std::string& name,
                                                    std::uint64_t limit) {
  auto file = DataFile::open_if_present(path);
  if (!file) return std::unexpected(std::move(file).error());
  if (!*file) return std::optional<PooledBytes>();
  const std::uint64_t size = (*file)->size();
  if (size > limit) {
    return std::unexpected(Error::parse(name + ": larger than " + std::to_string(limit) +
                                        " bytes")
                               .with_path(path));
  }
  PooledBytes bytes(static_cast<std::size_t>(size));
  if (auto done = (*file)->read_at(0, bytes.bytes()); !done) {
    return std::unexpected(std::move(done).error().with_path(path));
  }
  return std::optional<PooledBytes>(std::move(bytes));
}

Result<std::optional<std::vector<std::uint8_t>>> read_small_file(const std::string& path,
                                                                  const std::string& name,
                                                                  std::uint64_t limit) {
  auto file = DataFile::open_if_present(path);
  if (!file) return std::unexpected(std::move(file).error());
  if (!*file) return std::optional<std::vector<std::uint8_t>>();
  const std::uint64_t size = (*file)->size();
  if (size > limit) {
    return std::unexpected(Error::parse(name + ": larger than " + std::to_string(limit) +
                                        " bytes")
                               .with_path(path));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (auto done = (*file)->read_at(0, bytes); !done) {
    return std::unexpected(std::move(done).error().with_path(path));
  }
  return std::optional<std::vector<std::uint8_t>>(std::move(bytes));
}

}  // namespace kestrane::acq
