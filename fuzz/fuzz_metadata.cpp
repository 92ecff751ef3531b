// Fuzz target: metadata block parsing, the timing scan and the consistency report on any bytes.
// Also checks that the scan's outcome does not depend on the read chunk size.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "header/consistency_report.hpp"
#include "header/cwa_header.hpp"
#include "header/data_timing.hpp"

namespace {

// Holds the input in an anonymous in-memory file, reachable by a path.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz_metadata", MFD_CLOEXEC)) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora;
  if (size >= kMetadataBytes) (void)parse_cwa_header(MetadataBytes(data, kMetadataBytes));
  const MemoryFile file(data, size);
  if (!file.ok()) return 0;
  const Result<CwaHeader> header = read_cwa_header(file.path());
  const Result<DataTiming> timing = scan_data_timing(file.path());
  // Chunk boundaries inside packets must not change what the scan finds.
  if (scan_data_timing(file.path(), 1000) != timing) __builtin_trap();
  if (header && timing) (void)make_consistency_report(*header, *timing);
  return 0;
}
