// ICP companions: the channel masses of MSTS_XAddition.xml (beside AcqData/), the accumulation
// times of MSTS_XSpecific.xml, and the per-point records of MSScan_XSpecific.bin.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "src/error.hpp"

namespace kestrane::acq {

// One indexed mass: the first quadrupole selects `precursor_mz`, the second `product_mz`.
struct ChannelMass {
  std::int64_t index = 0;
  double precursor_mz = 0.0;
  double product_mz = 0.0;
};

// Time segment id -> its indexed masses, ordered by index as a double (entries of one index in
// file order), for find_channel.
using ChannelMap = std::map<std::int64_t, std::vector<ChannelMass>>;

// Parses MSTS_XAddition.xml. The XML loader's errors (prefixed "MSTS_XAddition.xml: "), and
// "MSTS_XAddition.xml: segment S: unreadable indexed mass" for an entry without a numeric
// Index, or without a finite PrecursorIonMZ and ProductIonMZ.
[[nodiscard]] Result<ChannelMap> parse_xaddition(std::span<const std::uint8_t> xml);

// The indices that `map` gives more than once within a segment with different masses, as
// (segment, index) pairs in map order: their channels take the last entry's masses.
std::vector<std::pair<std::int64_t, std::int64_t>> conflicting_indices(const ChannelMap& map);

// The mass of channel x among one segment's masses: the entry whose index equals x, the last in
// file order when several do; nullptr when x is not an integer or no index equals it. A binary
// search: O(log entries) a channel.
const ChannelMass* find_channel(std::span<const ChannelMass> masses, double x) noexcept;

// One Masses element of MSTS_XSpecific.xml.
struct MassSetting {
  double mass = 0.0;
  double accumulation_time_sec = 0.0;
};

// Time segment id -> its Masses, in file order.
using MassSettings = std::map<std::int64_t, std::vector<MassSetting>>;

// Parses MSTS_XSpecific.xml. The XML loader's errors (prefixed "MSTS_XSpecific.xml: "), and
// "MSTS_XSpecific.xml: segment S: unreadable Masses entry".
[[nodiscard]] Result<MassSettings> parse_xspecific_settings(std::span<const std::uint8_t> xml);

// MSScan_XSpecific.bin: after its 68-byte head, u32@68 = 1, then 12-byte records {f64 XValue,
// i32 IonDetectorMode} from 72.
inline constexpr std::uint32_t xspecific_magic = 275;
inline constexpr std::uint64_t xspecific_records_at = 72;
inline constexpr std::uint64_t xspecific_record_size = 12;

// Decodes one scan's records (ByteCount = 12n bytes at its Offset): the detector modes, when
// every XValue equals the channel's x. nullopt when the sizes differ or an XValue does not.
std::optional<vornelle_core::Array<std::int32_t>> decode_xspecific(
    std::span<const std::uint8_t> records, std::span<const double> channel_x);

}  // namespace kestrane::acq
