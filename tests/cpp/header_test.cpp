// Metadata block parsing: the order of the marker checks, stored fields and the AX6 sensor byte.
#include <gtest/gtest.h>

#include <string>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "header/cwa_header.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::MetadataBuilder;

Result<CwaHeader> parse(const Bytes& bytes) {
  return parse_cwa_header(MetadataBytes(bytes.data(), kMetadataBytes));
}

CwaHeader parsed(const MetadataBuilder& builder) {
  Result<CwaHeader> header = parse(builder.bytes());
  EXPECT_TRUE(header) << header.error().display();
  return header ? *std::move(header) : CwaHeader{};
}

TEST(parse_cwa_header, checks_utf8_before_the_metadata_marker) {
  const struct {
    uint8_t first, second;
    std::string_view message;
  } cases[] = {
      {0xFF, 0xFF, velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
      {'M', 0x80, velmora::error_text(ErrorCode::kInvalidPacketHeaderFormat)},
      {0xE2, 0x82,
       velmora::error_text(
           ErrorCode::kInvalidPacketHeaderFormat)},  // truncated three-byte sequence
      {'A', 'X', velmora::error_text(ErrorCode::kFirstBlockNotMetadata)},
      {0xC3, 0xA9,
       velmora::error_text(ErrorCode::kFirstBlockNotMetadata)},  // valid two-byte character
      {'m', 'd', velmora::error_text(ErrorCode::kFirstBlockNotMetadata)},
  };
  for (const auto& c : cases) {
    Bytes bytes = MetadataBuilder().bytes();
    bytes[0] = c.first;
    bytes[1] = c.second;
    EXPECT_EQ(testing::error_text(parse(bytes)), c.message) << int{c.first} << " " << int{c.second};
  }
}

TEST(parse_cwa_header, reports_stored_fields_unchanged) {
  MetadataBuilder builder;
  builder.packet_length = 0xBEEF;
  builder.session_id = 0xDEADBEEF;
  builder.flash_led = 3;
  builder.sensor_config = 0xA5;
  builder.firmware_revision = 0xFE;
  const CwaHeader header = parsed(builder);
  EXPECT_EQ(header.packet_length, 0xBEEF);
  EXPECT_EQ(header.session_id, 0xDEADBEEFu);
  EXPECT_EQ(header.flash_led, 3);
  EXPECT_EQ(header.sensor_config, 0xA5);
  EXPECT_EQ(header.firmware_revision, 0xFE);
  EXPECT_EQ(header.hardware_type, "AX3");
}

TEST(parse_cwa_header, decodes_sensor_configuration_only_for_ax6) {
  const struct {
    uint8_t config;
    std::optional<uint16_t> gyro;
    bool magnetometer;
  } cases[] = {
      {0x12, 2000, true},          {0x02, 2000, false},         {0x03, 1000, false},
      {0x04, 500, false},          {0x05, 250, false},          {0x06, 125, false},
      {0x17, std::nullopt, true},  {0x01, std::nullopt, false}, {0x00, std::nullopt, false},
      {0xFF, std::nullopt, false}, {0xF2, 2000, true},
  };
  for (const auto& c : cases) {
    MetadataBuilder builder;
    builder.hardware_type = 0x64;
    builder.sensor_config = c.config;
    const CwaHeader ax6 = parsed(builder);
    EXPECT_EQ(ax6.hardware_type, "AX6");
    EXPECT_EQ(ax6.gyro_range, c.gyro) << int{c.config};
    EXPECT_EQ(ax6.magnetometer_enabled, c.magnetometer) << int{c.config};
    builder.hardware_type = 0x65;
    const CwaHeader ax3 = parsed(builder);
    EXPECT_EQ(ax3.hardware_type, "AX3");
    EXPECT_EQ(ax3.gyro_range, std::nullopt);
    EXPECT_FALSE(ax3.magnetometer_enabled);
  }
}

}  // namespace
}  // namespace velmora
