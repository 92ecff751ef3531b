// Read buffers: a huge page mapping for large chunks, the heap for small ones.
#include "packet/read_buffer.hpp"

#include <sys/mman.h>

#include <new>

#include "packet/page_mapping.hpp"

namespace velmora {

ReadBuffer::ReadBuffer(size_t bytes) : size_(bytes) {
  if (bytes < kHugeFrom || bytes > kHugePageBytes) {
    data_ = new uint8_t[bytes];
    return;
  }
  void* base = map_pages(kHugePageBytes);
  if (base == nullptr) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(base);
  mapped_bytes_ = kHugePageBytes;
}

ReadBuffer::~ReadBuffer() {
  if (mapped_bytes_ != 0) {
    ::munmap(data_, mapped_bytes_);
  } else {
    delete[] data_;
  }
}

}  // namespace velmora
