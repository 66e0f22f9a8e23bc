// Runs a shell command line and collects its standard output, for the tests of the tools.
#pragma once

#include <cstdio>
#include <string>

namespace kestrane::test_support {

// The command's standard output (its standard error too when the line redirects it); *status
// receives pclose's wait status, or stays unchanged when the command could not be started.
inline std::string run_command(const std::string& command, int* status) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  *status = ::pclose(pipe);
  return out;
}

}  // namespace kestrane::test_support
