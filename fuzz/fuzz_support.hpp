// Shared pieces of the fuzz targets: the input as a file, and invariant checks that trap.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/read/data_result.hpp"

namespace velmora::fuzz {

// Holds the input in an anonymous in-memory file, reachable by a path.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("velmora_fuzz", MFD_CLOEXEC)) {
    size_t done = 0;
    while (fd_ >= 0 && done < size) {
      const ssize_t count = ::write(fd_, data + done, size - done);
      if (count <= 0) {
        ::close(fd_);
        fd_ = -1;
      } else {
        done += static_cast<size_t>(count);
      }
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// Stops the fuzzer at a violated invariant, in every build type.
inline void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Checks that every present column has one entry per row.
inline void check_equal_lengths(const CwaDataResult& data) {
  const size_t rows = data.rows();
  check(data.acc_x && data.acc_y && data.acc_z);
  for (const ChannelRow& row : kChannels) {
    const OptionalColumn& column = data.*row.member;
    check(!column || column->size() == rows);
  }
}

}  // namespace velmora::fuzz
