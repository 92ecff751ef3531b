// Anonymous mappings behind the column buffers.
#include "package/column.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace velmora {

namespace {

constexpr size_t kPageBytes = 4096;
constexpr size_t kHugePageBytes = size_t{2} << 20;

size_t round_up(size_t value, size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Large columns get huge pages: fewer page faults while a week of samples is written.
size_t mapping_size(size_t bytes) {
  return bytes >= kHugePageBytes ? round_up(bytes, kHugePageBytes) : round_up(bytes, kPageBytes);
}

void advise_huge_pages(void* base, size_t bytes) {
  if (bytes >= kHugePageBytes) ::madvise(base, bytes, MADV_HUGEPAGE);
}

}  // namespace

void populate_pages(void* start, size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  if (start != nullptr && bytes != 0) ::madvise(start, bytes, MADV_POPULATE_WRITE);
#else
  static_cast<void>(start);
  static_cast<void>(bytes);
#endif
}

void MappedRegion::unmap(MappedRegion region) noexcept {
  if (region.base != nullptr) ::munmap(region.base, region.bytes);
}

void MappedBuffer::grow_to(size_t bytes) {
  if (bytes <= region_.bytes) return;
  const size_t new_bytes = mapping_size(bytes);
  void* base;
  if (region_.base == nullptr) {
    base = ::mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  } else {
    base = ::mremap(region_.base, region_.bytes, new_bytes, MREMAP_MAYMOVE);
  }
  if (base == MAP_FAILED) throw std::bad_alloc();
  region_ = MappedRegion{base, new_bytes};
  advise_huge_pages(base, new_bytes);
}

MappedRegion MappedBuffer::release(size_t used_bytes) {
  if (region_.base == nullptr) grow_to(kPageBytes);
  const size_t keep = used_bytes == 0 ? kPageBytes : round_up(used_bytes, kPageBytes);
  if (keep < region_.bytes) {
    // Give the unused reservation back; the rows stay where they are.
    ::munmap(static_cast<char*>(region_.base) + keep, region_.bytes - keep);
    region_.bytes = keep;
  }
  return std::exchange(region_, MappedRegion{});
}

}  // namespace velmora
