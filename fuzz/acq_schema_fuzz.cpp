// parse_schema and make_layout on arbitrary MSScan.xsd text. Input: the file's bytes, whole.
// Invariants: a failure names MSScan.xsd; a success lays out, for 1 to 3 blocks per record,
// every field inside the stride (scalar fields, none over the blocks) or the block (block
// fields), and stride = head + n x block + tail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "src/acq/schema.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "acq_schema_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrane::acq;
  const auto schema = parse_schema(std::span<const std::uint8_t>(data, size));
  if (!schema) {
    if (schema.error().display().rfind("parse error: MSScan.xsd: ", 0) != 0) {
      fail("error without the file name:", schema.error().display());
    }
    return 0;
  }
  for (std::uint32_t n = 1; n <= 3; ++n) {
    const auto layout = make_layout(*schema, n, "MSScan.xsd");
    if (!layout) continue;  // a required field is missing
    if (layout->stride != schema->head_size + n * schema->block_size + schema->tail_size) {
      fail("stride is not head + n x block + tail");
    }
    const std::uint64_t blocks_end = layout->blocks_at + n * layout->block_size;
    for (const auto& f : layout->fields) {
      const std::uint64_t end = f.offset + field_size(f.type);
      if (end > layout->stride) fail("field past the stride:", f.name);
      if (end > layout->blocks_at && f.offset < blocks_end) fail("field over the blocks:", f.name);
    }
    for (const auto& f : layout->block_fields) {
      if (f.offset + field_size(f.type) > layout->block_size) fail("field past the block:", f.name);
    }
  }
  return 0;
}
