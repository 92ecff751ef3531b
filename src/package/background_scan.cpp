// BackgroundScan: a walk over the later data packets on a helper thread.
#include "package/background_scan.hpp"

#include <system_error>
#include <utility>

#include "packet/packet_walk.hpp"

namespace velmora {

std::unique_ptr<BackgroundScan> BackgroundScan::start(const CwaFile& file, uint64_t first_block,
                                                      uint64_t block_count) {
  Result<CwaFile> second = file.reopen();
  if (!second) return nullptr;
  auto scan = std::make_unique<BackgroundScan>(std::move(*second), first_block, block_count);
  try {
    scan->helper_ = std::jthread([raw = scan.get()] { raw->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return scan;
}

BackgroundScan::BackgroundScan(CwaFile file, uint64_t first_block, uint64_t block_count)
    : file_(std::move(file)), first_block_(first_block), block_count_(block_count) {
  // Every block may be a sample packet; with the room taken here the helper cannot run out.
  packets_.reserve(block_count);
}

void BackgroundScan::run() noexcept {
  try {
    if (!file_.seek(kMetadataBytes + first_block_ * kPacketBytes)) return;
    reached_ = true;
    SectorReader reader(file_);
    status_ = walk_sample_packets(reader, block_count_, [&](uint64_t block, const uint8_t* packet) {
      packets_.push_back({first_block_ + block, accepted_packet_meta(packet)});
    });
  } catch (...) {
    thrown_ = std::current_exception();
  }
}

bool BackgroundScan::finish() {
  if (helper_.joinable()) helper_.join();
  if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
  return reached_;
}

}  // namespace velmora
