#include "src/acq/icp.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "src/acq/xml.hpp"
#include "src/raw/le.hpp"

namespace kestrane::acq {

Result<ChannelMap> parse_xaddition(std::span<const std::uint8_t> xml) {
  pugi::xml_document doc;
  if (auto loaded = load_xml(xml, "MSTS_XAddition.xml", doc); !loaded) {
    return std::unexpected(std::move(loaded).error());
  }
  ChannelMap out;
  const pugi::xml_node root = doc.document_element();
  for (pugi::xml_node seg = root.first_child(); seg; seg = seg.next_sibling()) {
    if (seg.type() != pugi::node_element || local_name(seg.name()) != "MSTS_XAddition") continue;
    const std::string id_text = seg.attribute("TimeSegmentID").value();
    const auto id = parse_int(id_text);
    auto& masses = out[id.value_or(0)];
    for (pugi::xml_node m = child(seg, "IndexedMasses").first_child(); m; m = m.next_sibling()) {
      if (m.type() != pugi::node_element) continue;
      const auto index = parse_int(trimmed_text(child(m, "Index")));
      const auto precursor = parse_double(trimmed_text(child(m, "PrecursorIonMZ")));
      const auto product = parse_double(trimmed_text(child(m, "ProductIonMZ")));
      if (!id || !index || !precursor || !product || !std::isfinite(*precursor) ||
          !std::isfinite(*product)) {
        return parse_error("MSTS_XAddition.xml: segment " + id_text +
                           ": unreadable indexed mass");
      }
      masses.push_back({*index, *precursor, *product});
    }
  }
  // Channels are compared with the index as a double: ordered the same way, stably.
  for (auto& [segment, masses] : out) {
    std::stable_sort(masses.begin(), masses.end(), [](const ChannelMass& a, const ChannelMass& b) {
      return static_cast<double>(a.index) < static_cast<double>(b.index);
    });
  }
  return out;
}

std::vector<std::pair<std::int64_t, std::int64_t>> conflicting_indices(const ChannelMap& map) {
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (const auto& [segment, masses] : map) {
    // Entries of one index are neighbours (parse_xaddition sorts them stably).
    for (std::size_t k = 1; k < masses.size(); ++k) {
      const ChannelMass& a = masses[k - 1];
      const ChannelMass& b = masses[k];
      if (a.index != b.index) continue;
      const bool same = a.precursor_mz == b.precursor_mz && a.product_mz == b.product_mz;
      const bool counted = !out.empty() && out.back() == std::pair{segment, b.index};
      if (!same && !counted) out.emplace_back(segment, b.index);
    }
  }
  return out;
}

const ChannelMass* find_channel(std::span<const ChannelMass> masses, double x) noexcept {
  if (x != std::floor(x)) return nullptr;  // NaN too
  const auto after = std::upper_bound(
      masses.begin(), masses.end(), x,
      [](double v, const ChannelMass& m) { return v < static_cast<double>(m.index); });
  if (after == masses.begin() || static_cast<double>(std::prev(after)->index) != x) return nullptr;
  return &*std::prev(after);
}

Result<MassSettings> parse_xspecific_settings(std::span<const std::uint8_t> xml) {
  pugi::xml_document doc;
  if (auto loaded = load_xml(xml, "MSTS_XSpecific.xml", doc); !loaded) {
    return std::unexpected(std::move(loaded).error());
  }
  MassSettings out;
  const pugi::xml_node root = doc.document_element();
  for (pugi::xml_node rec = root.first_child(); rec; rec = rec.next_sibling()) {
    if (rec.type() != pugi::node_element || local_name(rec.name()) != "IonRecord") continue;
    const std::string id_text = rec.attribute("TimeSegmentID").value();
    const auto id = parse_int(id_text);
    auto& masses = out[id.value_or(0)];
    for (pugi::xml_node m = rec.first_child(); m; m = m.next_sibling()) {
      if (m.type() != pugi::node_element || local_name(m.name()) != "Masses") continue;
      const auto mass = parse_double(trimmed_text(child(m, "Mass")));
      const auto time = parse_double(trimmed_text(child(m, "AccumulationTime")));
      if (!id || !mass || !time) {
        return parse_error("MSTS_XSpecific.xml: segment " + id_text +
                           ": unreadable Masses entry");
      }
      masses.push_back({*mass, *time});
    }
  }
  return out;
}

std::optional<vornelle_core::Array<std::int32_t>> decode_xspecific(
    std::span<const std::uint8_t> records, std::span<const double> channel_x) {
  if (records.size() != xspecific_record_size * channel_x.size()) return std::nullopt;
  vornelle_core::Array<std::int32_t> modes(channel_x.size());
  for (std::size_t k = 0; k < channel_x.size(); ++k) {
    const std::size_t at = static_cast<std::size_t>(xspecific_record_size) * k;
    if (raw::load_le<double>(records, at) != channel_x[k]) return std::nullopt;
    modes[k] = static_cast<std::int32_t>(raw::load_le<std::uint32_t>(records, at + 8));
  }
  return modes;
}

}  // namespace kestrane::acq
