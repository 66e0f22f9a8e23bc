#include "src/raw/read_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/os_error.hpp"
#include "tests/support/allocation_probe.hpp"

namespace kestrane::raw {
namespace {

namespace fs = std::filesystem;

constexpr const char* short_read = "I/O error: failed to fill whole buffer";

using test::os_error;

using test::largest_allocation;

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return bytes;
}

class ReadBytes : public testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "kestrane-read-bytes-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr) << std::strerror(errno);
    dir_ = templ;
    content_ = pattern(1000);
    file_ = write("data.bin", content_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  std::vector<std::uint8_t> slice(std::size_t offset, std::size_t length) const {
    return {content_.begin() + static_cast<std::ptrdiff_t>(offset),
            content_.begin() + static_cast<std::ptrdiff_t>(offset + length)};
  }

  fs::path dir_;
  std::vector<std::uint8_t> content_;
  std::string file_;
};

struct RangeCase {
  std::uint64_t offset;
  std::size_t length;
  const char* error;  // nullptr: the bytes of the range
};

TEST_F(ReadBytes, RangesOfA1000ByteFile) {
  const RangeCase cases[] = {
      {0, 1000, nullptr},        // whole file
      {0, 1, nullptr},           // first byte
      {999, 1, nullptr},         // last byte
      {123, 456, nullptr},       // inner range
      {990, 10, nullptr},        // ends exactly at the end
      {990, 11, short_read},     // one byte past the end
      {0, 1001, short_read},     // the file plus one
      {1000, 1, short_read},     // starts at the end
      {5000, 1, short_read},     // starts beyond the end
      {1000, 0, nullptr},        // nothing, at the end
      {1000000, 0, nullptr},     // nothing, far beyond the end
      {std::uint64_t{1} << 40, 1, short_read},       // far beyond the end
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", length " << c.length);
    const auto got = read_bytes(file_, c.offset, c.length);
    if (c.error == nullptr) {
      ASSERT_TRUE(got.has_value()) << got.error().display();
      EXPECT_EQ(*got, slice(static_cast<std::size_t>(c.offset), c.length));
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().display(), c.error);
    }
  }
}

TEST_F(ReadBytes, PositionsFromTwoToTheSixtyThreeUpAreRefusedWhenPositioning) {
  // The position is a signed 64-bit file offset for the system; also with length 0, since
  // positioning comes before the empty-range shortcut.
  for (const std::uint64_t offset : {std::uint64_t{1} << 63, (std::uint64_t{1} << 63) + 1,
                                     ~std::uint64_t{0}}) {
    for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << ", length " << length);
      const auto got = read_bytes(file_, offset, length);
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().display(), os_error(EINVAL));
    }
  }
}

TEST_F(ReadBytes, MissingFileFailsEvenForAnEmptyRange) {
  const std::string missing = (dir_ / "missing.bin").string();
  for (const std::size_t length : {std::size_t{0}, std::size_t{10}}) {
    SCOPED_TRACE(length);
    const auto got = read_bytes(missing, 0, length);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), os_error(ENOENT));
    EXPECT_TRUE(got.error().display().ends_with(" (os error 2)"));
  }
}

TEST_F(ReadBytes, EmptyFile) {
  const std::string empty = write("empty.bin", {});
  const auto none = read_bytes(empty, 0, 0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  const auto one = read_bytes(empty, 0, 1);
  ASSERT_FALSE(one.has_value());
  EXPECT_EQ(one.error().display(), short_read);
}

TEST_F(ReadBytes, PathWithNulIsRefusedInsteadOfTruncated) {
  // Cut at the NUL, the path would name data.bin, which exists.
  const std::string path = file_ + std::string(1, '\0') + "ignored";
  const auto got = read_bytes(path, 0, 10);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().display(), os_error(EINVAL));
}

TEST_F(ReadBytes, DirectoryFailsOnRead) {
  const auto got = read_bytes(dir_.string(), 0, 10);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().display(), os_error(EISDIR));
}

TEST_F(ReadBytes, HugeRangeOfASmallFileFailsWithoutAllocatingIt) {
  const std::vector<std::uint8_t> kib(1024, 0x5a);
  const std::string small = write("small.bin", kib);
  const std::size_t claimed = std::size_t{4} << 30;
  std::size_t largest = largest_allocation([&] {
    const auto got = read_bytes(small, 0, claimed);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), short_read);
  });
  EXPECT_LT(largest, std::size_t{1} << 20);

  largest = largest_allocation([&] {
    const auto got = read_bytes(small, 512, std::size_t{0xffffffff});
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), short_read);
  });
  EXPECT_LT(largest, std::size_t{1} << 20);
}

// Files without a fixed size are refused: /dev/zero would fill memory with a range as large as
// a descriptor claims, and a FIFO would wait for a writer forever. An empty range of them is
// still just empty, as for any file that can be positioned.
TEST_F(ReadBytes, DevicesAreRefusedWithoutReadingOrAllocating) {
  for (const char* device : {"/dev/zero", "/dev/null", "/dev/urandom"}) {
    SCOPED_TRACE(device);
    const std::size_t largest = largest_allocation([&] {
      const auto got = read_bytes(device, 123456, std::size_t{4} << 30);
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().display(), "I/O error: not a regular file");
    });
    EXPECT_LT(largest, std::size_t{1} << 16);
    const auto empty = read_bytes(device, 0, 0);
    ASSERT_TRUE(empty.has_value()) << empty.error().display();
    EXPECT_TRUE(empty->empty());
  }
}

TEST_F(ReadBytes, FifoWithoutWriterNeitherBlocksNorReads) {
  const std::string fifo = (dir_ / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  // No writer ever opens it: a blocking open would hang here.
  const auto got = read_bytes(fifo, 0, 16);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().display(), os_error(ESPIPE));
  const auto whole = read_file(fifo);
  ASSERT_FALSE(whole.has_value());
  EXPECT_EQ(whole.error().display(), "I/O error: not a regular file");
  const auto zeros = read_file("/dev/zero");
  ASSERT_FALSE(zeros.has_value());
  EXPECT_EQ(zeros.error().display(), "I/O error: not a regular file");
}

TEST_F(ReadBytes, IntoReusesTheBuffer) {
  std::vector<std::uint8_t> buffer;
  buffer.reserve(4096);
  const std::uint8_t* const storage = buffer.data();

  ASSERT_TRUE(read_bytes_into(file_, 100, 500, buffer).has_value());
  EXPECT_EQ(buffer, slice(100, 500));
  ASSERT_TRUE(read_bytes_into(file_, 7, 20, buffer).has_value());
  EXPECT_EQ(buffer, slice(7, 20));
  ASSERT_TRUE(read_bytes_into(file_, 0, 1000, buffer).has_value());
  EXPECT_EQ(buffer, content_);
  EXPECT_EQ(buffer.data(), storage);

  ASSERT_TRUE(read_bytes_into(file_, 5000, 0, buffer).has_value());
  EXPECT_TRUE(buffer.empty());

  const auto failed = read_bytes_into(file_, 995, 10, buffer);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), short_read);
  ASSERT_TRUE(read_bytes_into(file_, 990, 10, buffer).has_value());
  EXPECT_EQ(buffer, slice(990, 10));
}

// A prefix read checks the whole range as read_bytes does, whatever the prefix, and reads only
// the prefix.
TEST_F(ReadBytes, PrefixReadChecksTheWholeRange) {
  const struct {
    std::uint64_t offset;
    std::size_t length;
    std::size_t prefix;
  } cases[] = {
      {100, 500, 20},  {100, 500, 0},  {100, 500, 900}, {0, 1000, 1000},
      {995, 10, 0},    {995, 10, 5},   {1000, 1, 0},    {5000, 0, 0},
      {std::uint64_t{1} << 63, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length) + ", prefix " +
                 std::to_string(c.prefix));
    auto whole = read_bytes(file_, c.offset, c.length);
    std::vector<std::uint8_t> buffer(3, 0x11);
    const auto got = read_prefix_into(file_, c.offset, c.length, c.prefix, buffer);
    ASSERT_EQ(got.has_value(), whole.has_value());
    if (!got) {
      EXPECT_EQ(got.error().display(), whole.error().display());
      EXPECT_TRUE(buffer.empty());
      continue;
    }
    whole->resize(std::min(c.prefix, c.length));
    EXPECT_EQ(buffer, *whole);
  }
}

// A failure at any step leaves no stale bytes of an earlier range behind.
TEST_F(ReadBytes, IntoEmptiesTheBufferOnEveryFailure) {
  const struct {
    std::string path;
    std::uint64_t offset;
    std::size_t length;
  } failures[] = {
      {(dir_ / "missing.bin").string(), 0, 10},  // open
      {file_, std::uint64_t{1} << 63, 10},        // positioning
      {file_, 995, 10},                           // past the end, refused before reading
      {dir_.string(), 0, 10},                     // read
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.path + " at " + std::to_string(f.offset));
    std::vector<std::uint8_t> buffer;
    ASSERT_TRUE(read_bytes_into(file_, 0, 100, buffer).has_value());
    EXPECT_FALSE(read_bytes_into(f.path, f.offset, f.length, buffer).has_value());
    EXPECT_TRUE(buffer.empty());
  }
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Each failing step closes the descriptor it opened: open, positioning, the size check, a
// directory, a FIFO, a device, and a failing read.
TEST_F(ReadBytes, EveryFailureLeavesNoDescriptorOpen) {
  const std::string fifo = (dir_ / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const struct {
    std::string path;
    std::uint64_t offset;
    std::size_t length;
    bool whole_file_fails;  // read_file fails on the path too
  } failures[] = {
      {(dir_ / "missing.bin").string(), 0, 10, true},
      {file_, std::uint64_t{1} << 63, 10, false},
      {file_, 995, 10, false},
      {file_, 1000, 1, false},
      {dir_.string(), 0, 10, true},
      {fifo, 0, 16, true},
      {"/dev/zero", 0, 16, true},
  };
  std::vector<std::uint8_t> buffer;
  for (const auto& f : failures) {
    SCOPED_TRACE(f.path + " at " + std::to_string(f.offset));
    const std::size_t before = open_descriptors();
    EXPECT_FALSE(read_bytes(f.path, f.offset, f.length).has_value());
    EXPECT_FALSE(read_bytes_into(f.path, f.offset, f.length, buffer).has_value());
    if (f.whole_file_fails) {
      EXPECT_FALSE(read_file(f.path).has_value());
    }
    EXPECT_EQ(open_descriptors(), before);
  }
}

TEST_F(ReadBytes, ReadFileReturnsTheWholeFile) {
  // Sizes around the initial capacity of the growing path and exact sizes of the sized one.
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65535},
                                 std::size_t{65536}, std::size_t{65537}, std::size_t{300000}}) {
    SCOPED_TRACE(size);
    const std::vector<std::uint8_t> bytes = pattern(size);
    const auto got = read_file(write("whole.bin", bytes));
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, bytes);
  }
  const auto missing = read_file((dir_ / "missing.bin").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), os_error(ENOENT));

  const auto directory = read_file(dir_.string());
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().display(), os_error(EISDIR));
}

}  // namespace
}  // namespace kestrane::raw
