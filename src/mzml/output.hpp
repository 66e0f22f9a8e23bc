// The output file: written under a temporary name beside the final one, counted and hashed as
// bytes pass, and renamed into place only when complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "src/error.hpp"
#include "src/mzml/sha1.hpp"
#include "src/raw/file.hpp"

namespace kestrane::mzml {

class OutputFile {
 public:
  // Creates an empty temporary file in the directory of `path`. Errors, before anything is
  // created: "<path> exists and overwrite was not requested", "cannot write <path>: <os text>
  // (os error N)" (a directory, or a path that cannot be examined); then "cannot create a file
  // in <directory>: ..." when the temporary file cannot be made.
  [[nodiscard]] static Result<OutputFile> create(const std::string& path, bool overwrite);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  // Removes the temporary file unless commit succeeded.
  ~OutputFile();

  // Appends bytes (buffered). Error "cannot write <path>: <os text> (os error N)".
  [[nodiscard]] Result<void> write(std::string_view bytes);
  // Bytes written so far: the offset of the next byte.
  std::uint64_t offset() const noexcept { return offset_; }
  // The SHA-1 of every byte written so far; bytes written afterwards are not hashed.
  [[nodiscard]] Result<std::string> checksum_hex();
  // Flushes, syncs and closes the temporary file, then renames it to the final path (without
  // replacing an existing file unless overwrite was requested).
  [[nodiscard]] Result<void> commit();

  const std::string& temporary_path() const noexcept { return temp_path_; }

 private:
  OutputFile(std::string path, std::string temp_path, raw::File fd, Sha1 sha,
             bool overwrite);
  [[nodiscard]] Result<void> write_all(std::string_view bytes);
  [[nodiscard]] Result<void> flush();

  std::string path_;
  std::string temp_path_;  // empty once renamed or handed to another object
  raw::File fd_;
  std::optional<Sha1> sha_;
  std::string buffer_;
  std::uint64_t offset_ = 0;
  bool overwrite_;
};

}  // namespace kestrane::mzml
