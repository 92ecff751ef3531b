// SectorReader must give exactly the outcomes of packet-by-packet 1-byte + 511-byte reads.
#include "packet/cwa_file.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <optional>
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

// Reads packet by packet with read_sector when `chunk` is 0, else through a SectorReader.
std::vector<Outcome> outcomes(const std::string& path, size_t skip, size_t chunk) {
  auto file = CwaFile::open(path);
  if (!file) return {file.error().display()};
  if (!file->seek(skip)) return {"seek failed"};
  std::array<uint8_t, kPacketBytes> buffer;
  std::optional<SectorReader> reader;
  if (chunk != 0) reader.emplace(*file, chunk);
  std::vector<Outcome> out;
  for (;;) {
    auto packet = reader ? reader->next() : read_sector(*file, buffer);
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
    const TempFile file(testing::prefix(full, length));
    const std::vector<Outcome> reference = outcomes(file.path(), kMetadataBytes, 0);
    const size_t whole = (length - kMetadataBytes) / kPacketBytes;
    ASSERT_EQ(reference.size(), whole + 1) << length;
    for (size_t i = 0; i < whole; ++i) {
      const size_t at = kMetadataBytes + i * kPacketBytes;
      EXPECT_EQ(reference[i], std::string(full.begin() + static_cast<std::ptrdiff_t>(at),
                                          full.begin() + static_cast<std::ptrdiff_t>(at + 512)));
    }
    EXPECT_EQ(reference.back(),
              (length - kMetadataBytes) % kPacketBytes == 0 ? "end" : testing::kShortRead)
        << length;
    for (size_t chunk : {size_t{512}, size_t{1000}, size_t{4096}, size_t{100}, size_t{1024}}) {
      EXPECT_EQ(outcomes(file.path(), kMetadataBytes, chunk), reference) << length << " " << chunk;
    }
  }
}

TEST(SectorReader, reports_read_errors_like_per_packet_reads) {
  const std::string directory = std::filesystem::temp_directory_path().string();
  const std::vector<Outcome> reference = outcomes(directory, 0, 0);
  ASSERT_EQ(reference, std::vector<Outcome>{"IO error: Is a directory (os error 21)"});
  EXPECT_EQ(outcomes(directory, 0, 4096), reference);
}

}  // namespace
}  // namespace velmora
