// One opened acquisition directory, and the spectra it yields.
#pragma once

#include <memory>
#include <memory_resource>
#include <string>

#include "core/source.hpp"
#include "src/error.hpp"
#include "src/interrupt.hpp"
#include "src/raw/msscan.hpp"

namespace kestrane::reader {

class Reader final : public vornelle_core::SpectrumSource {
 public:
  // Opens the directory that contains AcqData. Parse "AcqData directory not found" when
  // AcqData cannot be looked up; errors of MSScan::from_path are passed on unchanged.
  [[nodiscard]] static Result<Reader> open(std::string path, Interrupt* interrupt = nullptr);

  const std::string& data_dir() const noexcept { return data_dir_; }
  const std::string& name() const noexcept { return name_; }
  const raw::MSScan& msscan() const noexcept { return msscan_; }
  const std::string& peak_path() const noexcept { return peak_path_; }
  const std::string& profile_path() const noexcept { return profile_path_; }

  // One record per index entry, in order; a scan that cannot be read or decoded yields empty
  // arrays. The iterator refers to this Reader and must not outlive it.
  std::unique_ptr<vornelle_core::SpectrumIterator> iter_spectra(
      std::pmr::memory_resource* arrays = std::pmr::get_default_resource()) const override;

 private:
  Reader() = default;

  std::string data_dir_;
  std::string name_;
  raw::MSScan msscan_;
  std::string peak_path_;
  std::string profile_path_;
};

// A scan's retention time in seconds, as its spectrum carries it.
inline double retention_time_sec(const raw::ScanRecord& scan) {
  return scan.retention_time_min * 60.0;
}

}  // namespace kestrane::reader
