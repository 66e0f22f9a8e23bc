// Exact byte-range reads of data files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/error.hpp"
#include "src/interrupt.hpp"

namespace kestrane::raw {

// Reads exactly `length` bytes from `offset` of the file at `path`: open, lseek, read until
// full (repeating on EINTR), close. Errors are Io: the OS error of open, lseek or read, or
// "failed to fill whole buffer" when the file ends first, and "not a regular file" for a FIFO,
// device or socket (a directory gives EISDIR). A range that runs past the end of the file fails
// before any buffer for it is allocated. A stop request between pieces of a long read gives
// interrupted().
[[nodiscard]] Result<std::vector<std::uint8_t>> read_bytes(const std::string& path,
                                                           std::uint64_t offset,
                                                           std::size_t length);

// As read_bytes, but into `buffer`, resized to `length` (emptied on failure); its capacity is
// reused across calls.
[[nodiscard]] Result<void> read_bytes_into(const std::string& path, std::uint64_t offset,
                                           std::size_t length, std::vector<std::uint8_t>& buffer,
                                           Interrupt* interrupt = nullptr);

// As read_bytes_into, but only the first `prefix` bytes of the range (at most `length`) are
// read: the range of `length` bytes passes every check read_bytes_into makes before reading,
// so a range past the end of the file fails the same way, while the cost is that of the prefix.
[[nodiscard]] Result<void> read_prefix_into(const std::string& path, std::uint64_t offset,
                                            std::size_t length, std::size_t prefix,
                                            std::vector<std::uint8_t>& buffer,
                                            Interrupt* interrupt = nullptr);

// Reads a whole regular file; Io "not a regular file" for a FIFO, device or socket.
[[nodiscard]] Result<std::vector<std::uint8_t>> read_file(const std::string& path,
                                                        Interrupt* interrupt = nullptr);

}  // namespace kestrane::raw
