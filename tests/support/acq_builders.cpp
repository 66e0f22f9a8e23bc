#include "tests/support/acq_builders.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/lzf_encoder.hpp"

namespace kestrane::acq_test {

namespace {

template <class U>
void put(Bytes& b, std::size_t off, U v) {
  if (b.size() < off + sizeof v) b.resize(off + sizeof v);
  for (std::size_t i = 0; i < sizeof v; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u16(Bytes& b, std::size_t off, std::uint16_t v) { put(b, off, v); }
void put_u32(Bytes& b, std::size_t off, std::uint32_t v) { put(b, off, v); }
void put_u64(Bytes& b, std::size_t off, std::uint64_t v) { put(b, off, v); }
void put_f32(Bytes& b, std::size_t off, float v) { put(b, off, std::bit_cast<std::uint32_t>(v)); }
void put_f64(Bytes& b, std::size_t off, double v) { put(b, off, std::bit_cast<std::uint64_t>(v)); }
void append_u32(Bytes& b, std::uint32_t v) { put_u32(b, b.size(), v); }
void append_f64(Bytes& b, double v) { put_f64(b, b.size(), v); }

std::uint64_t type_size(const std::string& t) {
  if (t == "byte") return 1;
  if (t == "short") return 2;
  if (t == "int" || t == "float") return 4;
  return 8;
}

void write_value(Bytes& b, std::size_t at, const std::string& type, double v) {
  if (type == "byte") {
    b[at] = static_cast<std::uint8_t>(static_cast<std::int8_t>(v));
  } else if (type == "short") {
    put_u16(b, at, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
  } else if (type == "int") {
    put_u32(b, at, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
  } else if (type == "long") {
    put_u64(b, at, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
  } else if (type == "float") {
    put_f32(b, at, static_cast<float>(v));
  } else {
    put_f64(b, at, v);
  }
}

// Lays out `fields` from `offset`, expanding nested types as "Outer.Inner".
void lay(const SchemaSpec& spec, const std::vector<FieldSpec>& fields, const std::string& prefix,
         std::map<std::string, LaidField>& out, std::uint64_t& offset) {
  for (const auto& f : fields) {
    const auto nested = spec.nested.find(f.type);
    if (nested != spec.nested.end()) {
      lay(spec, nested->second, prefix + f.name + ".", out, offset);
      continue;
    }
    out[prefix + f.name] = {f.type, offset};
    offset += type_size(f.type);
  }
}

std::string elements(const SchemaSpec& spec, const std::vector<FieldSpec>& fields) {
  std::string out;
  for (const auto& f : fields) {
    const bool complex = spec.nested.contains(f.type);
    out += "      <xs:element name=\"" + f.name + "\" type=\"" +
           (complex ? spec.type_prefix : std::string("xs:")) + f.type + "\" minOccurs=\"0\"/>\n";
  }
  return out;
}

std::vector<FieldSpec> common_head(const char* level_type) {
  return {{"ScanID", "int"},       {"ScanMethodID", "int"}, {"TimeSegmentID", "int"},
          {"ScanTime", "double"},  {"MSLevel", level_type}, {"ScanType", "int"},
          {"TIC", "double"},       {"BasePeakMZ", "double"}, {"BasePeakValue", "double"}};
}

std::vector<FieldSpec> joined(std::vector<FieldSpec> a, const std::vector<FieldSpec>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<FieldSpec> v1_block = {
    {"SpectrumFormatID", "int"}, {"SpectrumOffset", "long"}, {"ByteCount", "int"},
    {"PointCount", "int"},       {"UncompressedByteCount", "int"}, {"MinX", "double"},
    {"MaxX", "double"},          {"MinY", "double"},  {"MaxY", "double"},
    {"MeasuredNoise", "double"}};

}  // namespace

Bytes text_bytes(const std::string& text, bool bom) {
  const std::size_t lead = bom ? 3 : 0;
  Bytes b(lead + text.size());
  if (bom) {
    b[0] = 0xEF;
    b[1] = 0xBB;
    b[2] = 0xBF;
  }
  std::memcpy(b.data() + lead, text.data(), text.size());
  return b;
}

std::string schema_xml(const SchemaSpec& spec) {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  x += "<!--record layout-->\n";
  x += "<xs:schema targetNamespace=\"http://tempuri.org/XMLSchema.xsd\" "
       "xmlns:mstns=\"http://tempuri.org/XMLSchema.xsd\" "
       "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" version=\"" +
       spec.version + "\">\n";
  x += "  <xs:element name=\"MSScanBin\">\n    <xs:annotation><xs:documentation>index"
       "</xs:documentation></xs:annotation>\n    <xs:complexType><xs:sequence>\n"
       "      <xs:element name=\"ScanRecord\" type=\"" +
       spec.type_prefix + "ScanRecordType\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>\n"
       "    </xs:sequence></xs:complexType>\n  </xs:element>\n";
  x += "  <xs:complexType name=\"ScanRecordType\">\n    <xs:sequence>\n";
  x += elements(spec, spec.head);
  x += "      <xs:element name=\"SpectrumParamValues\" type=\"" + spec.type_prefix +
       "SpectrumParamsType\" maxOccurs=\"unbounded\"/>\n";
  x += elements(spec, spec.tail);
  x += "      <!--\n      <xs:element name=\"Padding\" type=\"xs:int\" minOccurs=\"0\"/>\n"
       "      -->\n    </xs:sequence>\n  </xs:complexType>\n";
  x += "  <xs:complexType name=\"SpectrumParamsType\">\n    <xs:sequence>\n";
  x += elements(spec, spec.block);
  x += "    </xs:sequence>\n  </xs:complexType>\n";
  for (const auto& [name, fields] : spec.nested) {
    x += "  <xs:complexType name=\"" + name + "\">\n    <xs:sequence>\n";
    x += elements(spec, fields);
    x += "    </xs:sequence>\n  </xs:complexType>\n";
  }
  x += "</xs:schema>\n";
  return x;
}

SchemaSpec tof_v1_schema() {
  SchemaSpec s;
  s.head = joined(common_head("int"),
                  {{"CalibrationID", "int"}, {"CycleNumber", "int"}, {"IonMode", "int"},
                   {"IonPolarity", "int"}, {"Fragmentor", "double"},
                   {"CollisionEnergy", "double"}, {"AbundanceLimit", "double"},
                   {"SamplingPeriod", "double"}, {"Threshold", "double"},
                   {"MassCalOffset", "long"}, {"ActualsOffset", "long"},
                   {"NumOfActualsPerScan", "int"}});
  s.block = v1_block;
  return s;
}

SchemaSpec tof_older_schema() {
  SchemaSpec s;
  s.head = joined(common_head("int"),
                  {{"CalibrationID", "int"}, {"CycleNumber", "int"}, {"IonMode", "int"},
                   {"IonPolarity", "int"}, {"Fragmentor", "double"},
                   {"CollisionEnergy", "double"}, {"MzOfInterest", "double"},
                   {"AbundanceLimit", "double"}, {"SamplingPeriod", "double"},
                   {"Threshold", "double"}, {"ChargeState", "int"},
                   {"ChromScaleFactor", "float"}, {"MassCalOffset", "long"},
                   {"ActualsOffset", "long"}, {"NumOfActualsPerScan", "int"},
                   {"DataDependentScanParamType", "DataDependentScanParamType"}});
  s.nested["DataDependentScanParamType"] = {{"DDScanID", "int"}, {"DDScanParamMz", "double"}};
  s.block = v1_block;
  return s;
}

SchemaSpec tof_v2_schema() {
  SchemaSpec s;
  s.version = "2.0";
  s.type_prefix = "mstns:";
  s.head = joined(common_head("short"),
                  {{"CalibrationID", "short"}, {"CycleNumber", "int"}, {"IonMode", "int"},
                   {"IonPolarity", "short"}, {"Fragmentor", "float"},
                   {"CollisionEnergy", "float"}, {"MzOfInterest", "double"},
                   {"MzIsolationWidth", "float"}, {"AbundanceLimit", "double"},
                   {"SamplingPeriod", "double"}, {"Threshold", "double"},
                   {"ChargeState", "short"}, {"ChromScaleFactor", "float"},
                   {"MassCalOffset", "long"}, {"ActualsOffset", "long"},
                   {"NumOfActualsPerScan", "short"},
                   {"DataDependentScanParamType", "DataDependentScanParamType"}});
  s.nested["DataDependentScanParamType"] = {
      {"DDScanID", "int"}, {"DDScanID2", "int"}, {"DDScanID3", "int"}};
  s.block = {{"SpectrumFormatID", "short"}, {"SpectrumOffset", "long"}, {"ByteCount", "int"},
             {"PointCount", "int"},         {"UncompressedByteCount", "int"},
             {"MinX", "double"},            {"MaxX", "double"},  {"MinY", "double"},
             {"MaxY", "double"},            {"MeasuredNoise", "double"},
             {"OneDataRangeDeltaYOffset", "int"}};
  return s;
}

SchemaSpec gc_schema() {
  SchemaSpec s;
  s.head = joined(common_head("int"),
                  {{"CycleNumber", "int"}, {"Status", "int"}, {"IonMode", "int"},
                   {"IonPolarity", "int"}, {"Fragmentor", "double"},
                   {"CollisionEnergy", "double"}, {"MzOfInterest", "double"},
                   {"SamplingPeriod", "double"}, {"MeasuredMassRangeMin", "double"},
                   {"MeasuredMassRangeMax", "double"}, {"Threshold", "double"},
                   {"IsFragmentorDynamic", "int"}, {"IsCollisionEnergyDynamic", "int"}});
  s.block = {{"SpectrumFormatID", "int"}, {"SpectrumOffset", "long"}, {"ByteCount", "int"},
             {"PointCount", "int"},       {"MinY", "double"},         {"MaxY", "double"},
             {"MinX", "double"},          {"MaxX", "double"}};
  return s;
}

SchemaSpec quad_v2_schema() {
  SchemaSpec s;
  s.version = "2.0";
  s.head = joined(common_head("short"),
                  {{"CycleNumber", "int"}, {"Status", "int"}, {"IonMode", "int"},
                   {"IonPolarity", "short"}, {"CompensationField", "float"},
                   {"DispersionField", "float"}, {"Fragmentor", "float"},
                   {"CollisionEnergy", "float"}, {"MzOfInterest", "double"},
                   {"SamplingPeriod", "double"}, {"DwellTime", "int"},
                   {"MeasuredMassRangeMin", "double"}, {"MeasuredMassRangeMax", "double"},
                   {"Threshold", "double"}, {"IsFragmentorDynamic", "short"},
                   {"IsCollisionEnergyDynamic", "short"},
                   {"DataDependentScanParamType", "DataDependentScanParamType"}});
  s.nested["DataDependentScanParamType"] = {{"DDScanID", "int"}, {"DDScanID2", "int"}};
  s.block = {{"SpectrumFormatID", "short"}, {"SpectrumOffset", "long"}, {"ByteCount", "int"},
             {"PointCount", "int"},         {"MinX", "double"},         {"MaxX", "double"},
             {"MinY", "double"},            {"MaxY", "double"}};
  return s;
}

SchemaSpec icp_schema() {
  SchemaSpec s;
  s.head = joined(common_head("int"), {{"Status", "int"},
                                       {"IonMode", "int"},
                                       {"IonPolarity", "int"},
                                       {"SamplingPeriod", "double"}});
  s.block = {{"SpectrumFormatID", "int"}, {"SpectrumOffset", "long"}, {"ByteCount", "int"},
             {"PointCount", "int"},       {"MinX", "double"},         {"MaxX", "double"},
             {"MinY", "double"},          {"MaxY", "double"}};
  s.tail = {{"XSpecificParamType", "XSpecificParamType"}};
  s.nested["XSpecificParamType"] = {{"Offset", "long"}, {"ByteCount", "int"}};
  return s;
}

BuiltLayout layout_of(const SchemaSpec& spec, std::uint32_t n) {
  BuiltLayout l;
  std::uint64_t offset = 0;
  lay(spec, spec.head, "", l.fields, offset);
  l.blocks_at = offset;
  std::uint64_t block = 0;
  lay(spec, spec.block, "", l.block_fields, block);
  l.block_size = block;
  l.n = n;
  offset += n * block;
  lay(spec, spec.tail, "", l.fields, offset);
  l.stride = offset;
  return l;
}

Bytes record(const BuiltLayout& layout, const Values& scalars, const std::vector<Values>& blocks) {
  Bytes b(static_cast<std::size_t>(layout.stride), 0);
  for (const auto& [name, v] : scalars) {
    const auto f = layout.fields.find(name);
    if (f != layout.fields.end()) write_value(b, f->second.offset, f->second.type, v);
  }
  for (std::size_t j = 0; j < blocks.size() && j < layout.n; ++j) {
    for (const auto& [name, v] : blocks[j]) {
      const auto f = layout.block_fields.find(name);
      if (f == layout.block_fields.end()) continue;
      write_value(b, layout.blocks_at + j * layout.block_size + f->second.offset, f->second.type,
                  v);
    }
  }
  return b;
}

FormatSpec run_length_format(std::uint32_t id, std::uint32_t x_quantity) {
  return {id, 2, 0x1000, 1, {{x_quantity, 6, 3}, {15, 3, 2}}};
}
FormatSpec lzf_format(std::uint32_t id, std::uint32_t x_quantity) {
  return {id, 2, 0x200, 1, {{x_quantity, 6, 3}, {15, 3, 2}}};
}
FormatSpec raw_format(std::uint32_t id) { return {id, 2, 0, 1, {{5, 6, 3}, {15, 5, 2}}}; }
FormatSpec channels_format(std::uint32_t id) {
  return {id, 2, 0, 2, {{5, 5, 2}, {8, 6, 2}, {41, 6, 2}, {40, 6, 2}}};
}
FormatSpec tof_peak_format(std::uint32_t id) { return {id, 3, 0, 8, {{7, 6, 2}, {15, 5, 2}}}; }
FormatSpec gc_peak_format(std::uint32_t id) { return {id, 3, 0, 8, {{5, 6, 2}, {15, 6, 2}}}; }

std::size_t format_table_size(const std::vector<FormatSpec>& formats) {
  std::size_t size = 0;
  for (const auto& f : formats) size += 20 + 24 * f.axes.size();
  return size;
}

Bytes msscan(std::uint32_t layout_version, std::uint32_t n, const std::vector<FormatSpec>& formats,
             const std::vector<Bytes>& records) {
  Bytes b(92, 0);
  put_u32(b, 0, 257);
  put_u32(b, 68, layout_version);
  put_u32(b, 72, 4);
  put_u32(b, 76, n);
  put_u32(b, 80, static_cast<std::uint32_t>(formats.size()));
  put_u32(b, 88, static_cast<std::uint32_t>(92 + format_table_size(formats)));
  for (const auto& f : formats) {
    append_u32(b, f.id);
    append_u32(b, f.kind);
    append_u32(b, f.compression);
    append_u32(b, f.w3);
    append_u32(b, static_cast<std::uint32_t>(f.axes.size()));
    for (std::size_t a = 0; a < f.axes.size(); ++a) {
      append_u32(b, static_cast<std::uint32_t>(a + 1));
      append_u32(b, f.axes[a].quantity);
      append_f64(b, f.axes[a].scale);
      append_u32(b, f.axes[a].storage);
      append_u32(b, f.axes[a].spacing);
    }
  }
  for (const auto& r : records) b.insert(b.end(), r.begin(), r.end());
  return b;
}

Bytes run_length_raw(std::uint32_t count_word, std::int32_t lead_word, const Bytes& tokens) {
  Bytes b(16, 0);
  put_u32(b, 16, count_word);
  put_u32(b, 20, static_cast<std::uint32_t>(lead_word));
  b.insert(b.end(), tokens.begin(), tokens.end());
  return b;
}

Bytes run_length_block(double start, double step, std::span<const std::int32_t> counts,
                       RunLengthStyle style) {
  const std::size_t n = counts.size();
  std::size_t lead = 0;
  if (style.leading_zeros) {
    while (lead < n && counts[lead] == 0) ++lead;
  }
  std::size_t end = n;
  if (style.drop_trailing_zeros) {
    while (end > lead && counts[end - 1] == 0) --end;
  }
  Bytes b(16, 0);
  put_f64(b, 0, start);
  put_f64(b, 8, step);
  put_u32(b, 16, 0x90u << 24 | static_cast<std::uint32_t>(n));
  put_u32(b, 20, static_cast<std::uint32_t>(-static_cast<std::int32_t>(lead)));
  unsigned width = 4;
  const auto emit = [&](std::int64_t v) {
    for (unsigned i = 0; i < width; ++i) {
      b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
    }
  };
  const auto flag_of = [](unsigned w) -> std::int64_t { return w == 4 ? 3 : w; };
  for (std::size_t k = lead; k < end;) {
    if (style.zero_runs && counts[k] == 0) {
      std::size_t run = 0;
      while (k + run < end && counts[k + run] == 0) ++run;
      if (run >= 3) {
        // The largest skip the current width can carry, keeping the width.
        const std::int64_t most =
            width == 1 ? 31 : width == 2 ? 8191 : (std::int64_t{1} << 29) - 1;
        const auto q = std::min<std::int64_t>(static_cast<std::int64_t>(run), most);
        emit(-(4 * q + flag_of(width)));
        k += static_cast<std::size_t>(q);
        continue;
      }
    }
    const std::int32_t v = counts[k];
    const unsigned want = v <= 127 ? 1 : v <= 32767 ? 2 : 4;
    if (want != width) {
      emit(-flag_of(want));
      width = want;
    }
    emit(v);
    ++k;
  }
  return b;
}

Bytes lzf_profile_block(double start, double step, std::span<const std::uint32_t> counts) {
  Bytes payload(16, 0);
  put_f64(payload, 0, start);
  put_f64(payload, 8, step);
  for (const auto c : counts) append_u32(payload, c);
  return test::lzf_encode(payload);
}

Bytes raw_profile_block(double start, double step, std::span<const float> y) {
  Bytes b(16, 0);
  put_f64(b, 0, start);
  put_f64(b, 8, step);
  for (const float v : y) put_f32(b, b.size(), v);
  return b;
}

Bytes centroid_block(std::span<const double> x, std::span<const float> y) {
  Bytes b;
  for (const double v : x) append_f64(b, v);
  for (const float v : y) put_f32(b, b.size(), v);
  return b;
}

Bytes centroid_block_f64(std::span<const double> x, std::span<const double> y) {
  Bytes b;
  for (const double v : x) append_f64(b, v);
  for (const double v : y) append_f64(b, v);
  return b;
}

Bytes channels_block(std::span<const float> x, std::span<const double> counts,
                     std::span<const double> pulse, std::span<const double> third) {
  Bytes b;
  for (const float v : x) put_f32(b, b.size(), v);
  for (const double v : counts) append_f64(b, v);
  for (const double v : pulse) append_f64(b, v);
  for (const double v : third) append_f64(b, v);
  return b;
}

DataFileBuilder::DataFileBuilder(std::uint32_t magic, bool head) {
  if (head) {
    bytes_.assign(68, 0);
    put_u32(bytes_, 0, magic);
  }
}

std::uint64_t DataFileBuilder::add(const Bytes& block) {
  const std::uint64_t at = bytes_.size();
  bytes_.insert(bytes_.end(), block.begin(), block.end());
  return at;
}

Bytes mass_cal_file(const std::vector<MassCalValues>& rows, std::size_t trailing,
                    std::uint32_t count_word) {
  Bytes b(72, 0);
  put_u32(b, 0, 260);
  put_u32(b, 68, 1);
  for (const auto& row : rows) {
    append_u32(b, count_word);
    for (const double v : row) append_f64(b, v);
  }
  b.resize(b.size() + trailing, 0);
  return b;
}

std::uint64_t mass_cal_row_offset(std::size_t i) { return 72 + 84 * std::uint64_t{i}; }

namespace {

std::string number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

}  // namespace

std::string default_mass_cal_xml(const std::vector<DefaultCalSpec>& entries) {
  std::string x =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DefaultMassCalibration>\n"
      "  <Version>1</Version>\n  <DefaultCalibrations>\n";
  for (const auto& e : entries) {
    x += "    <DefaultCalibration DefaultCalibrationID=\"" + std::to_string(e.id) + "\">\n";
    x += "      <Step Number=\"1\"><CalibrationFormula>Traditional</CalibrationFormula>"
         "<ValueUseFlags>0</ValueUseFlags><Values><Value Number=\"1\">" +
         number(e.a) + "</Value><Value Number=\"2\">" + number(e.t0) + "</Value></Values></Step>\n";
    x += "      <Step Number=\"2\"><CalibrationFormula>Polynomial</CalibrationFormula>"
         "<ValueUseFlags>" + std::to_string(e.flags) + "</ValueUseFlags><Values>";
    std::vector<double> values = {e.t_min, e.t_max};
    values.insert(values.end(), e.c.begin(), e.c.end());
    while (values.size() < 8) values.push_back(0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      x += "<Value Number=\"" + std::to_string(i + 1) + "\">" + number(values[i]) + "</Value>";
    }
    x += "</Values></Step>\n    </DefaultCalibration>\n";
  }
  x += "  </DefaultCalibrations>\n</DefaultMassCalibration>\n";
  return x;
}

std::string msts_xml(const std::vector<std::pair<int, int>>& segments) {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TimeSegments>\n"
                  "  <Version>3</Version>\n";
  for (const auto& [id, scans] : segments) {
    x += "  <TimeSegment TimeSegmentID=\"" + std::to_string(id) +
         "\">\n    <!--start time in minutes-->\n    <StartTime>0</StartTime>\n"
         "    <EndTime>1</EndTime>\n    <NumOfScans>" +
         std::to_string(scans) + "</NumOfScans>\n  </TimeSegment>\n";
  }
  return x + "</TimeSegments>\n";
}

std::string xaddition_xml(int segment, const std::vector<ChannelSpec>& channels) {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfMSTS_XAddition>\n"
                  "  <MSTS_XAddition TimeSegmentID=\"" + std::to_string(segment) +
                  "\">\n    <ScanType>MS_MS</ScanType>\n    <IndexedMasses>\n";
  for (const auto& c : channels) {
    x += "      <MSTS_XAddition_IndexedMasses><Index>" + std::to_string(c.index) +
         "</Index><PrecursorIonMZ>" + number(c.precursor) + "</PrecursorIonMZ><ProductIonMZ>" +
         number(c.product) + "</ProductIonMZ></MSTS_XAddition_IndexedMasses>\n";
  }
  return x + "    </IndexedMasses>\n  </MSTS_XAddition>\n</ArrayOfMSTS_XAddition>\n";
}

std::string xspecific_xml(int segment, const std::vector<MassTimeSpec>& masses) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<IonRecords>\n"
                  "  <Version>1</Version>\n  <IonRecord TimeSegmentID=\"" +
                  std::to_string(segment) + "\">\n";
  for (const auto& m : masses) {
    x += "    <Masses><Mass>" + number(m.mass) + "</Mass><Name>X</Name><AccumulationTime>" +
         number(m.time) + "</AccumulationTime></Masses>\n";
  }
  return x + "  </IonRecord>\n</IonRecords>\n";
}

Bytes xspecific_bin(const std::vector<std::pair<double, std::int32_t>>& records) {
  Bytes b(72, 0);
  put_u32(b, 0, 275);
  put_u32(b, 68, 1);
  for (const auto& [x, mode] : records) {
    append_f64(b, x);
    append_u32(b, static_cast<std::uint32_t>(mode));
  }
  return b;
}

void write_directory(const std::string& dir, const DirectoryFiles& files) {
  namespace fs = std::filesystem;
  for (const auto& [relative, bytes] : files) {
    const fs::path path = fs::path(dir) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
}

// --- the TOF run -------------------------------------------------------------------------------

std::vector<std::int32_t> tof_counts(std::size_t points, std::size_t scan, std::uint32_t seed) {
  std::vector<std::int32_t> c(points);
  std::uint64_t state = 0x9E3779B97F4A7C15u * (seed + 1) + scan;
  const auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  // A baseline that wanders across 127 (a third 1-byte, two thirds 2-byte tokens, a width
  // switch every 20 points or so, as in instrument blocks), noise, and peaks whose height
  // follows an elution profile over the scans (some above 32767: 4-byte tokens).
  const double elution = std::exp(-std::pow((static_cast<double>(scan % 200) - 100.0) / 30.0, 2));
  for (std::size_t k = 0; k < points; ++k) {
    const double base = 165.0 + 70.0 * std::sin(static_cast<double>(k) * 0.09);
    std::int64_t v = static_cast<std::int64_t>(base) + static_cast<std::int64_t>(next() % 17) - 8;
    if (k % 997 < 6) {
      const double shape = 1.0 - std::abs(static_cast<double>(k % 997) - 2.5) / 3.0;
      v += static_cast<std::int64_t>((2000.0 + 60000.0 * elution) * shape);
    }
    c[k] = static_cast<std::int32_t>(std::max<std::int64_t>(v, 1));
  }
  return c;
}

MassCalValues tof_row(std::size_t i) {
  const DefaultCalSpec d = tof_default();
  return {d.a + 1e-12 * static_cast<double>(i % 7), d.t0, d.t_min, d.t_max,
          d.c[0], d.c[1], d.c[2], d.c[3], d.c[4], d.c[5]};
}

DefaultCalSpec tof_default() {
  return {1, 0.00057282, 1017.4, 3095, 19573.5, 93949.2,
          {0.0194, -1.598e-06, 3.2126e-11, -3.524e-21, 2.077e-50, -1.991e-55}};
}

void write_tof_run(const std::string& dir, std::size_t scans, std::size_t points,
                   std::uint32_t seed) {
  namespace fs = std::filesystem;
  fs::create_directories(fs::path(dir) / "AcqData");
  const SchemaSpec schema = tof_v1_schema();
  const BuiltLayout layout = layout_of(schema, 1);
  std::ofstream profile(fs::path(dir) / "AcqData" / "MSProfile.bin",
                        std::ios::binary | std::ios::trunc);
  DataFileBuilder head(258);
  profile.write(reinterpret_cast<const char*>(head.bytes().data()), 68);
  std::uint64_t offset = 68;
  std::vector<Bytes> records;
  std::vector<MassCalValues> rows;
  for (std::size_t i = 0; i < scans; ++i) {
    const auto counts = tof_counts(points, i, seed);
    const Bytes block = run_length_block(20000.0, 0.5, counts);
    profile.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size()));
    double tic = 0.0;
    for (const auto c : counts) tic += c;
    records.push_back(record(
        layout,
        {{"ScanID", static_cast<double>(1 + 2 * i)}, {"ScanMethodID", 1}, {"TimeSegmentID", 1},
         {"ScanTime", 0.01 * static_cast<double>(i + 1)}, {"MSLevel", 1}, {"ScanType", 1},
         {"TIC", tic}, {"CalibrationID", 1}, {"IonPolarity", 0},
         {"MassCalOffset", static_cast<double>(mass_cal_row_offset(i))}},
        {{{"SpectrumFormatID", 1},
          {"SpectrumOffset", static_cast<double>(offset)},
          {"ByteCount", static_cast<double>(block.size())},
          {"PointCount", static_cast<double>(points)},
          {"UncompressedByteCount", static_cast<double>(4 * points)}}}));
    offset += block.size();
    rows.push_back(tof_row(i));
  }
  if (!profile) throw std::runtime_error("cannot write the profile file of " + dir);
  profile.close();
  write_directory(dir, {{"AcqData/MSScan.bin",
                         msscan(1, 1, {run_length_format(1), tof_peak_format(2)}, records)},
                        {"AcqData/MSScan.xsd", text_bytes(schema_xml(schema))},
                        {"AcqData/MSMassCal.bin", mass_cal_file(rows)},
                        {"AcqData/DefaultMassCal.xml",
                         text_bytes(default_mass_cal_xml({tof_default()}), true)},
                        {"AcqData/MSTS.xml",
                         text_bytes(msts_xml({{1, static_cast<int>(scans)}}), true)}});
}

}  // namespace kestrane::acq_test
