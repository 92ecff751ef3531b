// A walk over the data packets of a file's later blocks on a helper thread, while the calling
// thread walks the earlier ones: a pass over every packet header then costs about half the time.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "errors/cwa_error.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

// Files of at least this many blocks have their packet headers read by two threads.
inline constexpr uint64_t kSplitScanMinBlocks = uint64_t{1} << 14;

class BackgroundScan {
 public:
  // Called on the helper thread for every sample packet, in block order.
  using Visit = std::function<void(uint64_t block, const PacketMeta& meta)>;

  // Starts walking the file's data from block `first_block` on a second descriptor of it:
  // `block_count` blocks, or to a clean end of the file without one. Null when no descriptor
  // or thread can be had; the caller then reads those blocks itself.
  static std::unique_ptr<BackgroundScan> start(const CwaFile& file, uint64_t first_block,
                                               std::optional<uint64_t> block_count, Visit visit);

  BackgroundScan(CwaFile file, uint64_t first_block, std::optional<uint64_t> block_count,
                 Visit visit);
  BackgroundScan(const BackgroundScan&) = delete;
  BackgroundScan& operator=(const BackgroundScan&) = delete;

  // Waits for the walk and rethrows what the helper threw. Returns false when the helper could
  // not reach its blocks, which the caller then reads itself; else status() is the walk's, the
  // failure that ended it if any.
  bool finish();
  Status& status() { return status_; }

 private:
  void run() noexcept;

  CwaFile file_;
  uint64_t first_block_;
  std::optional<uint64_t> block_count_;
  Visit visit_;
  Status status_;
  bool reached_ = false;
  std::exception_ptr thrown_;
  std::jthread helper_;  // declared last: joined before the rest goes
};

}  // namespace velmora
