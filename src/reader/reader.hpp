// One opened acquisition directory, and the spectra it yields.
#pragma once

#include <memory>
#include <memory_resource>
#include <string>

#include "../../core/source.hpp"
#include "../error.hpp"
#include "../raw/msscan.hpp"

namespace kestrane::reader {

class Reader final : public vornelle_core::SpectrumSource {
 public:
  // Opens the directory that contains AcqData. Parse "AcqData directory not found" when
  // AcqData cannot be looked up; errors of MSScan::from_path are passed on unchanged.
  [[nodiscard]] static Result<Reader> open(std::string path);

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

// Joins a path and a component: "/" between them unless `base` is empty or ends in "/".
std::string join_path(const std::string& base, const std::string& component);

// The name of a data directory: its final ordinary component as UTF-8 (invalid bytes become
// U+FFFD), or "bundle.d" when the path has none (empty, "/", ".", or ending in "..").
std::string directory_name(const std::string& path);

}  // namespace kestrane::reader
