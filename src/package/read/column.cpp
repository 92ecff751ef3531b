// Anonymous mappings behind the column buffers.
#include "package/read/column.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "errors/memory_limit.hpp"
#include "packet/page_mapping.hpp"

namespace velmora {

namespace {

// Columns from half a huge page up get huge pages: one fault (and one page table entry) per
// 2 MiB instead of 512, for at most twice the zeroing of the smallest of them.
constexpr size_t kHugePageFrom = kHugePageBytes / 2;

size_t mapping_size(size_t bytes) {
  return bytes >= kHugePageFrom ? round_up(bytes, kHugePageBytes) : round_up(bytes, kPageBytes);
}

}  // namespace

void MappedRegion::unmap(MappedRegion region) noexcept {
  if (region.base != nullptr) ::munmap(region.base, region.bytes);
}

size_t max_rows_in_memory(size_t row_bytes) { return physical_memory_bytes() / row_bytes; }

void MappedBuffer::grow_to(size_t rows, size_t row_bytes) {
  if (rows > max_rows_in_memory(row_bytes)) refuse_rows(rows, row_bytes, "a column", false);
  const size_t bytes = rows * row_bytes;
  if (bytes <= region_.bytes) return;
  const size_t new_bytes = mapping_size(bytes);
  void* base;
  if (region_.base == nullptr) {
    base = map_pages(new_bytes);
  } else {
    base = remap_pages(region_.base, region_.bytes, new_bytes);
  }
  if (base == nullptr) refuse_rows(rows, row_bytes, "a column", true);
  region_ = MappedRegion{base, new_bytes};
}

MappedRegion MappedBuffer::release(size_t used_bytes) {
  if (region_.base == nullptr) grow_to(kPageBytes, 1);
  const size_t keep = used_bytes == 0 ? kPageBytes : round_up(used_bytes, kPageBytes);
  if (keep < region_.bytes) {
    // Give the unused reservation back; the rows stay where they are.
    ::munmap(static_cast<char*>(region_.base) + keep, region_.bytes - keep);
    region_.bytes = keep;
  }
  return std::exchange(region_, MappedRegion{});
}

}  // namespace velmora
