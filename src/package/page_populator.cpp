// Helper-thread page population for output columns.
#include "package/page_populator.hpp"

#include <algorithm>
#include <stop_token>

#include "package/column.hpp"

namespace velmora {

namespace {

using Ranges = std::array<PageRange, PagePopulator::kMaxRanges>;

// Walks the ranges a chunk of each at a time until all are done or a stop is requested.
void populate_interleaved(const Ranges& ranges, size_t count, std::stop_token stop) {
  for (size_t offset = 0;; offset += PagePopulator::kChunkBytes) {
    bool any = false;
    for (size_t i = 0; i < count; ++i) {
      if (stop.stop_requested()) return;
      const PageRange& range = ranges[i];
      if (offset >= range.bytes) continue;
      any = true;
      populate_pages(static_cast<char*>(range.start) + offset,
                     std::min(PagePopulator::kChunkBytes, range.bytes - offset));
    }
    if (!any) return;
  }
}

}  // namespace

void PagePopulator::start(std::span<const PageRange> ranges) noexcept {
  stop();
  Ranges taken{};
  size_t count = 0;
  size_t total = 0;
  for (const PageRange& range : ranges) {
    if (count == kMaxRanges) break;
    if (range.start == nullptr || range.bytes == 0) continue;
    taken[count++] = range;
    total += range.bytes;
  }
  if (total >= kThreadMinBytes) {
    try {
      helper_ = std::jthread(
          [taken, count](std::stop_token token) { populate_interleaved(taken, count, token); });
      return;
    } catch (...) {
      // No thread to be had: fall through and do the work here.
    }
  }
  populate_interleaved(taken, count, std::stop_token{});
}

void PagePopulator::stop() noexcept {
  if (!helper_.joinable()) return;
  helper_.request_stop();
  helper_.join();
}

void PagePopulator::wait() noexcept {
  if (helper_.joinable()) helper_.join();
}

}  // namespace velmora
