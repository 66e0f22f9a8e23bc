// Typed access to one MSScan.bin record by field name. A field the layout does not have is
// absent (nullopt), never zero.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "src/acq/schema.hpp"

namespace kestrane::acq {

// A field's value: integers as stored (signed), floating values widened to double.
using FieldValue = std::variant<std::int64_t, double>;

// The value of `field` in `record` at `base` (the record's or a block's start). The caller has
// checked that the field lies inside the bytes (a layout's fields always lie in its stride).
FieldValue load_field(std::span<const std::uint8_t> record, std::uint64_t base,
                      const Field& field) noexcept;

class RecordView {
 public:
  // `record` holds exactly layout.stride bytes.
  RecordView(std::span<const std::uint8_t> record, const RecordLayout& layout) noexcept
      : bytes_(record), layout_(&layout) {}

  std::optional<FieldValue> value(std::string_view name) const noexcept;
  // Fields of an integer type only.
  std::optional<std::int64_t> integer(std::string_view name) const noexcept;
  // Any numeric field, widened.
  std::optional<double> real(std::string_view name) const noexcept;

  // The same for field `name` of block j (0 <= j < block_count()); nullopt past the blocks.
  std::optional<FieldValue> block_value(std::uint32_t j, std::string_view name) const noexcept;
  std::optional<std::int64_t> block_integer(std::uint32_t j,
                                            std::string_view name) const noexcept;
  std::optional<double> block_real(std::uint32_t j, std::string_view name) const noexcept;

  std::uint32_t block_count() const noexcept { return layout_->block_count; }
  const RecordLayout& layout() const noexcept { return *layout_; }
  std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
  const RecordLayout* layout_;
};

// FieldValue helpers: the integer, or the value widened to double.
std::optional<std::int64_t> as_integer(const std::optional<FieldValue>& v) noexcept;
std::optional<double> as_real(const std::optional<FieldValue>& v) noexcept;

}  // namespace kestrane::acq
