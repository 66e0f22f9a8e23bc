#include "src/acq/msts.hpp"

#include "src/acq/xml.hpp"

namespace kestrane::acq {

Result<std::vector<TimeSegment>> parse_msts(std::span<const std::uint8_t> xml) {
  pugi::xml_document doc;
  if (auto loaded = load_xml(xml, "MSTS.xml", doc); !loaded) {
    return std::unexpected(std::move(loaded).error());
  }
  const pugi::xml_node root = doc.document_element();
  if (local_name(root.name()) != "TimeSegments") {
    return parse_error("MSTS.xml: no TimeSegments element");
  }
  std::vector<TimeSegment> out;
  for (pugi::xml_node s = root.first_child(); s; s = s.next_sibling()) {
    if (s.type() != pugi::node_element || local_name(s.name()) != "TimeSegment") continue;
    const std::string id_text = s.attribute("TimeSegmentID").value();
    const auto scans = parse_int(trimmed_text(child(s, "NumOfScans")));
    if (!scans || *scans < 0) {
      return parse_error("MSTS.xml: segment " + id_text + " has no readable NumOfScans");
    }
    out.push_back({parse_int(id_text).value_or(0), *scans});
  }
  return out;
}

std::vector<std::string> msts_warnings(const std::vector<TimeSegment>& segments,
                                       std::uint64_t records) {
  std::uint64_t sum = 0;
  for (const auto& s : segments) sum += static_cast<std::uint64_t>(s.scans);
  if (sum == records) return {};
  return {"MSTS.xml: NumOfScans adds up to " + std::to_string(sum) + ", MSScan.bin holds " +
          std::to_string(records) + " records"};
}

}  // namespace kestrane::acq
