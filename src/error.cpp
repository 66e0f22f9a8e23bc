#include "src/error.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrane {

namespace {

// The GNU strerror_r returns a pointer that may or may not be the buffer; the XSI one returns
// an int and always fills the buffer. Both overloads exist so that either declaration compiles.
[[maybe_unused]] const char* strerror_result(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int os_errno) {
  char buffer[256] = {};
  return strerror_result(strerror_r(os_errno, buffer, sizeof buffer), buffer);
}

Error Error::io_os(int os_errno) { return Error(Io{true, os_errno, {}}); }

Error Error::io_os(int os_errno, std::string context) {
  return Error(Io{true, os_errno, std::move(context)});
}

Error Error::io_message(std::string text) { return Error(Io{false, 0, std::move(text)}); }

Error Error::parse(std::string message) { return Error(Parse{std::move(message)}); }

int Error::os_errno() const noexcept {
  const auto* io = std::get_if<Io>(&v_);
  return io != nullptr && io->from_os ? io->os_errno : 0;
}

std::string Error::message() const {
  if (const auto* io = std::get_if<Io>(&v_)) {
    if (!io->from_os) return io->message;
    return (io->message.empty() ? std::string() : io->message + ": ") +
           os_error_text(io->os_errno) + " (os error " + std::to_string(io->os_errno) + ")";
  }
  return std::get<Parse>(v_).message;
}

std::string Error::display() const {
  const std::string_view kind = is_io() ? "I/O error: " : "parse error: ";
  const std::string body = message();
  // Sized once: the text costs no more memory than its length.
  std::string text;
  text.reserve(kind.size() + body.size());
  text.append(kind).append(body);
  return text;
}

}  // namespace kestrane
