// Builders of synthetic acquisition directories in the self-describing form, for the tests,
// benchmarks and fuzz seeds: schemas of each layout family, MSScan.bin images with a format
// table, every block encoding, calibration files and ICP companions. The layout arithmetic here
// is the builders' own (sizes added up), independent of the library's schema parser.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kestrane::acq_test {

using Bytes = std::vector<std::uint8_t>;

Bytes text_bytes(const std::string& text, bool bom = false);

// --- schemas -----------------------------------------------------------------------------------

struct FieldSpec {
  std::string name;
  std::string type;  // an XSD builtin ("int", "double", ...) or a complex type of `nested`
};

struct SchemaSpec {
  std::vector<FieldSpec> head;   // before the repeated SpectrumParamValues element
  std::vector<FieldSpec> block;  // SpectrumParamsType
  std::vector<FieldSpec> tail;   // after it
  std::map<std::string, std::vector<FieldSpec>> nested;  // complex types laid out inline
  std::string version = "1.0";
  std::string type_prefix;       // e.g. "mstns:" before complex type references
};

// MSScan.xsd text: the document element, the record type, the block type and the nested types,
// with an annotation and a commented-out element as real files have.
std::string schema_xml(const SchemaSpec& spec);

// The layout families of real directories (scalar part + n x block).
SchemaSpec tof_v1_schema();      // 128 + n x 64
SchemaSpec tof_older_schema();   // 156 + n x 64 (precursor fields, a nested type)
SchemaSpec tof_v2_schema();      // 142 + n x 66 (16-bit fields)
SchemaSpec gc_schema();          // 132 + n x 52 (MinY, MaxY, MinX, MaxX)
SchemaSpec quad_v2_schema();     // 136 + n x 50
SchemaSpec icp_schema();         // 72 + n x 52 + 12 (XSpecificParamType after the blocks)

struct LaidField {
  std::string type;
  std::uint64_t offset = 0;
};

// Field offsets for n blocks: scalar fields from the record start (nested ones named
// "Outer.Inner"), block fields from the block start.
struct BuiltLayout {
  std::map<std::string, LaidField> fields;
  std::map<std::string, LaidField> block_fields;
  std::uint64_t blocks_at = 0;
  std::uint64_t block_size = 0;
  std::uint32_t n = 1;
  std::uint64_t stride = 0;
};
BuiltLayout layout_of(const SchemaSpec& spec, std::uint32_t n);

// Field values by name; each is written as its field's type (integers truncated).
using Values = std::map<std::string, double>;

// One record: unnamed bytes zero. Names the layout lacks are ignored.
Bytes record(const BuiltLayout& layout, const Values& scalars, const std::vector<Values>& blocks);

// --- MSScan.bin --------------------------------------------------------------------------------

struct AxisSpec {
  std::uint32_t quantity = 0;
  std::uint32_t storage = 0;
  std::uint32_t spacing = 0;
  double scale = 1.0;
};
struct FormatSpec {
  std::uint32_t id = 0;
  std::uint32_t kind = 0;
  std::uint32_t compression = 0;
  std::uint32_t w3 = 1;
  std::vector<AxisSpec> axes;
};
FormatSpec run_length_format(std::uint32_t id, std::uint32_t x_quantity = 7);
FormatSpec lzf_format(std::uint32_t id, std::uint32_t x_quantity = 7);
FormatSpec raw_format(std::uint32_t id);
FormatSpec channels_format(std::uint32_t id);
FormatSpec tof_peak_format(std::uint32_t id);
FormatSpec gc_peak_format(std::uint32_t id);

// Header (magic, layout version @68, 4 @72, n @76, entry count @80, data offset @88), the
// format table at 92, then the records.
Bytes msscan(std::uint32_t layout_version, std::uint32_t n, const std::vector<FormatSpec>& formats,
             const std::vector<Bytes>& records);
std::size_t format_table_size(const std::vector<FormatSpec>& formats);

// --- blocks ------------------------------------------------------------------------------------

struct RunLengthStyle {
  bool zero_runs = false;        // skip tokens for runs of zeros (publisher re-encoding)
  bool leading_zeros = true;     // the head's leading zero count
  bool drop_trailing_zeros = true;
};
// Tokens at the narrowest width that holds each value, a width switch (q = 0) whenever it
// changes; zero runs of 3 or more as skips when asked.
Bytes run_length_block(double start, double step, std::span<const std::int32_t> counts,
                       RunLengthStyle style = {});
// The head alone (axis, tagged n, -L) followed by raw token bytes, for malformed cases.
Bytes run_length_raw(std::uint32_t count_word, std::int32_t lead_word, const Bytes& tokens);

Bytes lzf_profile_block(double start, double step, std::span<const std::uint32_t> counts);
Bytes raw_profile_block(double start, double step, std::span<const float> y);
Bytes centroid_block(std::span<const double> x, std::span<const float> y);
Bytes centroid_block_f64(std::span<const double> x, std::span<const double> y);
Bytes channels_block(std::span<const float> x, std::span<const double> counts,
                     std::span<const double> pulse, std::span<const double> third);

// A data file: a 68-byte head with `magic` (or none), then blocks appended.
class DataFileBuilder {
 public:
  explicit DataFileBuilder(std::uint32_t magic, bool head = true);
  std::uint64_t add(const Bytes& block);  // the block's offset
  const Bytes& bytes() const noexcept { return bytes_; }

 private:
  Bytes bytes_;
};

// --- calibration and companions ----------------------------------------------------------------

using MassCalValues = std::array<double, 10>;  // a, t0, t_min, t_max, c1..c6
// MSMassCal.bin: the head, u32 1 at 68, rows of {u32 count, 10 x f64} from 72, then `trailing`
// extra bytes.
Bytes mass_cal_file(const std::vector<MassCalValues>& rows, std::size_t trailing = 0,
                    std::uint32_t count_word = 10);
std::uint64_t mass_cal_row_offset(std::size_t i);

struct DefaultCalSpec {
  int id = 1;
  double a = 0.0, t0 = 0.0;
  std::uint32_t flags = 0;
  double t_min = 0.0, t_max = 0.0;
  std::vector<double> c;  // popcount(flags) coefficients
};
std::string default_mass_cal_xml(const std::vector<DefaultCalSpec>& entries);

std::string msts_xml(const std::vector<std::pair<int, int>>& segments);  // (id, NumOfScans)

struct ChannelSpec {
  int index = 0;
  double precursor = 0.0, product = 0.0;
};
std::string xaddition_xml(int segment, const std::vector<ChannelSpec>& channels);
struct MassTimeSpec {
  double mass = 0.0, time = 0.0;
};
std::string xspecific_xml(int segment, const std::vector<MassTimeSpec>& masses);
// MSScan_XSpecific.bin: head (magic 275), u32 1 at 68, {f64 XValue, i32 mode} records from 72.
Bytes xspecific_bin(const std::vector<std::pair<double, std::int32_t>>& records);

// --- whole runs --------------------------------------------------------------------------------

// Files of one acquisition directory, by path relative to the data directory (e.g.
// "AcqData/MSScan.bin", "MSTS_XAddition.xml").
using DirectoryFiles = std::map<std::string, Bytes>;

// Writes `files` below `dir` (created); throws std::runtime_error on failure.
void write_directory(const std::string& dir, const DirectoryFiles& files);

// Writes a calibrated run-length TOF run below `dir`: `scans` records (v1 schema, one block
// each) of `points` points whose counts look instrument-like (width switches, no zero runs),
// per-scan rows in MSMassCal.bin, a default in DefaultMassCal.xml, and MSTS.xml. The profile
// file is written scan by scan, so instrument-scale runs need no memory of their size.
void write_tof_run(const std::string& dir, std::size_t scans, std::size_t points,
                   std::uint32_t seed = 1);

// The counts of scan `scan` of write_tof_run: a noise floor with peaks (widths switch between 1, 2
// and 4 bytes).
std::vector<std::int32_t> tof_counts(std::size_t points, std::size_t scan, std::uint32_t seed);

// The calibration write_tof_run writes (row i differs from the default in a only).
MassCalValues tof_row(std::size_t i);
DefaultCalSpec tof_default();

}  // namespace kestrane::acq_test
