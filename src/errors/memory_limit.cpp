// The physical memory bound of column growth and the text of its MemoryError.
#include "errors/memory_limit.hpp"

#include <unistd.h>

#include <cstdio>
#include <limits>

namespace velmora {

size_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_bytes = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_bytes <= 0) return std::numeric_limits<size_t>::max();
  const auto page_count = static_cast<size_t>(pages);
  const auto page_size = static_cast<size_t>(page_bytes);
  if (page_count > std::numeric_limits<size_t>::max() / page_size) {
    return std::numeric_limits<size_t>::max();
  }
  return page_count * page_size;
}

void refuse_rows(size_t rows, size_t row_bytes, const char* what, bool refused) {
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  const double asked = static_cast<double>(rows) * static_cast<double>(row_bytes) / kGiB;
  char text[256];
  if (refused) {
    std::snprintf(text, sizeof text,
                  "Cannot hold %zu rows of %zu bytes (%.1f GiB) in %s: the system refused the "
                  "memory",
                  rows, row_bytes, asked, what);
  } else {
    std::snprintf(text, sizeof text,
                  "Cannot hold %zu rows of %zu bytes (%.1f GiB) in %s: more than this machine's "
                  "%.1f GiB of physical memory",
                  rows, row_bytes, asked, what,
                  static_cast<double>(physical_memory_bytes()) / kGiB);
  }
  throw MemoryLimitExceeded(text);
}

}  // namespace velmora
