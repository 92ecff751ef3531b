// Faults output pages in on a helper thread, so that the kernel's zeroing of fresh memory runs
// beside the work that fills the pages instead of inside it.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <thread>

namespace velmora {

// Memory that will be written soon: a column's reserved rows.
struct PageRange {
  void* start = nullptr;
  size_t bytes = 0;
};

class PagePopulator {
 public:
  // Enough for the timestamps and every sensor column.
  static constexpr size_t kMaxRanges = 16;
  // Below this many bytes in all, a thread costs more than it saves.
  static constexpr size_t kThreadMinBytes = size_t{32} << 20;
  // Bytes of the largest range requested before moving to the next range, so that the rows
  // written first are faulted in first in every column.
  static constexpr size_t kChunkBytes = size_t{4} << 20;

  PagePopulator() = default;
  PagePopulator(const PagePopulator&) = delete;
  PagePopulator& operator=(const PagePopulator&) = delete;
  ~PagePopulator() { stop(); }

  // Starts faulting the ranges in, replacing any earlier request. Small requests, and any when
  // no thread can be started, are done before returning. At most kMaxRanges ranges are taken.
  void start(std::span<const PageRange> ranges) noexcept;
  // Returns once the helper has let go of the ranges. Call it before any of them is remapped
  // or unmapped: faulting in an address that has meanwhile been mapped to something else would
  // commit memory nobody asked for.
  void stop() noexcept;
  // Returns once every range has been faulted in.
  void wait() noexcept;

 private:
  std::jthread helper_;
};

}  // namespace velmora
