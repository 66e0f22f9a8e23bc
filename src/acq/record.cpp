#include "src/acq/record.hpp"

namespace kestrane::acq {

FieldValue load_field(std::span<const std::uint8_t> b, std::uint64_t base,
                      const Field& f) noexcept {
  const auto at = static_cast<std::size_t>(base + f.offset);
  if (const auto i = load_integer(b, at, f.type)) return *i;
  return load_real(b, at, f.type);
}

std::optional<std::int64_t> as_integer(const std::optional<FieldValue>& v) noexcept {
  if (!v) return std::nullopt;
  if (const auto* i = std::get_if<std::int64_t>(&*v)) return *i;
  return std::nullopt;
}

std::optional<double> as_real(const std::optional<FieldValue>& v) noexcept {
  if (!v) return std::nullopt;
  if (const auto* i = std::get_if<std::int64_t>(&*v)) return static_cast<double>(*i);
  return std::get<double>(*v);
}

std::optional<FieldValue> RecordView::value(std::string_view name) const noexcept {
  const Field* f = layout_->find(name);
  if (f == nullptr) return std::nullopt;
  return load_field(bytes_, 0, *f);
}

std::optional<std::int64_t> RecordView::integer(std::string_view name) const noexcept {
  return as_integer(value(name));
}

std::optional<double> RecordView::real(std::string_view name) const noexcept {
  return as_real(value(name));
}

std::optional<FieldValue> RecordView::block_value(std::uint32_t j,
                                                  std::string_view name) const noexcept {
  const Field* f = layout_->find_block(name);
  if (f == nullptr || j >= layout_->block_count) return std::nullopt;
  return load_field(bytes_, layout_->blocks_at + std::uint64_t{j} * layout_->block_size, *f);
}

std::optional<std::int64_t> RecordView::block_integer(std::uint32_t j,
                                                      std::string_view name) const noexcept {
  return as_integer(block_value(j, name));
}

std::optional<double> RecordView::block_real(std::uint32_t j,
                                             std::string_view name) const noexcept {
  return as_real(block_value(j, name));
}

}  // namespace kestrane::acq
