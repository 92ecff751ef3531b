// The data packets of the later blocks of a file, read on a helper thread while the calling
// thread reads the earlier ones: a pass over every packet header then costs about half the time.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "errors/cwa_error.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

// A sample packet as the walk accepted it.
struct ScannedPacket {
  uint64_t block;
  PacketMeta meta;
};

class BackgroundScan {
 public:
  // Starts walking blocks [first_block, first_block + block_count) of the file's data on a
  // second descriptor; null when none can be had or no thread started (the caller then reads
  // them itself). Throws std::bad_alloc when the room for the packets cannot be had.
  static std::unique_ptr<BackgroundScan> start(const CwaFile& file, uint64_t first_block,
                                               uint64_t block_count);

  BackgroundScan(CwaFile file, uint64_t first_block, uint64_t block_count);
  BackgroundScan(const BackgroundScan&) = delete;
  BackgroundScan& operator=(const BackgroundScan&) = delete;

  // Waits for the walk and rethrows what the helper threw. Returns false when the helper could
  // not reach the blocks, which the caller then reads itself; else the accepted packets are in
  // packets(), in block order, and status() is the walk's: the failure that ended it, if any.
  bool finish();
  std::span<const ScannedPacket> packets() const { return packets_; }
  Status& status() { return status_; }

 private:
  void run() noexcept;

  CwaFile file_;
  uint64_t first_block_;
  uint64_t block_count_;
  std::vector<ScannedPacket> packets_;
  Status status_;
  bool reached_ = false;
  std::exception_ptr thrown_;
  std::jthread helper_;  // declared last: joined before the rest goes
};

}  // namespace velmora
