// Helper-thread page population for output columns.
#include "package/page_populator.hpp"

#include <algorithm>
#include <stop_token>

#include "package/column.hpp"

namespace velmora {

namespace {

using Ranges = std::array<PageRange, PagePopulator::kMaxRanges>;

// Requests must start on a page; huge pages are the largest kind a column gets.
constexpr size_t kShareAlignment = size_t{2} << 20;

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

// Walks the ranges in steps of at most kChunkBytes of the largest one and the same share of each
// other, so that all reach the same row at about the same time, until done or asked to stop.
void populate_interleaved(const Ranges& ranges, size_t count, std::stop_token stop) {
  size_t largest = 0;
  for (size_t i = 0; i < count; ++i) largest = std::max(largest, ranges[i].bytes);
  const size_t steps = (largest + PagePopulator::kChunkBytes - 1) / PagePopulator::kChunkBytes;
  for (size_t step = 0; step < steps; ++step) {
    for (size_t i = 0; i < count; ++i) {
      if (stop.stop_requested()) return;
      const PageRange& range = ranges[i];
      const size_t share = round_up((range.bytes + steps - 1) / steps, kShareAlignment);
      const size_t from = std::min(range.bytes, step * share);
      const size_t to = std::min(range.bytes, from + share);
      if (to > from) populate_pages(static_cast<char*>(range.start) + from, to - from);
    }
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
