// The display text of an Io error that carries an OS error number, as the tests expect it.
#pragma once

#include <cstring>
#include <string>

namespace kestrane::test {

inline std::string os_error(int number) {
  return "I/O error: " + std::string(std::strerror(number)) + " (os error " +
         std::to_string(number) + ")";
}

}  // namespace kestrane::test
