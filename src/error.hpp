// The reader library's one error type, and the result type of every fallible operation.
#pragma once

#include <expected>
#include <string>
#include <variant>
#include <utility>

namespace kestrane {

class Error {
 public:
  // An operating-system failure; displayed as "<description> (os error N)".
  static Error io_os(int os_errno);
  // The same with what failed in front: "<context>: <description> (os error N)".
  static Error io_os(int os_errno, std::string context);
  // An I/O failure with a fixed text, e.g. "failed to fill whole buffer".
  static Error io_message(std::string text);
  // A format failure with its message.
  static Error parse(std::string message);

  bool is_io() const noexcept { return std::holds_alternative<Io>(v_); }
  bool is_parse() const noexcept { return std::holds_alternative<Parse>(v_); }

  // "I/O error: <message>" or "parse error: <message>".
  std::string display() const;
  // The text without its kind: "[<context>: ]<description> (os error N)", the fixed I/O text or
  // the parse message.
  std::string message() const;

  // The OS error number of an io_os error; 0 for every other error.
  int os_errno() const noexcept;
  // The file or directory the failure concerns, when the producer named one; not displayed.
  const std::string& path() const noexcept { return path_; }
  // This error with `path` attached.
  Error with_path(std::string path) && {
    path_ = std::move(path);
    return std::move(*this);
  }

 private:
  struct Io {
    bool from_os;         // os_errno is meaningful; otherwise `message` is the text
    int os_errno;
    std::string message;  // with from_os, the context before the description (may be empty)
  };
  struct Parse {
    std::string message;
  };
  explicit Error(Io io) : v_(std::move(io)) {}
  explicit Error(Parse parse) : v_(std::move(parse)) {}

  std::variant<Io, Parse> v_;
  std::string path_;
};

template <class T>
using Result = std::expected<T, Error>;

// Builds the unexpected value for a parse failure: `return parse_error("...");`.
inline std::unexpected<Error> parse_error(std::string message) {
  return std::unexpected(Error::parse(std::move(message)));
}

// The C library's description of an error number (strerror_r, GNU or XSI form).
std::string os_error_text(int os_errno);

}  // namespace kestrane
