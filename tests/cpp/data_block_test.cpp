// Packet header checks, the packed and gyroscope edge values, and the decodable counts.
#include "package/decode/data_block.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <random>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::PacketBuilder;

Result<CwaDataBlock> block_of(const PacketBuilder& builder) {
  const Bytes bytes = builder.bytes();
  return CwaDataBlock::from_buffer(PacketBytes(bytes.data(), kPacketBytes));
}

CwaDataBlock valid_block(const PacketBuilder& builder) {
  auto block = block_of(builder);
  EXPECT_TRUE(block) << block.error().display();
  return *block;
}

// Decodes the packet and returns its samples.
std::vector<SampleData> samples_of(const PacketBuilder& builder) {
  std::array<SampleData, kMaxSamplesPerPacket> out;
  auto count = valid_block(builder).parse_samples(true, out);
  EXPECT_TRUE(count) << count.error().display();
  return std::vector<SampleData>(out.begin(), out.begin() + static_cast<long>(count.value_or(0)));
}

PacketBuilder unpacked(uint8_t format, uint16_t light = 0) {
  PacketBuilder packet;
  packet.sample_format = format;
  packet.sample_count = 1;
  packet.light = light;
  return packet;
}

TEST(data_block, rejects_headers_that_are_not_utf8_before_other_headers) {
  struct Case {
    uint8_t first, second;
    std::string_view message;
  };
  for (const Case& c :
       {Case{0xFF, 'X', velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
        Case{'A', 0x80, velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
        Case{0xC3, 'A', velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
        Case{0xE2, 0x82, velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
        Case{0xC3, 0xA9, velmora::error_text(ErrorCode::kInvalidDataBlockHeader)},
        Case{'M', 'D', velmora::error_text(ErrorCode::kInvalidDataBlockHeader)},
        Case{0, 0, velmora::error_text(ErrorCode::kInvalidDataBlockHeader)}}) {
    PacketBuilder packet;
    packet.header[0] = static_cast<char>(c.first);
    packet.header[1] = static_cast<char>(c.second);
    auto block = block_of(packet);
    ASSERT_FALSE(block);
    EXPECT_EQ(block.error().display(), c.message);
  }
}

TEST(data_block, decodes_packed_words_with_sign_and_exponent) {
  struct Case {
    uint32_t word;
    uint16_t light;
    float x, y, z;
  };
  for (const Case& c : {
           Case{0x00000001, 0, 0.00390625f, 0.0f, 0.0f},
           Case{0xC00003FF, 0, -0.03125f, 0.0f, 0.0f},            // x = -1, e = 3
           Case{0xC0000200, 0, -16.0f, 0.0f, 0.0f},               // x = -512, e = 3
           Case{0xC00001FF, 0, 511.0f * 8 / 256, 0.0f, 0.0f},     // x = 511, e = 3
           Case{0x00000400, 0, 0.0f, 0.00390625f, 0.0f},          // y = 1
           Case{0x3FF00000, 0, 0.0f, 0.0f, -0.00390625f},         // z = -1
           Case{0x40000001, 0x2000, 2.0f / 512, 0.0f, 0.0f},      // e = 1, k = 1
           Case{0x00000100, 0xE000, 256.0f / 32768, 0.0f, 0.0f},  // k = 7
       }) {
    PacketBuilder packet;
    packet.sample_count = 1;
    packet.light = c.light;
    packet.packed_sample(0, c.word);
    const auto samples = samples_of(packet);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].acc_x, c.x) << std::hex << c.word;
    EXPECT_EQ(samples[0].acc_y, c.y) << std::hex << c.word;
    EXPECT_EQ(samples[0].acc_z, c.z) << std::hex << c.word;
    EXPECT_FALSE(samples[0].has_gyro);
    EXPECT_FALSE(samples[0].has_mag);
  }
}

TEST(data_block, divides_6axis_gyro_and_multiplies_9axis_gyro) {
  struct Case {
    uint8_t format;
    unsigned scale_code;
    float expected;
  };
  for (const Case& c : {Case{0x62, 0, 999.99994f}, Case{0x62, 3, 499.99997f},
                        Case{0x92, 0, 1000.0f}, Case{0x92, 3, 500.0f}, Case{0x92, 7, 31.0f},
                        Case{0x62, 7, 16384.0f / (32768.0f / 62.0f)}}) {
    PacketBuilder packet = unpacked(c.format, static_cast<uint16_t>(c.scale_code << 10));
    packet.raw_value(0, 0, 16384).raw_value(0, 1, -16384).raw_value(0, 2, 0);
    const auto samples = samples_of(packet);
    ASSERT_TRUE(samples.at(0).has_gyro);
    EXPECT_EQ(samples[0].gyro_x, c.expected) << int{c.format} << " s=" << c.scale_code;
    EXPECT_EQ(samples[0].gyro_y, -c.expected);
    EXPECT_EQ(samples[0].gyro_z, 0.0f);
  }
}

TEST(data_block, rejects_formats_and_counts_it_cannot_decode) {
  struct Case {
    uint8_t format;
    uint16_t count;
    std::string message;
  };
  for (const Case& c :
       {Case{0x31, 1, "Unsupported sample format: 3 axes, packing 1"},
        Case{0x60, 1, "Unsupported sample format: 6 axes, packing 0"},
        Case{0x30, 121, std::string(velmora::error_text(ErrorCode::kInsufficientPacked3))},
        Case{0x32, 81, std::string(velmora::error_text(ErrorCode::kInsufficientUnpacked3))},
        Case{0x62, 41, std::string(velmora::error_text(ErrorCode::kInsufficientUnpacked6))},
        Case{0x92, 27, std::string(velmora::error_text(ErrorCode::kInsufficientUnpacked9))}}) {
    PacketBuilder packet;
    packet.sample_format = c.format;
    packet.sample_count = c.count;
    std::array<SampleData, kMaxSamplesPerPacket> out;
    EXPECT_EQ(testing::error_text(valid_block(packet).parse_samples(true, out)), c.message);
  }
  for (auto [format, count] :
       {std::pair<uint8_t, uint16_t>{0x30, 120}, {0x32, 80}, {0x62, 40}, {0x92, 26}, {0x30, 0}}) {
    PacketBuilder packet;
    packet.sample_format = format;
    packet.sample_count = count;
    EXPECT_EQ(samples_of(packet).size(), count);
  }
}

TEST(data_block, decoding_packet_after_packet_into_one_array_equals_fresh_decoding) {
  std::mt19937 rng(17);
  std::array<SampleData, kMaxSamplesPerPacket> reused;
  SampleLayout layout;
  constexpr uint8_t kFormats[] = {0x30, 0x32, 0x62, 0x92};
  for (int round = 0; round < 400; ++round) {
    PacketBuilder packet;
    // Runs of one format, as in files, with changes of format and of sample count.
    packet.sample_format = kFormats[(static_cast<unsigned>(round) / 5 + rng() % 2) % 4];
    packet.sample_count = static_cast<uint16_t>(
        1 + rng() % (kSampleDataBytes / bytes_per_sample(packet.sample_format)));
    packet.light = static_cast<uint16_t>(rng());
    for (uint8_t& byte : packet.sample_data) byte = static_cast<uint8_t>(rng());
    const bool magnetometer = rng() % 2 == 0;
    const CwaDataBlock block = valid_block(packet);
    std::array<SampleData, kMaxSamplesPerPacket> fresh;
    const auto expected = block.parse_samples(magnetometer, fresh);
    const auto actual = block.parse_samples_reusing(magnetometer, reused, layout);
    ASSERT_TRUE(expected && actual);
    ASSERT_EQ(*actual, *expected);
    for (size_t i = 0; i < *expected; ++i) {
      const SampleData& a = reused[i];
      const SampleData& b = fresh[i];
      ASSERT_EQ(a.has_gyro, b.has_gyro);
      ASSERT_EQ(a.has_mag, b.has_mag);
      // Bitwise, so that NaN fields compare too.
      for (const auto field : {&SampleData::acc_x, &SampleData::acc_y, &SampleData::acc_z,
                               &SampleData::gyro_x, &SampleData::gyro_y, &SampleData::gyro_z,
                               &SampleData::mag_x, &SampleData::mag_y, &SampleData::mag_z}) {
        ASSERT_EQ(std::bit_cast<uint32_t>(a.*field), std::bit_cast<uint32_t>(b.*field))
            << round << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace velmora
