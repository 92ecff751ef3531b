// BackgroundScan: a walk over the later data packets on a helper thread.
#include "packet/background_scan.hpp"

#include <system_error>
#include <utility>

#include "packet/packet_walk.hpp"

namespace velmora {

std::unique_ptr<BackgroundScan> BackgroundScan::start(const CwaFile& file, uint64_t first_block,
                                                      std::optional<uint64_t> block_count,
                                                      Visit visit) {
  Result<CwaFile> second = file.reopen();
  if (!second) return nullptr;
  auto scan = std::make_unique<BackgroundScan>(std::move(*second), first_block, block_count,
                                               std::move(visit));
  try {
    scan->helper_ = std::jthread([raw = scan.get()] { raw->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return scan;
}

BackgroundScan::BackgroundScan(CwaFile file, uint64_t first_block,
                               std::optional<uint64_t> block_count, Visit visit)
    : file_(std::move(file)),
      first_block_(first_block),
      block_count_(block_count),
      visit_(std::move(visit)) {}

void BackgroundScan::run() noexcept {
  try {
    if (!file_.seek(kMetadataBytes + first_block_ * kPacketBytes)) return;
    reached_ = true;
    SectorReader reader(file_);
    status_ = walk_sample_packets(reader, block_count_, [this](uint64_t block, const uint8_t* p) {
      visit_(first_block_ + block, accepted_packet_meta(p));
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
