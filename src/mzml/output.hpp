// The output file: written under a temporary name beside the final one, counted and hashed as
// bytes pass, and renamed into place only when complete; or standard output, written as it goes.
// Either may be gzip-compressed on the way out (offsets and hash stay those of the uncompressed
// bytes, as readers of .mzML.gz expect of its index).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "src/error.hpp"
#include "src/mzml/sha1.hpp"
#include "src/raw/file.hpp"

namespace kestrane::mzml {

// The path naming standard output.
inline constexpr std::string_view standard_output_path = "-";

// A gzip member deflated chunk by chunk (zlib; the output layer's compression of whole files).
class GzipStream {
 public:
  [[nodiscard]] static Result<GzipStream> create();
  GzipStream(GzipStream&& other) noexcept;
  GzipStream& operator=(GzipStream&&) = delete;
  ~GzipStream();

  // Compresses `bytes` (all of the stream at `finish`), appending the output to `out`.
  [[nodiscard]] Result<void> deflate(std::string_view bytes, bool finish, std::string& out);

 private:
  struct State;
  explicit GzipStream(State* state) noexcept : state_(state) {}
  State* state_;
};

class OutputFile {
 public:
  // Creates an empty temporary file in the directory of `path`. Errors, before anything is
  // created: "<path> exists and overwrite was not requested", "cannot write <path>: <os text>
  // (os error N)" (a directory, or a path that cannot be examined), "not replaced: <path> is not
  // a regular file (a device, pipe or socket)" (with overwrite; a symbolic link is replaced
  // itself), "cannot write an empty path: ..." (ENOENT); then "cannot create a file in
  // <directory>: ..." when the temporary file cannot be made.
  // The path "-" is standard output: no temporary file, no check of existence, and messages
  // name it "standard output". With gzip the bytes are compressed as they are written.
  [[nodiscard]] static Result<OutputFile> create(const std::string& path, bool overwrite,
                                                 bool gzip = false);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  // Removes the temporary file unless commit succeeded.
  ~OutputFile();

  // Appends bytes (buffered). Error "cannot write <path>: <os text> (os error N)".
  [[nodiscard]] Result<void> write(std::string_view bytes);
  // Bytes written so far, before compression: the offset of the next byte.
  std::uint64_t offset() const noexcept { return offset_; }
  // Bytes handed to the file so far (after compression), all of them once committed.
  std::uint64_t stored() const noexcept { return stored_; }
  // The SHA-1 of every byte written so far; bytes written afterwards are not hashed.
  [[nodiscard]] Result<std::string> checksum_hex();
  // Flushes, syncs and closes the temporary file, then renames it to the final path (without
  // replacing an existing file unless overwrite was requested). Standard output is flushed.
  [[nodiscard]] Result<void> commit();

  const std::string& temporary_path() const noexcept { return temp_path_; }

 private:
  OutputFile(std::string path, std::string temp_path, raw::File fd, Sha1 sha,
             bool overwrite, std::optional<GzipStream> gzip);
  [[nodiscard]] Result<void> store(std::string_view bytes, bool finish);
  [[nodiscard]] Result<void> write_all(std::string_view bytes);
  [[nodiscard]] Result<void> flush();

  std::string path_;
  std::string temp_path_;  // empty once renamed or handed to another object
  raw::File fd_;
  std::optional<Sha1> sha_;
  std::string buffer_;
  std::uint64_t offset_ = 0;
  std::uint64_t stored_ = 0;
  bool overwrite_;
  bool standard_output_;
  std::optional<GzipStream> gzip_;
  std::string compressed_;
};

}  // namespace kestrane::mzml
