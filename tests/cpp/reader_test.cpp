// read_cwa_data and PacketStream: the column fast path against the generic per-sample path on
// random packets and selections, every truncation, and blocks lost after opening.
#include "package//read/reader.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <random>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "reference_decode.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::kJan2020;
using testing::PacketBuilder;
using testing::TempFile;

Result<CwaDataResult> read_bytes(const Bytes& bytes) {
  TempFile file(bytes);
  return read_cwa_data(file.path(), {}, ChannelSelection{});
}

// The plain per-sample reading: PacketStream samples through append_sensor_value.
Result<CwaDataResult> read_generic(const std::string& path, BlockSelection selection,
                                   ChannelSelection channels) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(path, selection));
  PacketStream stream(std::move(opened), channels);
  CwaDataResult result;
  for (size_t c = kSensorAxes; c < kChannelCount; ++c) {
    if (channels.includes(kChannels[c].flag)) (result.*kChannels[c].member).emplace();
  }
  for (;;) {
    VELMORA_ASSIGN_OR_RETURN(const DecodedPacket* packet, stream.next());
    if (packet == nullptr) break;
    for (size_t i = 0; i < packet->count; ++i) {
      result.timestamps.push_back(packet->timestamps[i]);
      for (size_t axis = 0; axis < kSensorAxes; ++axis) {
        const ChannelRow& row = kChannels[axis];
        const float value = packet->values[axis][i];
        OptionalColumn& column = result.*row.member;
        if (in_every_packet(row)) {
          column->push_back(value);
        } else {
          const bool present = (packet->sensors & sensor_bit(row.sensor)) != 0;
          append_sensor_value(column, present, result.rows() - 1, value);
        }
      }
    }
    for (size_t c = kSensorAxes; c < kChannelCount; ++c) {
      OptionalColumn& column = result.*kChannels[c].member;
      if (column) column->append_fill(packet->readings[kind_slot(c)], packet->count);
    }
  }
  if (result.rows() == 0) return fail(ErrorCode::kNoSampleDataInRange);
  return result;
}

template <class T>
void expect_same_bits(const Column<T>& a, const Column<T>& b, std::string_view name) {
  ASSERT_EQ(a.size(), b.size()) << name;
  for (size_t i = 0; i < a.size(); ++i) {
    if constexpr (std::is_same_v<T, float>) {
      ASSERT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i])) << name << " " << i;
    } else {
      ASSERT_EQ(a[i], b[i]) << name << " " << i;
    }
  }
}

void expect_same_result(const CwaDataResult& a, const CwaDataResult& b) {
  expect_same_bits(a.timestamps, b.timestamps, "timestamps");
  for (const ChannelRow& row : kChannels) {
    const OptionalColumn& x = a.*row.member;
    const OptionalColumn& y = b.*row.member;
    ASSERT_EQ(x.has_value(), y.has_value()) << row.name;
    if (x) expect_same_bits(*x, *y, row.name);
  }
}

// Random packets of all four formats, with random scale codes, readings and timing.
Bytes random_file(std::mt19937& rng, size_t blocks) {
  FileBuilder file;
  constexpr std::array<uint8_t, 4> kFormats = {0x30, 0x32, 0x62, 0x92};
  uint32_t second = 0;
  for (size_t k = 0; k < blocks; ++k) {
    PacketBuilder packet;
    if (rng() % 8 == 0) {
      packet.sample_count = 0;
    } else {
      packet.sample_format = kFormats[rng() % 4];
      const size_t capacity = 480 / bytes_per_sample(packet.sample_format);
      packet.sample_count = static_cast<uint16_t>(rng() % 3 == 0 ? capacity : 1 + rng() % capacity);
    }
    for (uint8_t& byte : packet.sample_data) byte = static_cast<uint8_t>(rng());
    packet.light = static_cast<uint16_t>(rng());
    packet.temperature = static_cast<uint16_t>(rng());
    packet.battery = static_cast<uint8_t>(rng());
    packet.rate_code = static_cast<uint8_t>(1 + rng() % 255);
    packet.timestamp_offset = static_cast<int16_t>(rng());
    second += static_cast<uint32_t>(rng() % 3);
    packet.timestamp = kJan2020 + second % 60 + (second / 60 << 6);
    file.add(packet);
  }
  return file.bytes();
}

TEST(read_cwa_data, column_path_matches_the_per_sample_path_bit_for_bit) {
  std::mt19937 rng(20260101);
  for (int round = 0; round < 40; ++round) {
    TempFile file(random_file(rng, 1 + rng() % 30));
    const ChannelSelection channels{rng() % 2 == 0, rng() % 2 == 0, rng() % 2 == 0, rng() % 2 == 0};
    BlockSelection selection;
    if (round % 2 == 1) selection = {rng() % 5, 1 + rng() % 20};
    auto fast = read_cwa_data(file.path(), selection, channels);
    auto generic = read_generic(file.path(), selection, channels);
    ASSERT_EQ(fast.has_value(), generic.has_value()) << round;
    if (!fast) {
      EXPECT_EQ(fast.error(), generic.error());
      continue;
    }
    expect_same_result(*fast, *generic);
  }
}

TEST(read_cwa_data, fails_cleanly_on_every_truncation) {
  FileBuilder file = testing::file_of(2);
  PacketBuilder six = testing::packet_at(2, 40);
  six.sample_format = 0x62;
  file.add(six);
  const Bytes bytes = file.bytes();
  auto whole = read_bytes(bytes);
  ASSERT_TRUE(whole);
  for (size_t length = 0; length < bytes.size(); ++length) {
    auto result = read_bytes(testing::prefix(bytes, length));
    if (length >= 1536 && length % 512 == 0) {
      ASSERT_TRUE(result) << length;
      EXPECT_EQ(result->rows(), (length - 1024) / 512 * 120) << length;
    } else {
      ASSERT_FALSE(result) << length;
    }
  }
}

TEST(packet_stream, reports_planned_blocks_lost_after_the_size_check) {
  for (const auto& [length, message] :
       {std::pair<size_t, std::string_view>{1024 + 512,
                                            velmora::error_text(ErrorCode::kUnexpectedEndOfData)},
        {1024 + 512 + 100, testing::kShortRead}}) {
    TempFile file(testing::file_of(3).bytes());
    auto opened = open_cwa_data_blocks(file.path(), {});
    ASSERT_TRUE(opened);
    std::filesystem::resize_file(file.path(), length);
    PacketStream stream(std::move(*opened), ChannelSelection{});
    ASSERT_TRUE(stream.next());
    auto lost = stream.next();
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error().display(), message);
  }
}

}  // namespace
}  // namespace velmora
