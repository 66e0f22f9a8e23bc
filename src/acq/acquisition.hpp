// An acquisition directory in the self-describing form: the index and metadata read at open,
// any scan decoded on demand, from any number of threads at once. The Python module and the mzML
// converter read directories through these types; CalibrationSource::default_entry is the word
// "default".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/types.hpp"
#include "src/acq/calibration.hpp"
#include "src/acq/record.hpp"
#include "src/acq/scan_header.hpp"
#include "src/acq/status.hpp"
#include "src/error.hpp"
#include "src/interrupt.hpp"

namespace kestrane::acq {

// One record's metadata, from the index alone (no block is read).
struct ScanInfo {
  std::size_t index = 0;  // position in MSScan.bin, from 0
  std::int64_t scan_id = 0;
  std::int64_t scan_method_id = 0;
  std::int64_t time_segment_id = 0;
  double retention_time_min = 0.0;         // ScanTime as stored
  std::int32_t ms_level = 0;
  std::optional<std::int32_t> scan_type;   // 1 full scan, 2 SIM; others kept as numbers
  std::optional<Polarity> polarity;        // IonPolarity 0 positive, 1 negative; else nullopt
  std::optional<double> precursor_mz;      // MzOfInterest, when ms_level >= 2 and it is > 0
  std::optional<double> collision_energy;  // CollisionEnergy, when ms_level >= 2
  std::optional<double> fragmentor, isolation_width;
  std::optional<std::int32_t> charge_state;  // ChargeState, when it is > 0
  std::optional<double> tic, base_peak_mz, base_peak_value;  // the record's own fields
  std::optional<std::int32_t> calibration_id;
  std::uint64_t profile_points = 0, centroid_points = 0;     // PointCount of its blocks
  // Every non-empty block lies at or past the end of its file (a run stopped mid-write).
  bool incomplete = false;
};

// scan(i) of every record, one column per field (the same rules, scan_rules.hpp): absent values
// are 0 for the integer columns and NaN for the optional real ones; polarity 1 positive, -1 negative, 0 none; scan_type 0 for
// none. The columns lie in one allocation, shared by copies of the table: from
// spectrum_array_resource() (array_pool.hpp), so that a table made after another freed its
// memory touches no fresh page.
struct ScanTable {
  std::span<std::int64_t> scan_id, scan_method_id, time_segment_id;
  std::span<double> retention_time_min;
  std::span<std::int32_t> ms_level, scan_type;
  std::span<std::int8_t> polarity;
  std::span<double> precursor_mz, collision_energy, isolation_width, tic, base_peak_mz,
      base_peak_value;
  std::span<std::int32_t> charge_state;  // 0 where the record gives none
  std::span<std::uint64_t> profile_points, centroid_points;
  std::span<std::uint8_t> incomplete;
  std::shared_ptr<void> storage;
};

// One emitted spectrum. Arrays are written once per element; read() draws them from
// spectrum_array_resource() (src/acq/array_pool.hpp), read_into keeps the caller's.
struct Spectrum {
  std::size_t index = 0;
  std::optional<Representation> representation;  // nullopt when nothing was emitted
  vornelle_core::Array<double> mz;
  vornelle_core::Array<double> intensity;
  // Asked for by a caller writing float32 columns, before read_into: a run-length or LZF block
  // read for this record alone (not shared with its neighbours) is decoded into `intensity32`
  // when float32 holds each count, and `intensity` is then empty. Every other read fills
  // `intensity` and leaves `intensity32` empty.
  bool float32_counts = false;
  vornelle_core::Array<float> intensity32;
  vornelle_core::Array<double> precursor_mz;           // channels only, with MSTS_XAddition.xml
  vornelle_core::Array<double> accumulation_time_sec;  // channels only, when known; else empty
  vornelle_core::Array<std::int32_t> detector_mode;    // channels only, from
                                                       // MSScan_XSpecific.bin; else empty
  // nullopt when nothing was emitted, except `uncalibrated` for flight-time blocks that no
  // calibration covers (their flight times are never presented as m/z).
  std::optional<CalibrationSource> calibration;
  Status status = Status::empty;                 // ok, empty, incomplete or the failing block's
  std::optional<Status> profile_status;          // nullopt: the record has no block of that kind
  std::optional<Status> centroid_status;
};

// What open() found. The block not decoded by a read keeps the status of the checks made
// without decoding (file, bounds, format, calibration).
struct AcqInfo {
  std::string path;       // as given to open()
  std::string acq_data;   // the AcqData directory
  std::uint32_t layout_version = 0;      // MSScan.bin @68
  std::uint32_t blocks_per_record = 0;   // @76
  std::uint32_t data_offset = 0;         // @88
  std::uint64_t stride = 0;
  std::vector<FormatEntry> formats;
  std::string schema_source;             // "MSScan.xsd" or "built-in ICP layout"
  std::optional<std::string> schema_version;
  std::string family;                    // the decoders the format table names, e.g.
                                         // "run-length profile, centroid"
  bool has_profile_file = false, has_peak_file = false, has_mass_cal = false,
       has_default_mass_cal = false, has_msts = false, has_xaddition = false,
       has_xspecific_settings = false, has_xspecific_records = false;
};

// The values of the last block read_into decoded that several records share (neighbours in
// the index name the same block), before calibration: the next read of it copies them instead
// of decoding the block again. Keyed by the open it came from and the block's descriptor.
struct DecodedBlock {
  std::uint64_t serial = 0;  // the open's number; 0: holds nothing
  std::int64_t format_id = 0, offset = 0, byte_count = 0, point_count = 0;
  Status status = Status::empty;  // ok, or malformed: the decoder's verdict
  double start = 0.0, step = 0.0;  // the axis of a profile
  std::vector<double> x, y;  // x: centroid and channel blocks; y: the intensities
};

// Reusable buffers of read_into: block bytes, the LZF output, the X values of ICP channels and
// the last shared block decoded.
struct ReadScratch {
  std::unique_ptr<std::uint8_t[]> block;
  std::size_t capacity = 0;
  std::vector<std::uint8_t> expanded;
  std::vector<double> channel_x;
  DecodedBlock last_block;
};

// The blocks decoded by every read of this process so far; a block whose values a read copies
// from ReadScratch::last_block is not counted again.
std::uint64_t blocks_decoded() noexcept;

class Acquisition {
 public:
  // Opens an acquisition directory (the folder holding AcqData/, or AcqData itself). Reads
  // MSScan.bin, the schema, the format table and the small metadata files; decodes no block.
  // Format problems: Error::parse naming the file and the reason ("MSScan.xsd: ...", or "not an
  // acquisition directory: <path> (no AcqData/MSScan.bin)" for a directory without an index); OS
  // failures: Error::io_os with errno, the failing path in Error::path() (`path` itself when it
  // is missing or not a directory). Asks `interrupt` between steps and while it reads the index
  // or walks the records, and returns interrupted() when it asks to stop.
  [[nodiscard]] static Result<Acquisition> open(const std::string& path,
                                                Interrupt* interrupt = nullptr);

  std::size_t size() const noexcept;
  const AcqInfo& info() const noexcept;
  // The problems open() found, then what reads so far found in the intensities they emitted
  // (negative or not finite, kept as stored; IntensityFindings), each record once.
  std::vector<std::string> warnings() const;
  const RecordLayout& layout() const noexcept;
  // MSScan.bin whole, as open() read it: what a checksum of the index must cover, whatever
  // became of the file since. Lives as long as any copy of this Acquisition.
  std::span<const std::uint8_t> index_file() const noexcept;
  // Metadata from the index only; i < size().
  ScanInfo scan(std::size_t i) const;
  // scan(i) for every i, as columns, each filled by one loop over the index.
  ScanTable scan_table() const;
  // Any field by name, typed; absent = nullopt. i < size(); the view lives as long as any copy
  // of this Acquisition.
  RecordView record(std::size_t i) const noexcept;
  // The calibration scan i's flight times would use.
  CalibrationChoice calibration(std::size_t i) const noexcept;

  // Decodes scan i's block on demand. Never fails: every problem is a status; i >= size()
  // gives an empty spectrum with status malformed. Thread-safe without a lock: data files are
  // held open and read with pread. Large arrays come from a pool that keeps a few freed ones
  // (array_pool.hpp), so that fresh spectra scan after scan cost no page faults.
  Spectrum read(std::size_t i, Prefer prefer = Prefer::profile) const;
  // True when every data file is held in memory (read whole by an earlier read): a read then
  // makes no system call and takes time in proportion to its points only.
  bool data_loaded() const noexcept;
  // As read(), reusing `out`'s arrays and a caller-owned scratch.
  void read_into(std::size_t i, Prefer prefer, Spectrum& out, ReadScratch& scratch) const;

  struct State;

 private:
  explicit Acquisition(std::shared_ptr<const State> state) noexcept : s_(std::move(state)) {}
  std::shared_ptr<const State> s_;
};

}  // namespace kestrane::acq
