// Fuzz target: plan resolution, the column reader and the time filter on any bytes. Also checks
// that the column reader agrees with the per-sample PacketStream path and keeps its invariants,
// and that the block scan names every block a read could fail on.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "errors/messages.hpp"
#include "fuzz_support.hpp"
#include "package/pipeline/read_pipeline.hpp"
#include "package/read/block_scan.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "package/read/read_plan.hpp"
#include "package/read/reader.hpp"
#include "package/read/time_filter.hpp"
#include "packet/block_mask.hpp"

namespace {

using namespace velmora;
using namespace velmora::fuzz;

// Checks the row invariants of a result: equal lengths, at least one row.
void check_shape(const CwaDataResult& data) {
  check(data.rows() > 0);
  check_equal_lengths(data);
}

// Replays the read through PacketStream and checks every timestamp and accelerometer value.
void check_against_stream(const std::string& path, BlockSelection selection,
                          const CwaDataResult& data) {
  auto opened = open_cwa_data_blocks(path, selection);
  check(opened.has_value());
  PacketStream stream(std::move(*opened), ChannelSelection{});
  size_t row = 0;
  for (;;) {
    auto packet = stream.next();
    check(packet.has_value());
    if (*packet == nullptr) break;
    for (size_t i = 0; i < (*packet)->count; ++i, ++row) {
      check(row < data.rows());
      check(data.timestamps[row] == (*packet)->timestamps[i]);
      check(std::bit_cast<uint32_t>((*data.acc_x)[row]) ==
            std::bit_cast<uint32_t>((*packet)->values[axis_slot("acc_x")][i]));
      check(std::bit_cast<uint32_t>((*data.acc_z)[row]) ==
            std::bit_cast<uint32_t>((*packet)->values[axis_slot("acc_z")][i]));
    }
  }
  check(row == data.rows());
}

void read_and_filter(const std::string& path, const CutConfig& cut) {
  auto plan = resolve_read_plan(path, cut);
  if (!plan) return;
  const BlockSelection selection = plan->block_selection();
  auto data = read_cwa_data(path, selection, ChannelSelection{});
  if (!data) return;
  check_shape(*data);
  check_against_stream(path, selection, *data);
  auto filtered =
      filter_data_by_time_range(std::move(*data), plan->range_start_time, plan->range_end_time);
  if (filtered) check_shape(*filtered);
  // The entry point takes the same steps.
  ReadRequest request;
  request.file_path = path;
  request.cut = cut;
  auto read = read_cwa_file(request);
  check(read.has_value() == filtered.has_value());
  if (read) check(read->data.rows() == filtered->rows());
}

// With every damaged block masked and the partial tail cut off, no read fails on a block.
void scan_and_salvage(const std::string& path, size_t size) {
  auto scan = scan_blocks(path, 4096);
  if (!scan) return;
  const size_t blocks = scan->blocks.size();
  check(blocks == (size - kMetadataBytes + kPacketBytes - 1) / kPacketBytes);
  std::vector<uint64_t> damaged;
  for (size_t block = 0; block < blocks; ++block) {
    const ScannedBlock& found = scan->blocks[block];
    const auto kind = static_cast<BlockKind>(found.kind);
    check(kind <= BlockKind::kTruncated);
    check((kind == BlockKind::kTruncated) == (block + 1 == blocks && size % kPacketBytes != 0));
    check((found.reason != 0) == (kind == BlockKind::kDamaged));
    check(found.reason <= scan->reasons.size());
    if (kind == BlockKind::kDamaged) damaged.push_back(block);
    if (kind == BlockKind::kData) check(found.start_us <= found.end_us);
  }
  const BlockMask mask(std::move(damaged), size - (size - kMetadataBytes) % kPacketBytes);
  const BlockMaskScope scope(mask);
  auto data = read_cwa_data(path, {}, ChannelSelection{});
  if (data) {
    check_shape(*data);
  } else {
    // Only a file without any data packet left may fail.
    const std::string text = data.error().display();
    check(text == velmora::error_text(ErrorCode::kNoSampleDataInRange) ||
          text == velmora::error_text(ErrorCode::kStartBlockBeyondFile));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemoryFile file(data, size);
  if (!file.ok()) return 0;
  const std::string path = file.path();
  scan_and_salvage(path, size);
  read_and_filter(path, WholeCut{});
  read_and_filter(path, SecondsCut{});
  read_and_filter(path, SecondsCut{0.5, 2.0});
  read_and_filter(path, SecondsCut{0.0, std::nullopt});
  read_and_filter(path, BlocksCut{1, 3});
  // Without magnetometer and readings the optional columns follow the packets alone.
  auto bare = read_cwa_data(path, {}, ChannelSelection{false, false, false, false});
  if (bare) {
    check_shape(*bare);
    check(!bare->mag_x && !bare->temperature && !bare->light && !bare->battery);
  }
  return 0;
}
