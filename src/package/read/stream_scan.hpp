// The header facts and the block scan of a recording that arrives as a stream of bytes (an
// unpacked .cwa.gz), taken in one pass: what read_metadata, sampling_consistency_report and the
// block scan give for a file holding the same bytes, without that file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "errors/cwa_error.hpp"
#include "header/cwa_header.hpp"
#include "header/data_timing.hpp"
#include "package/read/block_scan.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

struct StreamFacts {
  Result<CwaHeader> header;       // as read_cwa_header gives it
  Result<FileMetadata> metadata;  // as read_file_metadata gives it
  Result<BlockScan> blocks;       // as scan_blocks gives it
};

// Takes the bytes in any chunking. Holds the metadata block, one partial block and the scan's
// records, never the stream.
class StreamScan {
 public:
  // Takes the next bytes of the stream.
  void feed(std::span<const uint8_t> bytes);
  // Ends the stream and returns the facts of all the bytes fed.
  StreamFacts finish() &&;

 private:
  void take_block(const uint8_t* packet);

  std::array<uint8_t, kMetadataBytes> metadata_{};
  size_t metadata_bytes_ = 0;  // of metadata_ filled so far
  std::array<uint8_t, kPacketBytes> partial_{};
  size_t partial_bytes_ = 0;  // of a block that the chunks so far have only begun
  uint64_t total_bytes_ = 0;
  // The metadata block starts with "MD". Otherwise every result is an error whatever follows,
  // so the blocks are not looked at (but still counted, as a file's size would be).
  bool starts_as_cwa_ = false;
  BlockScanner blocks_;
  DataTimingScan timing_;
  // The first failing header check: the metadata walk stops there, the block scan goes on.
  std::optional<CwaError> timing_error_;
};

}  // namespace velmora
