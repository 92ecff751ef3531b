// Packet header checks and natural bounds.
#include "packet/packet_meta.hpp"

#include <gtest/gtest.h>

#include "cwa_builder.hpp"
#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::kJan2020;
using testing::kJan2020Unix;
using testing::PacketBuilder;

Result<std::optional<PacketMeta>> meta_of(const PacketBuilder& builder) {
  const Bytes bytes = builder.bytes();
  return packet_meta(PacketBytes(bytes.data(), kPacketBytes));
}

std::string error_of(const PacketBuilder& builder) {
  auto result = meta_of(builder);
  return result ? std::string("<no error>") : result.error().display();
}

PacketBounds bounds_of(const PacketBuilder& builder) {
  auto result = meta_of(builder);
  EXPECT_TRUE(result && result->has_value());
  return (*result)->natural_bounds();
}

TEST(packet_meta, skips_non_sample_packets_before_any_check) {
  PacketBuilder metadata_like;
  metadata_like.header[0] = 'M';
  metadata_like.header[1] = 'D';
  PacketBuilder empty;
  empty.sample_count = 0;
  empty.rate_code = 0;
  empty.timestamp = 0xFFFFFFFF;
  for (const PacketBuilder& builder : {metadata_like, empty}) {
    auto result = meta_of(builder);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->has_value());
  }
}

TEST(packet_meta, rejects_rate_code_zero_before_format) {
  PacketBuilder packet;
  packet.rate_code = 0;
  packet.sample_format = 0x31;
  EXPECT_EQ(error_of(packet), msg::kOldFormatPackets);
}

TEST(packet_meta, names_unsupported_formats_by_nibbles) {
  PacketBuilder packet;
  packet.sample_format = 0x31;
  EXPECT_EQ(error_of(packet), "Unsupported sample format: 3 axes, packing 1");
  packet.sample_format = 0x60;
  EXPECT_EQ(error_of(packet), "Unsupported sample format: 6 axes, packing 0");
}

TEST(packet_meta, limits_sample_count_to_capacity) {
  PacketBuilder packet;
  packet.sample_count = 120;
  EXPECT_TRUE(meta_of(packet));
  packet.sample_count = 121;
  EXPECT_EQ(error_of(packet), msg::kSampleCountExceedsCapacity);
  packet.sample_format = 0x92;
  packet.sample_count = 26;
  EXPECT_TRUE(meta_of(packet));
  packet.sample_count = 27;
  EXPECT_EQ(error_of(packet), msg::kSampleCountExceedsCapacity);
}

TEST(packet_meta, rejects_unset_and_impossible_block_timestamps) {
  PacketBuilder packet;
  for (uint32_t timestamp :
       {0u, 0xFFFFFFFFu, testing::pack_time(2020, 2, 30), testing::pack_time(2020, 1, 1, 0, 60)}) {
    packet.timestamp = timestamp;
    EXPECT_EQ(error_of(packet), msg::kInvalidBlockTimestamp);
  }
}

TEST(natural_bounds, whole_second_packet) {
  const PacketBounds bounds = bounds_of(PacketBuilder{});
  EXPECT_EQ(bounds.start, 1577836800.0);
  EXPECT_EQ(bounds.end, 1577836801.2);
}

TEST(natural_bounds, positive_offset_moves_start_back) {
  PacketBuilder packet;
  packet.timestamp_offset = 50;
  const PacketBounds bounds = bounds_of(packet);
  EXPECT_EQ(bounds.start, 1577836799.5);
  EXPECT_EQ(bounds.end, 1577836800.7);
}

TEST(natural_bounds, negative_offset_uses_float_fraction) {
  PacketBuilder packet;
  packet.timestamp_offset = -30;
  const PacketBounds bounds = bounds_of(packet);
  EXPECT_EQ(bounds.start, static_cast<double>(0.3f) + static_cast<double>(kJan2020Unix));
  EXPECT_EQ(bounds.start, 1577836800.3);
  EXPECT_EQ(bounds.end, 1577836801.5);
}

TEST(natural_bounds, faults_on_unvalidated_timestamp) {
  const PacketMeta meta{
      .sample_count = 1, .timestamp = 0, .timestamp_offset = 0, .sample_rate_code = 0x4A};
  EXPECT_THROW(meta.natural_bounds(), InternalFault);
}

}  // namespace
}  // namespace velmora
