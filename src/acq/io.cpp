#include "src/acq/io.hpp"

#include <algorithm>
#include <cerrno>
#include <memory_resource>

#include "src/acq/array_pool.hpp"

namespace kestrane::acq {

Result<std::optional<DataFile>> DataFile::open_if_present(const std::string& path,
                                                          std::uint64_t whole_limit) {
  auto file = raw::open_for_reading(path);
  if (!file) {
    if (file.error() == ENOENT) return std::optional<DataFile>();
    return std::unexpected(Error::io_os(file.error()).with_path(path));
  }
  auto size = raw::regular_file_size(*file);
  if (!size) return std::unexpected(std::move(size).error().with_path(path));
  DataFile data(std::move(*file), *size);
  if (*size <= whole_limit) data.whole_ = std::make_unique<Whole>();
  return std::optional<DataFile>(std::move(data));
}

Result<void> DataFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  auto got = file_.pread_full(offset, out);
  if (!got) return std::unexpected(Error::io_os(got.error()));
  if (*got < out.size()) return std::unexpected(raw::short_read());
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

namespace {

std::span<std::uint8_t> writable(PooledBytes& bytes) { return bytes.bytes(); }
std::span<std::uint8_t> writable(std::vector<std::uint8_t>& bytes) { return bytes; }

// The body of read_pooled_file and read_small_file: `Bytes` is made at the file's size.
template <class Bytes>
Result<std::optional<Bytes>> read_whole(const std::string& path, const std::string& name,
                                        std::uint64_t limit, Interrupt* interrupt) {
  auto file = DataFile::open_if_present(path);
  if (!file) return std::unexpected(std::move(file).error());
  if (!*file) return std::optional<Bytes>();
  const std::uint64_t size = (*file)->size();
  if (size > limit) {
    return std::unexpected(Error::parse(name + ": larger than " + std::to_string(limit) +
                                        " bytes")
                               .with_path(path));
  }
  Bytes bytes(static_cast<std::size_t>(size));
  const std::span<std::uint8_t> target = writable(bytes);
  // A few milliseconds of reading a piece.
  constexpr std::size_t piece = std::size_t{16} << 20;
  Result<void> done;
  const bool whole = for_pieces(target.size(), piece, interrupt, [&](std::size_t b, std::size_t e) {
    done = (*file)->read_at(b, target.subspan(b, e - b));
    return done.has_value();
  });
  if (!done) return std::unexpected(std::move(done).error().with_path(path));
  if (!whole) return std::unexpected(interrupted());
  return std::optional<Bytes>(std::move(bytes));
}

}  // namespace

Result<std::optional<PooledBytes>> read_pooled_file(const std::string& path,
                                                    const std::string& name,
                                                    std::uint64_t limit,
                                                    Interrupt* interrupt) {
  return read_whole<PooledBytes>(path, name, limit, interrupt);
}

Result<std::optional<std::vector<std::uint8_t>>> read_small_file(const std::string& path,
                                                                  const std::string& name,
                                                                  std::uint64_t limit) {
  return read_whole<std::vector<std::uint8_t>>(path, name, limit, nullptr);
}

}  // namespace kestrane::acq
