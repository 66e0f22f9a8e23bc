// The record layout of MSScan.bin from its own schema (MSScan.xsd), and the built-in layout of
// ICP directories written without one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/error.hpp"

namespace kestrane {
class Interrupt;
}

namespace kestrane::acq {

// XSD byte, short, int, long, float, double: little-endian, signed.
enum class FieldType { i8, i16, i32, i64, f32, f64 };

std::uint32_t field_size(FieldType t) noexcept;
bool is_integer(FieldType t) noexcept;

// One field. Elements of nested complex types are laid out inline and named
// "<element>.<inner element>", e.g. "XSpecificParamType.Offset".
struct Field {
  std::string name;
  FieldType type = FieldType::i32;
  std::uint64_t offset = 0;
};

// A record type as the schema gives it: the fields before the repeated spectrum-parameter
// element, that element's fields (one block), and the fields after it. Offsets are relative to
// the start of their part.
struct Schema {
  std::vector<Field> head;
  std::vector<Field> block;
  std::vector<Field> tail;
  std::uint64_t head_size = 0;
  std::uint64_t block_size = 0;
  std::uint64_t tail_size = 0;
  std::optional<std::string> version;  // the schema element's version attribute
};

// A layout fixed for n blocks per record: scalar fields at their offsets within the record,
// block fields at theirs within one block; block j starts at blocks_at + j * block_size.
struct RecordLayout {
  std::vector<Field> fields;
  std::vector<Field> block_fields;
  std::uint64_t blocks_at = 0;
  std::uint64_t block_size = 0;
  std::uint32_t block_count = 0;
  std::uint64_t stride = 0;

  const Field* find(std::string_view name) const noexcept;
  const Field* find_block(std::string_view name) const noexcept;
};

// The most fields and bytes one record type may lay out, and the most bytes their full names
// may take together; real ones have about 40 fields in about 300 bytes, named in about 1 KB.
// Every element instantiated counts as a field, nested types and empty ones included, once per
// use of its type, so that the work and memory of laying a schema out stay bounded whatever
// its types repeat.
inline constexpr std::size_t schema_max_fields = 4096;
inline constexpr std::uint64_t schema_max_bytes = std::uint64_t{1} << 20;
inline constexpr std::size_t schema_max_name_bytes = std::size_t{1} << 18;

// Parses MSScan.xsd. Parse errors, prefixed "MSScan.xsd: ": the XML loader's, "the root
// element is not a schema", "record type T is not defined", "type T uses <X>, which is not
// supported", "an element has no name", "element E has unknown type T", "element E has no
// type", "element E repeats (maxOccurs=M)", "no repeated spectrum-parameter element", "element
// E repeats as well as S", "type T contains itself", "types nested deeper than N", "the
// record type lays out more than N fields or bytes", "the record type's names take more than N
// bytes"; interrupted() when `interrupt` asks to stop.
[[nodiscard]] Result<Schema> parse_schema(std::span<const std::uint8_t> xsd,
                                          Interrupt* interrupt = nullptr);

// The layout of ICP directories written without MSScan.xsd: 72 bytes of scalar fields, the
// 52-byte blocks, then XSpecificParamType {long Offset, int ByteCount}.
Schema builtin_icp_schema();

// Lays `schema` out for n blocks per record and checks the fields every reader needs: ScanID,
// ScanMethodID, TimeSegmentID and MSLevel of an integer type, ScanTime of a floating type;
// SpectrumFormatID, SpectrumOffset, ByteCount, PointCount of integer types in the block. Parse
// errors "<source>: the record has no F field", "<source>: field F is not of an integer type",
// "<source>: field F is not of a floating-point type".
[[nodiscard]] Result<RecordLayout> make_layout(const Schema& schema, std::uint32_t n,
                                               std::string_view source);

}  // namespace kestrane::acq
