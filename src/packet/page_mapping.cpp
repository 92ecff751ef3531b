// Anonymous mappings: aligned huge-page mappings, and the Linux-only advice guarded so that other
// POSIX systems build without it.
#include "packet/page_mapping.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "errors/interrupt.hpp"

// C library headers before glibc 2.35 (manylinux images) lack the name of the kernel's advice;
// a kernel before 5.14 refuses it, which costs only the prefaulting.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

namespace velmora {

void* map_pages(size_t bytes) noexcept {
  constexpr int kProtection = PROT_READ | PROT_WRITE;
#ifdef MAP_NORESERVE
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
#else
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
#endif
  if (bytes < kHugePageBytes) {
    void* base = ::mmap(nullptr, bytes, kProtection, kFlags, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
  }
  // A huge page more than asked for, trimmed to the aligned run inside it.
  void* wide = ::mmap(nullptr, bytes + kHugePageBytes, kProtection, kFlags, -1, 0);
  if (wide == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(wide);
  const uintptr_t aligned = round_up(start, kHugePageBytes);
  if (aligned > start) ::munmap(wide, aligned - start);
  const uintptr_t tail = aligned + bytes;
  const uintptr_t wide_end = start + bytes + kHugePageBytes;
  if (wide_end > tail) ::munmap(reinterpret_cast<void*>(tail), wide_end - tail);
  void* base = reinterpret_cast<void*>(aligned);
  advise_huge_pages(base, bytes);
  return base;
}

void* remap_pages(void* base, size_t old_bytes, size_t new_bytes) noexcept {
#if defined(__linux__)
  void* moved = ::mremap(base, old_bytes, new_bytes, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  advise_huge_pages(moved, new_bytes);
  return moved;
#else
  void* fresh = map_pages(new_bytes);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, base, old_bytes);
  ::munmap(base, old_bytes);
  return fresh;
#endif
}

void advise_huge_pages(void* start, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes >= kHugePageBytes) ::madvise(start, bytes, MADV_HUGEPAGE);
#else
  static_cast<void>(start);
  static_cast<void>(bytes);
#endif
}

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

}  // namespace velmora
