// Read buffers: a huge page mapping for large chunks, the heap for small ones.
#include "packet/read_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace velmora {

ReadBuffer::ReadBuffer(size_t bytes) : size_(bytes) {
  if (bytes < kHugeFrom || bytes > kHugePageBytes) {
    data_ = new uint8_t[bytes];
    return;
  }
  // Twice the page, trimmed to the one aligned page inside it.
  void* wide = ::mmap(nullptr, 2 * kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (wide == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(wide);
  const uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  if (aligned > start) ::munmap(wide, aligned - start);
  const uintptr_t end = aligned + kHugePageBytes;
  if (start + 2 * kHugePageBytes > end)
    ::munmap(reinterpret_cast<void*>(end), start + 2 * kHugePageBytes - end);
  data_ = reinterpret_cast<uint8_t*>(aligned);
  mapped_bytes_ = kHugePageBytes;
#ifdef MADV_HUGEPAGE  // Linux only; elsewhere the kernel decides alone
  ::madvise(data_, kHugePageBytes, MADV_HUGEPAGE);
#endif
}

ReadBuffer::~ReadBuffer() {
  if (mapped_bytes_ != 0) {
    ::munmap(data_, mapped_bytes_);
  } else {
    delete[] data_;
  }
}

}  // namespace velmora
