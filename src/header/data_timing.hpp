// The header-only scan of a file's data packets: first and last sample times and the sample
// total, without decoding any sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "header/cwa_header.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

struct DataTiming {
  std::optional<int64_t> first_sample_us;  // sample 0 of the first sample packet
  std::optional<int64_t> last_sample_us;   // last sample of the last sample packet
  uint64_t sample_total = 0;               // header sample counts of all sample packets

  friend bool operator==(const DataTiming&, const DataTiming&) = default;
};

// Accumulates DataTiming packet by packet with the continuity correction of sample times.
// A corrected start depends only on the packet's own bounds and the natural end of the packet
// before it, so only the first packet and the last two need their bounds computed.
class DataTimingScan {
 public:
  // Folds in one accepted packet.
  void add(const PacketMeta& meta);
  // Returns the timing of the packets added so far.
  DataTiming finish() const;

 private:
  std::optional<int64_t> first_sample_us_;
  // The latest two sample packets, the latest at (accepted_ - 1) % 2. Written in place rather
  // than shifted, which keeps the per-packet work to plain stores.
  PacketMeta latest_[2] = {};
  uint64_t accepted_ = 0;
  uint64_t sample_total_ = 0;
};

// What read_metadata reports: the metadata block and the timing of the data packets.
struct FileMetadata {
  CwaHeader header;
  DataTiming timing;
};

// Reads the header, then scans the data packets.
Result<FileMetadata> read_file_metadata(std::string_view file_path);

// Scans every packet after the metadata block; `chunk_bytes` sizes the reads.
Result<DataTiming> scan_data_timing(std::string_view file_path,
                                    size_t chunk_bytes = SectorReader::kDefaultChunkBytes);

}  // namespace velmora
