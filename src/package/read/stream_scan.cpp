// One pass over a streamed recording: every whole block goes through the header check once, and
// its verdict feeds both the block scan and the metadata's data timing.
#include "package/read/stream_scan.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "errors/messages.hpp"

namespace velmora {

namespace {

// Copies what fits of `bytes` into the rest of `into` and drops it from `bytes`.
size_t fill(std::span<uint8_t> into, size_t filled, std::span<const uint8_t>& bytes) {
  const size_t taken = std::min(into.size() - filled, bytes.size());
  if (taken > 0) std::memcpy(into.data() + filled, bytes.data(), taken);
  bytes = bytes.subspan(taken);
  return filled + taken;
}

CwaError short_read() { return CwaError::io(CwaError::IoKind::kUnexpectedEof); }

}  // namespace

void StreamScan::feed(std::span<const uint8_t> bytes) {
  total_bytes_ += bytes.size();
  if (metadata_bytes_ < kMetadataBytes) {
    metadata_bytes_ = fill(metadata_, metadata_bytes_, bytes);
    if (metadata_bytes_ < kMetadataBytes) return;
    starts_as_cwa_ = starts_metadata_block(metadata_.data());
  }
  if (!starts_as_cwa_) return;
  if (partial_bytes_ > 0) {
    partial_bytes_ = fill(partial_, partial_bytes_, bytes);
    if (partial_bytes_ < kPacketBytes) return;
    take_block(partial_.data());
    partial_bytes_ = 0;
  }
  for (; bytes.size() >= kPacketBytes; bytes = bytes.subspan(kPacketBytes)) {
    take_block(bytes.data());
  }
  partial_bytes_ = fill(partial_, 0, bytes);
}

void StreamScan::take_block(const uint8_t* packet) {
  const PacketVerdict verdict = check_packet(packet);
  blocks_.add(packet, verdict);
  if (timing_error_) return;
  if (verdict == PacketVerdict::kSamples) {
    timing_.add(accepted_packet_meta(packet));
  } else if (verdict != PacketVerdict::kSkip) {
    timing_error_ = packet_error(verdict, packet[packet_offset::kSampleFormat]);
  }
}

StreamFacts StreamScan::finish() && {
  // The checks in the order the file functions make them, each with its text.
  Result<CwaHeader> header = metadata_bytes_ < kMetadataBytes
                                 ? Result<CwaHeader>(std::unexpected(short_read()))
                                 : parse_cwa_header(metadata_);
  Result<FileMetadata> metadata = std::unexpected(short_read());
  if (!header) {
    metadata = std::unexpected(header.error());
  } else if (timing_error_) {
    metadata = std::unexpected(*timing_error_);
  } else if (partial_bytes_ == 0) {
    metadata = FileMetadata{*header, timing_.finish()};
  }
  Result<BlockScan> blocks = std::unexpected(short_read());
  if (total_bytes_ >= 2 && !starts_metadata_block(metadata_.data())) {
    blocks = fail(ErrorCode::kNotValidCwaFile);
  } else if (total_bytes_ >= 2 && total_bytes_ < kMetadataBytes) {
    blocks = fail(ErrorCode::kFileTooSmall);
  } else if (total_bytes_ >= kMetadataBytes) {
    blocks = std::move(blocks_).finish(total_bytes_);
  }
  return StreamFacts{std::move(header), std::move(metadata), std::move(blocks)};
}

}  // namespace velmora
