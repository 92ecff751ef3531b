// SectorReader must give exactly the outcomes of packet-by-packet 1-byte + 511-byte reads.
#include "packet/cwa_file.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "cwa_builder.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::PacketBuilder;
using testing::TempFile;

// One step of a packet loop: the packet bytes, "end", or the error text.
using Outcome = std::string;

std::vector<Outcome> outcomes_by_read_sector(const std::string& path, size_t skip) {
  std::vector<Outcome> out;
  auto file = CwaFile::open(path);
  if (!file) return {file.error().display()};
  if (!file->seek(skip)) return {"seek failed"};
  std::array<uint8_t, kPacketBytes> buffer;
  for (;;) {
    auto packet = read_sector(*file, buffer);
    if (!packet) {
      out.push_back(packet.error().display());
      return out;
    }
    if (!*packet) {
      out.push_back("end");
      return out;
    }
    out.emplace_back((*packet)->begin(), (*packet)->end());
  }
}

std::vector<Outcome> outcomes_by_sector_reader(const std::string& path, size_t skip, size_t chunk) {
  std::vector<Outcome> out;
  auto file = CwaFile::open(path);
  if (!file) return {file.error().display()};
  if (!file->seek(skip)) return {"seek failed"};
  SectorReader reader(*file, chunk);
  for (;;) {
    auto packet = reader.next();
    if (!packet) {
      out.push_back(packet.error().display());
      return out;
    }
    if (!*packet) {
      out.push_back("end");
      return out;
    }
    out.emplace_back((*packet)->begin(), (*packet)->end());
  }
}

Bytes small_file() {
  FileBuilder builder;
  for (uint32_t i = 0; i < 5; ++i) {
    PacketBuilder packet;
    packet.sequence_id = i;
    for (size_t s = 0; s < 120; ++s) packet.packed_sample(s, static_cast<uint32_t>(i * 1000 + s));
    builder.add(packet);
  }
  return builder.bytes();
}

TEST(SectorReader, matches_per_packet_reads_for_every_truncation_and_chunk_size) {
  const Bytes full = small_file();
  for (size_t length = kMetadataBytes; length <= full.size(); ++length) {
    // A fresh file each time: rewriting a truncated file forces a flush on some filesystems.
    const TempFile file(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
    const std::vector<Outcome> reference = outcomes_by_read_sector(file.path(), kMetadataBytes);
    const size_t whole = (length - kMetadataBytes) / kPacketBytes;
    ASSERT_EQ(reference.size(), whole + 1) << length;
    EXPECT_EQ(reference.back(), (length - kMetadataBytes) % kPacketBytes == 0
                                    ? "end"
                                    : "IO error: failed to fill whole buffer")
        << length;
    for (size_t chunk : {size_t{512}, size_t{1000}, size_t{4096}, size_t{100}}) {
      EXPECT_EQ(outcomes_by_sector_reader(file.path(), kMetadataBytes, chunk), reference)
          << length << " " << chunk;
    }
  }
}

TEST(SectorReader, returns_packets_in_file_order) {
  const Bytes full = small_file();
  const TempFile file(full);
  const std::vector<Outcome> packets = outcomes_by_sector_reader(file.path(), 0, 1000);
  ASSERT_EQ(packets.size(), 2 + 5 + 1);  // the metadata block reads as two sectors
  for (size_t i = 0; i + 1 < packets.size(); ++i) {
    EXPECT_EQ(packets[i], std::string(full.begin() + static_cast<std::ptrdiff_t>(i * 512),
                                      full.begin() + static_cast<std::ptrdiff_t>(i * 512 + 512)));
  }
}

TEST(SectorReader, reports_read_errors_like_per_packet_reads) {
  const std::string directory = std::filesystem::temp_directory_path().string();
  const std::vector<Outcome> reference = outcomes_by_read_sector(directory, 0);
  ASSERT_EQ(reference, std::vector<Outcome>{"IO error: Is a directory (os error 21)"});
  EXPECT_EQ(outcomes_by_sector_reader(directory, 0, 4096), reference);
}

}  // namespace
}  // namespace velmora
