// Anonymous mappings behind the column buffers.
#include "package/read/column.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "errors/interrupt.hpp"
#include "errors/memory_limit.hpp"

namespace velmora {

namespace {

constexpr size_t kPageBytes = 4096;
constexpr size_t kHugePageBytes = size_t{2} << 20;

size_t round_up(size_t value, size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Columns from half a huge page up get huge pages: one fault (and one page table entry) per
// 2 MiB instead of 512, for at most twice the zeroing of the smallest of them.
constexpr size_t kHugePageFrom = kHugePageBytes / 2;

size_t mapping_size(size_t bytes) {
  return bytes >= kHugePageFrom ? round_up(bytes, kHugePageBytes) : round_up(bytes, kPageBytes);
}

void advise_huge_pages(void* base, size_t bytes) {
  if (bytes >= kHugePageBytes) ::madvise(base, bytes, MADV_HUGEPAGE);
}

// Maps `bytes` of fresh memory; huge mappings start on a huge page boundary, which the kernel
// does not promise, so that every 2 MiB of them can be one huge page.
void* map_fresh(size_t bytes) {
  constexpr int kProtection = PROT_READ | PROT_WRITE;
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  if (bytes < kHugePageBytes) return ::mmap(nullptr, bytes, kProtection, kFlags, -1, 0);
  void* wide = ::mmap(nullptr, bytes + kHugePageBytes, kProtection, kFlags, -1, 0);
  if (wide == MAP_FAILED) return MAP_FAILED;
  const auto start = reinterpret_cast<uintptr_t>(wide);
  const uintptr_t aligned = round_up(start, kHugePageBytes);
  if (aligned > start) ::munmap(wide, aligned - start);
  const uintptr_t tail = aligned + bytes;
  const uintptr_t wide_end = start + bytes + kHugePageBytes;
  if (wide_end > tail) ::munmap(reinterpret_cast<void*>(tail), wide_end - tail);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

void populate_pages(void* start, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  if (start == nullptr) return;
  // In slices: only a fatal signal ends the request early, and on a busy virtual machine even
  // 64 MiB can take the kernel half a second, so a pending Ctrl-C is checked every 8 MiB.
  constexpr size_t kSliceBytes = size_t{8} << 20;
  auto* const begin = static_cast<char*>(start);
  for (size_t done = 0; done < bytes; done += kSliceBytes) {
    check_interrupt();
    ::madvise(begin + done, std::min(kSliceBytes, bytes - done), MADV_POPULATE_WRITE);
  }
#else
  static_cast<void>(start);
  static_cast<void>(bytes);
#endif
}

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
    base = map_fresh(new_bytes);
  } else {
    base = ::mremap(region_.base, region_.bytes, new_bytes, MREMAP_MAYMOVE);
  }
  if (base == MAP_FAILED) refuse_rows(rows, row_bytes, "a column", true);
  region_ = MappedRegion{base, new_bytes};
  advise_huge_pages(base, new_bytes);
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
