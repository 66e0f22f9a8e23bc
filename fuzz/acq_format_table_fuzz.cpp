// parse_scan_header and classify on arbitrary MSScan.bin images. Input: the file's bytes, whole.
// Invariants: a failure names MSScan.bin; a success has 92 <= data offset <= size, entries that
// exactly fill 92 .. data offset, unique format ids, and find() returns each entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "src/acq/codecs.hpp"
#include "src/acq/scan_header.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "acq_format_table_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrane::acq;
  const auto h = parse_scan_header(std::span<const std::uint8_t>(data, size));
  if (!h) {
    if (h.error().display().rfind("parse error: MSScan.bin: ", 0) != 0) {
      fail("error without the file name:", h.error().display());
    }
    return 0;
  }
  if (h->data_offset < format_table_at || h->data_offset > size) fail("data offset out of range");
  if (h->blocks_per_record == 0) fail("accepted zero blocks per record");
  std::uint64_t table = 0;
  for (const auto& f : h->formats) {
    table += 20 + 24 * f.axes.size();
    if (h->find(f.format_id) != &f) fail("format id not unique or not found");
    const auto format = classify(f);
    if (format && format->kind != f.kind) fail("classification changed the kind");
  }
  if (format_table_at + table != h->data_offset) fail("entries do not fill the table");
  return 0;
}
