// What the directory harnesses share: a fresh temporary acquisition directory per input, files
// written into it, and the count of open descriptors (none may leak).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace kestrane::fuzz {

[[noreturn]] inline void fail_setup(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz set-up: %s %s\n", what, detail.c_str());
  std::abort();
}

inline void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail_setup("cannot create", path + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) fail_setup("cannot write", path + ": " + std::strerror(errno));
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
}

inline std::size_t open_descriptor_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

// $TMPDIR, else /dev/shm (memory-backed: tens of times faster for thousands of tiny
// directories), else /tmp.
inline std::string temp_base() {
  const char* env = std::getenv("TMPDIR");
  if (env != nullptr && *env != '\0') return env;
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return "/tmp";
}

// A temporary data directory with AcqData inside; removed, with the files written into either,
// on destruction.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = temp_base() + "/kestrane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail_setup("mkdtemp:", std::strerror(errno));
    root_ = pattern;
    if (::mkdir(acq_data().c_str(), 0700) != 0) fail_setup("mkdir:", std::strerror(errno));
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory() {
    remove_files(acq_data());
    ::rmdir(acq_data().c_str());
    remove_files(root_);
    ::rmdir(root_.c_str());
  }
  const std::string& root() const { return root_; }
  std::string acq_data() const { return root_ + "/AcqData"; }

 private:
  static void remove_files(const std::string& dir_path) {
    DIR* dir = ::opendir(dir_path.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
      ::unlink((dir_path + "/" + entry->d_name).c_str());  // fails harmlessly on . .. AcqData
    }
    ::closedir(dir);
  }

  std::string root_;
};

}  // namespace kestrane::fuzz
