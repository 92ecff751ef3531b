// Anonymous memory mappings for the large buffers (read buffers, result columns): huge pages
// where they pay, and pages backed at once where the system offers it.
#pragma once

#include <cstddef>

namespace velmora {

inline constexpr size_t kPageBytes = 4096;
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

inline size_t round_up(size_t value, size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Maps `bytes` of fresh readable, writable memory, or returns nullptr. Mappings of a huge page
// or more start on a huge page boundary, which the kernel does not promise, and are offered huge
// pages, so that every 2 MiB of them can be one page: one fault and one page table entry
// instead of 512.
void* map_pages(size_t bytes) noexcept;

// Moves a mapping to a larger one and returns its new start, or nullptr (the old one then stays):
// Linux moves the pages themselves; elsewhere a fresh mapping takes a copy, which geometric
// growth keeps linear.
void* remap_pages(void* base, size_t old_bytes, size_t new_bytes) noexcept;

// Offers huge pages for a mapping of a huge page or more; nothing where the system has none.
void advise_huge_pages(void* start, size_t bytes) noexcept;

// Asks the kernel to back [start, start + bytes) with written pages in a few calls rather than
// one fault per page; a kernel without the request leaves them to the first write. Throws
// CallInterrupted when a signal ends the call meanwhile.
void populate_pages(void* start, size_t bytes);

}  // namespace velmora
