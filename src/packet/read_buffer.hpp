// The buffer that the packet readers read the file into.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// A byte buffer for large sequential reads. From kHugeFrom bytes up it is one huge page on a
// huge page boundary, so that the kernel's copy into it needs one page table entry instead of
// hundreds; smaller ones come from the heap. Throws std::bad_alloc when memory is refused.
class ReadBuffer {
 public:
  static constexpr size_t kHugeFrom = size_t{1} << 20;

  explicit ReadBuffer(size_t bytes);
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer();

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_bytes_ = 0;  // nonzero when data_ is a mapping
};

}  // namespace velmora
