#include "src/acq/schema.hpp"

#include <array>
#include <cstring>
#include <map>
#include <utility>

#include "src/acq/xml.hpp"
#include "src/interrupt.hpp"

namespace kestrane::acq {

namespace {

struct BuiltinType {
  std::string_view name;
  FieldType type;
};
constexpr std::array<BuiltinType, 6> builtin_types = {{{"byte", FieldType::i8},
                                                       {"short", FieldType::i16},
                                                       {"int", FieldType::i32},
                                                       {"long", FieldType::i64},
                                                       {"float", FieldType::f32},
                                                       {"double", FieldType::f64}}};

constexpr std::size_t max_type_nesting = 16;
constexpr std::string_view source = "MSScan.xsd: ";
// Elements laid out between two looks at the stop request.
constexpr std::size_t elements_per_check = 256;

std::optional<FieldType> builtin(std::string_view name) {
  for (const auto& b : builtin_types) {
    if (b.name == name) return b.type;
  }
  return std::nullopt;
}

// Lays out the sequences of complex types into field lists, inlining nested types.
class Builder {
 public:
  Builder(std::map<std::string, pugi::xml_node, std::less<>> types, Interrupt* interrupt)
      : types_(std::move(types)), interrupt_(interrupt) {}

  // The fields of the record type `record`, split at its repeated element.
  Result<Schema> record(std::string_view record_name) {
    const auto it = types_.find(record_name);
    if (it == types_.end()) {
      return parse_error(std::string(source) + "record type " + std::string(record_name) +
                         " is not defined");
    }
    Schema s;
    Part part = Part::head;
    std::optional<std::string> repeated;
    auto elements = sequence_of(it->second, it->first);
    if (!elements) return std::unexpected(std::move(elements).error());
    for (pugi::xml_node e : **elements) {
      const std::string_view max_occurs = e.attribute("maxOccurs").value();
      if (max_occurs != "unbounded") {
        auto laid = element(e, "", part == Part::head ? s.head : s.tail,
                            part == Part::head ? s.head_size : s.tail_size, 1);
        if (!laid) return std::unexpected(std::move(laid).error());
        continue;
      }
      if (auto counted = count(e, ""); !counted) return std::unexpected(counted.error());
      const std::string name = e.attribute("name").value();
      if (repeated) {
        return parse_error(std::string(source) + "element " + name + " repeats as well as " +
                           *repeated);
      }
      repeated = name;
      const std::string_view type = local_name(e.attribute("type").value());
      const auto block_type = types_.find(type);
      if (block_type == types_.end()) {
        if (builtin(type)) {
          return parse_error(std::string(source) + "element " + name +
                             " repeats (maxOccurs=unbounded)");
        }
        if (type.empty() && !child(e, "complexType")) {
          return parse_error(std::string(source) + "element " + name + " has no type");
        }
        return parse_error(std::string(source) + "element " + name + " has unknown type " +
                           std::string(type));
      }
      auto laid = inline_type(block_type->second, block_type->first, "", s.block,
                              s.block_size, 1);
      if (!laid) return std::unexpected(std::move(laid).error());
      part = Part::tail;
    }
    if (!repeated) {
      return parse_error(std::string(source) + "no repeated spectrum-parameter element");
    }
    return s;
  }

 private:
  enum class Part { head, tail };

  // The element children of the type's sequence, collected once per type: a type used many
  // times costs its children's walk once.
  Result<const std::vector<pugi::xml_node>*> sequence_of(pugi::xml_node type,
                                                         std::string_view name) {
    if (const auto it = sequences_.find(type); it != sequences_.end()) return &it->second;
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node c = type.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      const std::string_view what = local_name(c.name());
      if (what == "annotation") continue;
      if (what != "sequence") return unsupported(name, what);
      for (pugi::xml_node e = c.first_child(); e; e = e.next_sibling()) {
        if (e.type() != pugi::node_element) continue;
        const std::string_view kind = local_name(e.name());
        if (kind == "annotation") continue;
        if (kind != "element") return unsupported(name, kind);
        if (e.attribute("name").value()[0] == '\0') {
          return parse_error(std::string(source) + "an element has no name");
        }
        out.push_back(e);
      }
    }
    return &sequences_.emplace(type, std::move(out)).first->second;
  }

  static std::unexpected<Error> unsupported(std::string_view type, std::string_view what) {
    return parse_error(std::string(source) + "type " + std::string(type) + " uses <" +
                       std::string(what) + ">, which is not supported");
  }

  // Appends one non-repeated element (a field, or a nested type laid out inline).
  Result<void> element(pugi::xml_node e, const std::string& prefix, std::vector<Field>& fields,
                       std::uint64_t& size, std::size_t depth) {
    if (auto counted = count(e, prefix); !counted) return counted;
    const std::string name = prefix + e.attribute("name").value();
    const std::string_view max_occurs = e.attribute("maxOccurs").value();
    if (!max_occurs.empty() && max_occurs != "1") {
      return parse_error(std::string(source) + "element " + name + " repeats (maxOccurs=" +
                         std::string(max_occurs) + ")");
    }
    const std::string_view type = local_name(e.attribute("type").value());
    if (type.empty()) {
      const pugi::xml_node anonymous = child(e, "complexType");
      if (!anonymous) {
        return parse_error(std::string(source) + "element " + name + " has no type");
      }
      return inline_type(anonymous, name, name + ".", fields, size, depth + 1);
    }
    if (const auto nested = types_.find(type); nested != types_.end()) {
      return inline_type(nested->second, nested->first, name + ".", fields, size, depth + 1);
    }
    const auto t = builtin(type);
    if (!t) {
      return parse_error(std::string(source) + "element " + name + " has unknown type " +
                         std::string(type));
    }
    if (size + field_size(*t) > schema_max_bytes) return too_large();
    fields.push_back({name, *t, size});
    size += field_size(*t);
    return {};
  }

  Result<void> inline_type(pugi::xml_node type, std::string_view type_name,
                           const std::string& prefix, std::vector<Field>& fields,
                           std::uint64_t& size, std::size_t depth) {
    if (depth > max_type_nesting) {
      return parse_error(std::string(source) + "types nested deeper than " +
                         std::to_string(max_type_nesting));
    }
    for (pugi::xml_node open : open_) {
      if (open == type) {
        return parse_error(std::string(source) + "type " + std::string(type_name) +
                           " contains itself");
      }
    }
    auto elements = sequence_of(type, type_name);
    if (!elements) return std::unexpected(std::move(elements).error());
    open_.push_back(type);
    for (pugi::xml_node e : **elements) {
      auto laid = element(e, prefix, fields, size, depth);
      if (!laid) return laid;
    }
    open_.pop_back();
    return {};
  }

  // Counts one element laid out under `prefix` (a field or a nested type, empty or not) against
  // the limits on elements and on the bytes of their names, before its name is made, and looks
  // at the stop request now and then. Every element instantiated counts: a type used k times
  // counts its elements k times.
  Result<void> count(pugi::xml_node e, const std::string& prefix) {
    const std::size_t name_size = prefix.size() + std::strlen(e.attribute("name").value());
    if (elements_ >= schema_max_fields) return too_large();
    if (name_size > schema_max_name_bytes - name_bytes_) {
      return parse_error(std::string(source) + "the record type's names take more than " +
                         std::to_string(schema_max_name_bytes) + " bytes");
    }
    ++elements_;
    name_bytes_ += name_size;
    if (elements_ % elements_per_check == 0 && stop_requested(interrupt_)) {
      return std::unexpected(interrupted());
    }
    return {};
  }

  static std::unexpected<Error> too_large() {
    return parse_error(std::string(source) + "the record type lays out more than " +
                       std::to_string(schema_max_fields) + " fields or " +
                       std::to_string(schema_max_bytes) + " bytes");
  }

  std::map<std::string, pugi::xml_node, std::less<>> types_;
  Interrupt* interrupt_;
  std::map<pugi::xml_node, std::vector<pugi::xml_node>> sequences_;
  std::vector<pugi::xml_node> open_;
  std::size_t elements_ = 0;
  std::size_t name_bytes_ = 0;  // of the elements counted, prefixes included
};

const Field* find_in(const std::vector<Field>& fields, std::string_view name) noexcept {
  for (const auto& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

}  // namespace

std::uint32_t field_size(FieldType t) noexcept {
  switch (t) {
    case FieldType::i8:
      return 1;
    case FieldType::i16:
      return 2;
    case FieldType::i32:
    case FieldType::f32:
      return 4;
    case FieldType::i64:
    case FieldType::f64:
      return 8;
  }
  return 8;
}

bool is_integer(FieldType t) noexcept { return t != FieldType::f32 && t != FieldType::f64; }

const Field* RecordLayout::find(std::string_view name) const noexcept {
  return find_in(fields, name);
}

const Field* RecordLayout::find_block(std::string_view name) const noexcept {
  return find_in(block_fields, name);
}

Result<Schema> parse_schema(std::span<const std::uint8_t> xsd, Interrupt* interrupt) {
  pugi::xml_document doc;
  if (auto loaded = load_xml(xsd, "MSScan.xsd", doc); !loaded) {
    return std::unexpected(std::move(loaded).error());
  }
  const pugi::xml_node root = doc.document_element();
  if (local_name(root.name()) != "schema") {
    return parse_error(std::string(source) + "the root element is not a schema");
  }
  std::map<std::string, pugi::xml_node, std::less<>> types;
  std::string_view record_name;
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    const std::string_view what = local_name(c.name());
    if (what == "complexType" && c.attribute("name")) {
      types.emplace(c.attribute("name").value(), c);
    } else if (what == "element" && record_name.empty()) {
      // The document element's repeated child names the record type.
      const pugi::xml_node sequence = child(child(c, "complexType"), "sequence");
      for (pugi::xml_node e = sequence.first_child(); e; e = e.next_sibling()) {
        if (local_name(e.name()) == "element" && e.attribute("type")) {
          record_name = local_name(e.attribute("type").value());
          break;
        }
      }
    }
  }
  if (record_name.empty()) record_name = "ScanRecordType";
  Builder builder(std::move(types), interrupt);
  auto schema = builder.record(record_name);
  if (!schema) return schema;
  if (const auto version = root.attribute("version")) schema->version = version.value();
  return schema;
}

Schema builtin_icp_schema() {
  using T = FieldType;
  const std::pair<std::string_view, FieldType> head[] = {
      {"ScanID", T::i32},       {"ScanMethodID", T::i32}, {"TimeSegmentID", T::i32},
      {"ScanTime", T::f64},     {"MSLevel", T::i32},      {"ScanType", T::i32},
      {"TIC", T::f64},          {"BasePeakMZ", T::f64},   {"BasePeakValue", T::f64},
      {"Status", T::i32},       {"IonMode", T::i32},      {"IonPolarity", T::i32},
      {"SamplingPeriod", T::f64}};
  const std::pair<std::string_view, FieldType> block[] = {
      {"SpectrumFormatID", T::i32}, {"SpectrumOffset", T::i64}, {"ByteCount", T::i32},
      {"PointCount", T::i32},       {"MinX", T::f64},           {"MaxX", T::f64},
      {"MinY", T::f64},             {"MaxY", T::f64}};
  const std::pair<std::string_view, FieldType> tail[] = {
      {"XSpecificParamType.Offset", T::i64}, {"XSpecificParamType.ByteCount", T::i32}};
  Schema s;
  const auto lay = [](const auto& table, std::vector<Field>& fields, std::uint64_t& size) {
    for (const auto& [name, type] : table) {
      fields.push_back({std::string(name), type, size});
      size += field_size(type);
    }
  };
  lay(head, s.head, s.head_size);
  lay(block, s.block, s.block_size);
  lay(tail, s.tail, s.tail_size);
  return s;
}

Result<RecordLayout> make_layout(const Schema& schema, std::uint32_t n, std::string_view src) {
  RecordLayout l;
  l.fields = schema.head;
  l.block_fields = schema.block;
  l.blocks_at = schema.head_size;
  l.block_size = schema.block_size;
  l.block_count = n;
  const std::uint64_t tail_at = schema.head_size + std::uint64_t{n} * schema.block_size;
  for (Field f : schema.tail) {
    f.offset += tail_at;
    l.fields.push_back(std::move(f));
  }
  l.stride = tail_at + schema.tail_size;

  const auto require = [&](const Field* f, std::string_view name,
                           bool integer) -> Result<void> {
    const std::string prefix = std::string(src) + ": ";
    if (f == nullptr) return parse_error(prefix + "the record has no " + std::string(name) + " field");
    if (integer && !is_integer(f->type)) {
      return parse_error(prefix + "field " + std::string(name) + " is not of an integer type");
    }
    if (!integer && is_integer(f->type)) {
      return parse_error(prefix + "field " + std::string(name) +
                         " is not of a floating-point type");
    }
    return {};
  };
  for (const std::string_view name : {"ScanID", "ScanMethodID", "TimeSegmentID", "MSLevel"}) {
    if (auto ok = require(l.find(name), name, true); !ok) return std::unexpected(ok.error());
  }
  if (auto ok = require(l.find("ScanTime"), "ScanTime", false); !ok) {
    return std::unexpected(ok.error());
  }
  for (const std::string_view name :
       {"SpectrumFormatID", "SpectrumOffset", "ByteCount", "PointCount"}) {
    if (auto ok = require(l.find_block(name), name, true); !ok) {
      return std::unexpected(ok.error());
    }
  }
  return l;
}

}  // namespace kestrane::acq
