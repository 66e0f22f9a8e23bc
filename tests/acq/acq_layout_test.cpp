// MSScan.xsd to record layouts for every layout family, hostile schemas, the MSScan.bin header
// and format table, and typed field access.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/acq/record.hpp"
#include "src/acq/scan_header.hpp"
#include "src/acq/schema.hpp"
#include "src/interrupt.hpp"
#include "tests/support/acq_builders.hpp"

namespace kestrane::acq {
namespace {

using acq_test::Bytes;

TEST(SchemaLayout, EveryFamilyLaysOutAsTheBuilderAndGivesItsStride) {
  struct Case {
    const char* name;
    acq_test::SchemaSpec spec;
    std::uint32_t n;
    std::uint64_t stride;
    std::uint64_t blocks_at;
  };
  const Case cases[] = {
      {"TOF v1, 1 block", acq_test::tof_v1_schema(), 1, 192, 128},
      {"TOF v1, 2 blocks", acq_test::tof_v1_schema(), 2, 256, 128},
      {"TOF older schema", acq_test::tof_older_schema(), 1, 220, 156},
      {"TOF v2, 2 blocks", acq_test::tof_v2_schema(), 2, 274, 142},
      {"GC", acq_test::gc_schema(), 1, 184, 132},
      {"quadrupole v2", acq_test::quad_v2_schema(), 1, 186, 136},
      {"ICP, fields after the blocks", acq_test::icp_schema(), 1, 136, 72},
      {"ICP, 3 blocks", acq_test::icp_schema(), 3, 240, 72},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto schema = parse_schema(acq_test::text_bytes(acq_test::schema_xml(c.spec)));
    ASSERT_TRUE(schema) << schema.error().display();
    const auto layout = make_layout(*schema, c.n, "MSScan.xsd");
    ASSERT_TRUE(layout) << layout.error().display();
    const auto expected = acq_test::layout_of(c.spec, c.n);
    EXPECT_EQ(layout->stride, c.stride);
    EXPECT_EQ(layout->blocks_at, c.blocks_at);
    EXPECT_EQ(layout->block_size, expected.block_size);
    ASSERT_EQ(layout->fields.size(), expected.fields.size());
    ASSERT_EQ(layout->block_fields.size(), expected.block_fields.size());
    for (const auto& [name, f] : expected.fields) {
      const Field* got = layout->find(name);
      ASSERT_NE(got, nullptr) << name;
      EXPECT_EQ(got->offset, f.offset) << name;
      EXPECT_EQ(field_size(got->type), f.type == "byte" ? 1u : f.type == "short" ? 2u
                                        : f.type == "int" || f.type == "float" ? 4u : 8u) << name;
    }
    for (const auto& [name, f] : expected.block_fields) {
      const Field* got = layout->find_block(name);
      ASSERT_NE(got, nullptr) << name;
      EXPECT_EQ(got->offset, f.offset) << name;
    }
  }
}

TEST(SchemaLayout, BuiltInIcpLayoutIsTheIcpSchemaLayout) {
  const auto layout = make_layout(builtin_icp_schema(), 1, "built-in ICP layout");
  ASSERT_TRUE(layout);
  const auto expected = acq_test::layout_of(acq_test::icp_schema(), 1);
  EXPECT_EQ(layout->stride, 136u);
  for (const auto& [name, f] : expected.fields) {
    ASSERT_NE(layout->find(name), nullptr) << name;
    EXPECT_EQ(layout->find(name)->offset, f.offset) << name;
  }
  EXPECT_EQ(layout->find("XSpecificParamType.Offset")->offset, 124u);
}

std::string with(std::string xml, const std::string& from, const std::string& to) {
  const auto at = xml.find(from);
  if (at == std::string::npos) throw std::runtime_error("no '" + from + "' in the schema");
  return xml.replace(at, from.size(), to);
}

TEST(SchemaLayout, RefusesWhatItCannotLayOutNamingTheReason) {
  const std::string base = acq_test::schema_xml(acq_test::tof_older_schema());
  const std::string nested = "<xs:complexType name=\"DataDependentScanParamType\">\n    <xs:sequence>\n";
  std::string deep = "<?xml version=\"1.0\"?><xs:schema xmlns:xs=\"x\">";
  for (int i = 0; i < 70; ++i) deep += "<a>";
  for (int i = 0; i < 70; ++i) deep += "</a>";
  deep += "</xs:schema>";
  // Types T1..T14 of 4 elements of the next type each, T15 empty: 4^14 instantiations, none
  // a field. And one type holding a 4000-character name, used 100 times.
  std::string fan_types;
  for (int t = 1; t < 15; ++t) {
    fan_types += "<xs:complexType name=\"T" + std::to_string(t) + "\"><xs:sequence>";
    for (int k = 0; k < 4; ++k) {
      fan_types += "<xs:element name=\"E" + std::to_string(k) + "\" type=\"T" +
                   std::to_string(t + 1) + "\"/>";
    }
    fan_types += "</xs:sequence></xs:complexType>";
  }
  fan_types += "<xs:complexType name=\"T15\"><xs:sequence/></xs:complexType>";
  const std::string fan_out =
      with(with(base, nested, fan_types + nested), "<xs:element name=\"ScanID\"",
           "<xs:element name=\"Fan\" type=\"T1\"/><xs:element name=\"ScanID\"");
  std::string uses;
  for (int u = 0; u < 100; ++u) uses += "<xs:element name=\"U" + std::to_string(u) + "\" type=\"Named\"/>";
  const std::string long_names = with(
      with(base, nested,
           "<xs:complexType name=\"Named\"><xs:sequence><xs:element name=\"" +
               std::string(4000, 'n') + "\" type=\"xs:byte\"/></xs:sequence></xs:complexType>" +
               nested),
      "<xs:element name=\"ScanID\"", uses + "<xs:element name=\"ScanID\"");
  struct Case {
    const char* name;
    std::string xml;
    std::string message;
  };
  const Case cases[] = {
      {"unknown builtin", with(base, "\"xs:float\"", "\"xs:decimal\""),
       "element ChromScaleFactor has unknown type decimal"},
      {"unknown complex type", with(base, "\"DataDependentScanParamType\" minOccurs", "\"Nowhere\" minOccurs"),
       "element DataDependentScanParamType has unknown type Nowhere"},
      {"no repeated element", with(base, "SpectrumParamsType\" maxOccurs=\"unbounded\"", "SpectrumParamsType\""),
       "no repeated spectrum-parameter element"},
      {"a repeated number", with(base, "type=\"xs:long\" minOccurs=\"0\"", "type=\"xs:long\" maxOccurs=\"unbounded\""),
       "element MassCalOffset repeats (maxOccurs=unbounded)"},
      {"a second repeated type", with(base, "\"DataDependentScanParamType\" minOccurs=\"0\"", "\"DataDependentScanParamType\" maxOccurs=\"unbounded\""),
       "element SpectrumParamValues repeats as well as DataDependentScanParamType"},
      {"bounded repetition", with(base, "\"ChargeState\" type=\"xs:int\"", "\"ChargeState\" type=\"xs:int\" maxOccurs=\"2\""),
       "element ChargeState repeats (maxOccurs=2)"},
      {"a type containing itself", with(base, nested, nested + "      <xs:element name=\"Loop\" type=\"DataDependentScanParamType\"/>\n"),
       "type DataDependentScanParamType contains itself"},
      {"a choice", with(base, nested, "<xs:complexType name=\"DataDependentScanParamType\"><xs:choice/><xs:sequence>"),
       "type DataDependentScanParamType uses <choice>, which is not supported"},
      {"an attribute in a sequence", with(base, "<xs:element name=\"ScanID\"", "<xs:attribute name=\"A\"/><xs:element name=\"ScanID\""),
       "type ScanRecordType uses <attribute>, which is not supported"},
      {"no type", with(base, "name=\"Threshold\" type=\"xs:double\"", "name=\"Threshold\""),
       "element Threshold has no type"},
      {"record type undefined", with(base, "complexType name=\"ScanRecordType\"", "complexType name=\"Other\""),
       "record type ScanRecordType is not defined"},
      {"not a schema", "<?xml version=\"1.0\"?><notschema/>", "the root element is not a schema"},
      {"not XML", "<xs:schema", "not well-formed XML (Error parsing start element tag at offset 9)"},
      {"a DOCTYPE", "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY e \"x\">]><xs:schema/>",
       "document type declarations are refused"},
      {"too deep", deep, "nested deeper than 64 elements"},
      {"empty types fanning out", fan_out,
       "the record type lays out more than 4096 fields or 1048576 bytes"},
      {"a long name used often", long_names, "the record type's names take more than 262144 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto schema = parse_schema(acq_test::text_bytes(c.xml));
    ASSERT_FALSE(schema);
    EXPECT_EQ(schema.error().display(), "parse error: MSScan.xsd: " + c.message);
  }
  // Laying out looks at the stop request.
  struct Stop : Interrupt {
    bool requested() noexcept override { return true; }
  } stop;
  const auto stopped = parse_schema(acq_test::text_bytes(fan_out), &stop);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().display(), interrupted().display());
}

TEST(SchemaLayout, ReadsThroughByteOrderMarkAndPrefixesAndChecksRequiredFields) {
  auto spec = acq_test::tof_v2_schema();  // "mstns:" type references
  const auto schema = parse_schema(acq_test::text_bytes(acq_test::schema_xml(spec), true));
  ASSERT_TRUE(schema) << schema.error().display();
  EXPECT_EQ(schema->version, "2.0");

  struct Case {
    const char* name;
    std::string from, to;
    const char* message;
  };
  const Case cases[] = {
      {"no ScanTime", "\"ScanTime\"", "\"ScanTimes\"", "the record has no ScanTime field"},
      {"integer ScanTime", "\"ScanTime\" type=\"xs:double\"", "\"ScanTime\" type=\"xs:long\"",
       "field ScanTime is not of a floating-point type"},
      {"float offset", "\"SpectrumOffset\" type=\"xs:long\"", "\"SpectrumOffset\" type=\"xs:double\"",
       "field SpectrumOffset is not of an integer type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto s = parse_schema(acq_test::text_bytes(with(acq_test::schema_xml(spec), c.from, c.to)));
    ASSERT_TRUE(s) << s.error().display();
    const auto l = make_layout(*s, 2, "MSScan.xsd");
    ASSERT_FALSE(l);
    EXPECT_EQ(l.error().display(), std::string("parse error: MSScan.xsd: ") + c.message);
  }
}

TEST(ScanHeader, ReadsTheFormatTableAndRefusesInconsistentHeaders) {
  const std::vector<acq_test::FormatSpec> formats = {acq_test::run_length_format(1),
                                                     acq_test::tof_peak_format(2)};
  const Bytes good = acq_test::msscan(1, 2, formats, {});
  const auto h = parse_scan_header(good);
  ASSERT_TRUE(h) << h.error().display();
  EXPECT_EQ(h->data_offset, 92u + 2 * (20 + 2 * 24));
  EXPECT_EQ(h->blocks_per_record, 2u);
  ASSERT_EQ(h->formats.size(), 2u);
  EXPECT_EQ(h->find(1)->compression, compression_run_length);
  EXPECT_EQ(h->find(2)->axes[0].quantity, quantity_flight_time);
  EXPECT_EQ(h->find(3), nullptr);

  const auto patched = [&](std::size_t at, std::uint32_t v) {
    Bytes b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
  };
  Bytes plus_one = good;
  plus_one.push_back(0);
  struct Case {
    const char* name;
    Bytes bytes;
    const char* message;
  };
  const Case cases[] = {
      {"91 bytes", Bytes(good.begin(), good.begin() + 91), "shorter than its 92-byte header (91 bytes)"},
      {"magic", patched(0, 258), "magic 258 is not 257"},
      {"no blocks", patched(76, 0), "no spectrum-parameter blocks per record"},
      {"data offset one past the end", patched(88, 229), "data offset 229 lies past the end of the file (228 bytes)"},
      {"data offset equal to the end", patched(88, 228), ""},
      {"one more entry than fits", patched(80, 3), "format table entry 2 runs past the data offset 228"},
      {"2^32 - 1 axes", patched(92 + 16, 0xFFFFFFFF), "format table entry 0 runs past the data offset 228"},
      {"one entry fewer", patched(80, 1), "format table ends at 160, not at the data offset 228"},
      {"data offset below the table", patched(88, 91), "format table ends at 92, not at the data offset 91"},
      {"duplicate id", patched(92 + 68, 1), "format id 1 appears twice in the format table"},
      {"a byte after the table counts as payload", plus_one, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = parse_scan_header(c.bytes);
    if (std::string(c.message).empty()) {
      EXPECT_TRUE(r) << r.error().display();
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), std::string("parse error: MSScan.bin: ") + c.message);
  }
}

TEST(RecordView, FieldsAreTypedSignedAndAbsentWhenTheLayoutLacksThem) {
  const auto spec = acq_test::tof_v2_schema();
  const auto schema = parse_schema(acq_test::text_bytes(acq_test::schema_xml(spec)));
  ASSERT_TRUE(schema);
  const auto layout = make_layout(*schema, 2, "MSScan.xsd");
  ASSERT_TRUE(layout);
  const Bytes bytes = acq_test::record(
      acq_test::layout_of(spec, 2),
      {{"ScanID", 7}, {"MSLevel", -2}, {"Fragmentor", 0.1}, {"ScanTime", 1.25},
       {"DataDependentScanParamType.DDScanID3", 9}},
      {{{"SpectrumFormatID", 1}, {"PointCount", 5}}, {{"SpectrumFormatID", 2}, {"SpectrumOffset", 1e12}}});
  const RecordView r(bytes, *layout);
  EXPECT_EQ(r.integer("MSLevel"), -2);  // a short, sign-extended
  EXPECT_EQ(r.real("Fragmentor"), static_cast<double>(0.1f));
  EXPECT_EQ(r.integer("Fragmentor"), std::nullopt);  // not an integer field
  EXPECT_EQ(r.real("ScanID"), 7.0);
  EXPECT_EQ(r.integer("DataDependentScanParamType.DDScanID3"), 9);
  EXPECT_EQ(r.value("MassCalOffset"), std::optional<FieldValue>(std::int64_t{0}));
  EXPECT_EQ(r.value("Status"), std::nullopt);  // the v2 TOF schema has none
  EXPECT_EQ(r.block_integer(1, "SpectrumOffset"), 1000000000000);
  EXPECT_EQ(r.block_integer(0, "PointCount"), 5);
  EXPECT_EQ(r.block_integer(2, "PointCount"), std::nullopt);
}

}  // namespace
}  // namespace kestrane::acq
