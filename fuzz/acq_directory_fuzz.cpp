// Acquisition::open and read on arbitrary directories. Input: records {u8 file id, u32 LE length,
// bytes} until the input ends (a length beyond the remaining bytes takes what remains); file id
// % 10 picks AcqData/MSScan.bin, MSScan.xsd, MSProfile.bin, MSPeak.bin, MSMassCal.bin,
// DefaultMassCal.xml, MSTS.xml, MSScan_XSpecific.bin, MSTS_XSpecific.xml, or MSTS_XAddition.xml
// beside AcqData; a later record for the same file replaces it. Each run lays the files out in
// a fresh temporary directory and removes it afterwards.
// Invariants: open fails with a display text naming a file (or the directory) or an OS error;
// for the first 64 records and both preferences, read gives arrays of equal length, a
// representation exactly when the status is ok, no m/z for an uncalibrated spectrum, block
// statuses other than incomplete, the same bits when read again through reused buffers; no
// descriptor stays open.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>

#include "fuzz/temp_directory.hpp"
#include "src/acq/acquisition.hpp"
#include "src/raw/le.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "acq_directory_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

constexpr const char* file_names[10] = {
    "AcqData/MSScan.bin",       "AcqData/MSScan.xsd",     "AcqData/MSProfile.bin",
    "AcqData/MSPeak.bin",       "AcqData/MSMassCal.bin",  "AcqData/DefaultMassCal.xml",
    "AcqData/MSTS.xml",         "AcqData/MSScan_XSpecific.bin", "AcqData/MSTS_XSpecific.xml",
    "MSTS_XAddition.xml"};

bool same(const kestrane::acq::Spectrum& a, const kestrane::acq::Spectrum& b) {
  return a.status == b.status && a.representation == b.representation &&
         a.calibration == b.calibration && a.profile_status == b.profile_status &&
         a.centroid_status == b.centroid_status && a.mz.size() == b.mz.size() &&
         a.intensity.size() == b.intensity.size() &&
         (a.mz.empty() || (std::memcmp(a.mz.data(), b.mz.data(), 8 * a.mz.size()) == 0 &&
                           std::memcmp(a.intensity.data(), b.intensity.data(),
                                       8 * a.intensity.size()) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrane::acq;
  std::map<int, std::span<const std::uint8_t>> files;
  const std::span<const std::uint8_t> input(data, size);
  std::size_t pos = 0;
  while (size - pos >= 5) {
    const int id = data[pos] % 10;
    const std::size_t length = kestrane::raw::load_le<std::uint32_t>(input, pos + 1);
    pos += 5;
    const std::size_t take = std::min(length, size - pos);
    files[id] = std::span<const std::uint8_t>(data + pos, take);
    pos += take;
  }

  const std::size_t descriptors_before = kestrane::fuzz::open_descriptor_count();
  {
    kestrane::fuzz::TempDirectory dir;
    for (const auto& [id, bytes] : files) {
      kestrane::fuzz::write_file(dir.root() + "/" + file_names[id], bytes);
    }
    auto acq = Acquisition::open(dir.root());
    if (!acq) {
      const std::string text = acq.error().display();
      if (text.rfind("parse error: MS", 0) != 0 && text.rfind("I/O error: ", 0) != 0 &&
          text != "parse error: not an acquisition directory: " + dir.root() +
                      " (no AcqData/MSScan.bin)") {
        fail("open error names no file:", text);
      }
    } else {
      Spectrum reused;
      ReadScratch scratch;
      const std::size_t records = std::min<std::size_t>(acq->size(), 64);
      for (std::size_t i = 0; i < records; ++i) {
        (void)acq->scan(i);
        for (const Prefer prefer : {Prefer::profile, Prefer::centroid}) {
          const Spectrum s = acq->read(i, prefer);
          if (s.mz.size() != s.intensity.size()) fail("arrays of unequal length");
          if (s.representation.has_value() != (s.status == Status::ok)) {
            fail("representation without ok, or ok without representation");
          }
          if (s.calibration == CalibrationSource::uncalibrated && !s.mz.empty()) {
            fail("flight times presented as m/z");
          }
          if (s.profile_status == Status::incomplete || s.centroid_status == Status::incomplete) {
            fail("a block status of incomplete");
          }
          acq->read_into(i, prefer, reused, scratch);
          if (!same(s, reused)) fail("a reused spectrum and scratch changed the result");
        }
      }
    }
  }
  if (kestrane::fuzz::open_descriptor_count() != descriptors_before) fail("a file descriptor was left open");
  return 0;
}
