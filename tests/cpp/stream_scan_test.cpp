// A streamed recording must give what the file functions give for a file of the same bytes,
// whatever the chunks it arrives in and wherever it ends.
#include "package/read/stream_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "cwa_builder.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::TempFile;

// Packets 0 to 5: data, one skipped (no samples), one damaged (no timestamp), data.
Bytes damaged_file() {
  testing::FileBuilder file = testing::file_of(6);
  file.blocks[2] = testing::empty_packet().bytes();
  testing::PacketBuilder no_time = testing::packet_at(4);
  no_time.timestamp = 0;
  file.blocks[4] = no_time.bytes();
  return file.bytes();
}

StreamFacts streamed(const Bytes& bytes, size_t chunk_bytes) {
  StreamScan scan;
  for (size_t at = 0; at < bytes.size(); at += chunk_bytes) {
    scan.feed(std::span(bytes).subspan(at, std::min(chunk_bytes, bytes.size() - at)));
  }
  return std::move(scan).finish();
}

void expect_same_scan(const Result<BlockScan>& stream, const Result<BlockScan>& file) {
  ASSERT_EQ(testing::error_text(stream), testing::error_text(file));
  if (!file) return;
  EXPECT_EQ(stream->file_bytes, file->file_bytes);
  EXPECT_EQ(stream->reasons, file->reasons);
  ASSERT_EQ(stream->blocks.size(), file->blocks.size());
  if (file->blocks.empty()) return;  // no records, and no memory to compare
  EXPECT_EQ(std::memcmp(stream->blocks.data(), file->blocks.data(),
                        file->blocks.size() * sizeof(ScannedBlock)),
            0);
}

void expect_same_facts(const Bytes& bytes) {
  const TempFile file(bytes);
  const Result<FileMetadata> metadata = read_file_metadata(file.path());
  const Result<CwaHeader> header = read_cwa_header(file.path());
  const Result<BlockScan> blocks = scan_blocks(file.path());
  for (size_t chunk_bytes : {size_t{1}, size_t{7}, size_t{513}, size_t{1} << 20}) {
    SCOPED_TRACE(chunk_bytes);
    const StreamFacts stream = streamed(bytes, chunk_bytes);
    ASSERT_EQ(testing::error_text(stream.metadata), testing::error_text(metadata));
    if (metadata) {
      EXPECT_EQ(stream.metadata->timing, metadata->timing);
      EXPECT_EQ(stream.metadata->header.device_id, metadata->header.device_id);
    }
    ASSERT_EQ(testing::error_text(stream.header), testing::error_text(header));
    if (header) {
      EXPECT_EQ(stream.header->accel_range, header->accel_range);
    }
    expect_same_scan(stream.blocks, blocks);
  }
}

TEST(stream_scan, equals_the_file_functions_at_every_length_in_any_chunks) {
  Bytes not_utf8 = testing::file_of(2).bytes();
  not_utf8[0] = 0xFF;
  for (const Bytes& whole : {damaged_file(), testing::file_of(3).bytes(), not_utf8}) {
    for (size_t length = 0; length <= whole.size(); ++length) {
      SCOPED_TRACE(length);
      expect_same_facts(testing::prefix(whole, length));
    }
  }
}

}  // namespace
}  // namespace velmora
