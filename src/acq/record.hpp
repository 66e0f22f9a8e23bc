// Typed access to one MSScan.bin record by field name. A field the layout does not have is
// absent (nullopt), never zero.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "src/acq/schema.hpp"
#include "src/raw/le.hpp"

namespace kestrane::acq {

// A field's value: integers as stored (signed), floating values widened to double.
using FieldValue = std::variant<std::int64_t, double>;

// The integer stored at byte `at` of `b` in a field of `type`; nullopt for a floating type. The
// caller has checked that the field lies inside the bytes.
[[gnu::always_inline]] inline std::optional<std::int64_t> load_integer(
    std::span<const std::uint8_t> b, std::size_t at, FieldType type) noexcept {
  using raw::load_le;
  switch (type) {
    case FieldType::i8:
      return std::int64_t{static_cast<std::int8_t>(b[at])};
    case FieldType::i16:
      return std::int64_t{static_cast<std::int16_t>(load_le<std::uint16_t>(b, at))};
    case FieldType::i32:
      return std::int64_t{static_cast<std::int32_t>(load_le<std::uint32_t>(b, at))};
    case FieldType::i64:
      return static_cast<std::int64_t>(load_le<std::uint64_t>(b, at));
    case FieldType::f32:
    case FieldType::f64:
      break;
  }
  return std::nullopt;
}

// The value stored at byte `at` of `b` in a field of `type`, widened to double.
[[gnu::always_inline]] inline double load_real(std::span<const std::uint8_t> b, std::size_t at,
                                               FieldType type) noexcept {
  switch (type) {
    case FieldType::f32:
      return static_cast<double>(raw::load_le<float>(b, at));
    case FieldType::f64:
      return raw::load_le<double>(b, at);
    default:
      return static_cast<double>(*load_integer(b, at, type));
  }
}

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
