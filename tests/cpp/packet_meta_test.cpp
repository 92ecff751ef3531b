// Packet header checks and natural bounds.
#include "packet/packet_meta.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "cwa_builder.hpp"
#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::kJan2020Unix;
using testing::PacketBuilder;

Result<std::optional<PacketMeta>> meta_of(const PacketBuilder& builder) {
  const Bytes bytes = builder.bytes();
  return packet_meta(PacketBytes(bytes.data(), kPacketBytes));
}

TEST(packet_meta, skips_non_sample_packets_before_any_check) {
  PacketBuilder metadata_like;
  metadata_like.header[0] = 'M';
  metadata_like.header[1] = 'D';
  PacketBuilder empty = testing::empty_packet();
  empty.rate_code = 0;
  empty.timestamp = 0xFFFFFFFF;
  for (const PacketBuilder& builder : {metadata_like, empty}) {
    auto result = meta_of(builder);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->has_value());
  }
}

TEST(packet_meta, rejects_a_minute_of_60_and_accepts_full_packets) {
  PacketBuilder packet;
  packet.timestamp = testing::pack_time(2020, 1, 1, 0, 60);
  EXPECT_EQ(testing::error_text(meta_of(packet)),
            velmora::error_text(ErrorCode::kInvalidBlockTimestamp));
  packet.timestamp = testing::kJan2020;
  EXPECT_TRUE(meta_of(packet));
  packet.sample_format = 0x92;
  packet.sample_count = 26;
  EXPECT_TRUE(meta_of(packet));
}

TEST(natural_bounds, places_the_block_timestamp_at_the_offset) {
  const struct {
    int16_t offset;
    double start, end;
  } cases[] = {
      {0, 1577836800.0, 1577836801.2},
      {50, 1577836799.5, 1577836800.7},
      // The fraction is a float32: 0.3f widened, not 0.3.
      {-30, static_cast<double>(0.3f) + static_cast<double>(kJan2020Unix), 1577836801.5},
  };
  for (const auto& c : cases) {
    PacketBuilder packet;
    packet.timestamp_offset = c.offset;
    auto meta = meta_of(packet);
    ASSERT_TRUE(meta && meta->has_value());
    EXPECT_EQ((*meta)->natural_bounds().start, c.start) << c.offset;
    EXPECT_EQ((*meta)->natural_bounds().end, c.end) << c.offset;
  }
}

TEST(natural_bounds, faults_on_unvalidated_timestamp) {
  const PacketMeta meta{
      .sample_count = 1, .timestamp = 0, .timestamp_offset = 0, .sample_rate_code = 0x4A};
  EXPECT_THROW(meta.natural_bounds(), InternalFault);
}

TEST(block_clock, agrees_with_the_calendar_across_days_months_and_years) {
  BlockClock clock;
  std::mt19937 rng(11);
  int checked = 0;
  for (int round = 0; round < 200000; ++round) {
    // Runs of nearby times exercise the remembered day; jumps exercise its replacement.
    const uint32_t timestamp = round % 50 == 0 ? static_cast<uint32_t>(rng())
                                               : static_cast<uint32_t>(rng() % 64) | (0x5A2u << 20);
    const std::optional<NaiveDateTime> time = cwa_timestamp(timestamp);
    if (!time) continue;
    ASSERT_EQ(clock.unix_seconds(timestamp), time->unix_seconds()) << std::hex << timestamp;
    const PacketMeta meta{.sample_count = 80,
                          .timestamp = timestamp,
                          .timestamp_offset = static_cast<int16_t>(rng()),
                          .sample_rate_code = static_cast<uint8_t>(rng())};
    const PacketBounds at = meta.natural_bounds_at(clock.unix_seconds(timestamp));
    EXPECT_EQ(at.start, meta.natural_bounds().start);
    EXPECT_EQ(at.end, meta.natural_bounds().end);
    ++checked;
  }
  EXPECT_GT(checked, 1000);
}

TEST(samples_over_rate, equals_the_float_division_for_every_offset_count_and_rate) {
  for (unsigned code = 0; code < 16; ++code) {
    const float rate = 3200.0f / static_cast<float>(1u << (15 - code));
    for (int samples = -65536; samples <= 65536; ++samples) {
      const float value = static_cast<float>(samples);
      const float fast = samples_over_rate(value, static_cast<uint8_t>(code | 0x40));
      const float divided = value / rate;
      ASSERT_EQ(std::bit_cast<uint32_t>(fast), std::bit_cast<uint32_t>(divided))
          << samples << " " << code;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(samples_over_rate(-0.0f, static_cast<uint8_t>(code))),
              std::bit_cast<uint32_t>(-0.0f / rate));
  }
}

}  // namespace
}  // namespace velmora
