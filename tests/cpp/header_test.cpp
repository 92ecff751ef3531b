// Metadata block parsing and read_cwa_header's file errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "header/cwa_header.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::MetadataBuilder;
using testing::TempFile;

Result<CwaHeader> parse(const MetadataBuilder& builder) {
  const Bytes bytes = builder.bytes();
  return parse_cwa_header(MetadataBytes(bytes.data(), kMetadataBytes));
}

CwaHeader parsed(const MetadataBuilder& builder) {
  Result<CwaHeader> header = parse(builder);
  EXPECT_TRUE(header) << header.error().display();
  return header ? *std::move(header) : CwaHeader{};
}

std::string error_of(const Result<CwaHeader>& result) {
  return result ? std::string("<no error>") : result.error().display();
}

TEST(read_cwa_header, parses_a_file_of_exactly_the_metadata_block) {
  MetadataBuilder builder;
  const TempFile file(builder.bytes());
  Result<CwaHeader> header = read_cwa_header(file.path());
  ASSERT_TRUE(header) << header.error().display();
  EXPECT_EQ(header->packet_header, "MD");
  EXPECT_EQ(header->session_id, 7u);
}

TEST(read_cwa_header, reports_file_errors_with_their_io_texts) {
  Bytes short_block = MetadataBuilder().bytes();
  short_block.resize(1023);
  const TempFile short_file(short_block);
  const TempFile one_byte(Bytes{'M'});
  const TempFile missing(std::string_view{});
  EXPECT_EQ(error_of(read_cwa_header(short_file.path())), "IO error: failed to fill whole buffer");
  EXPECT_EQ(error_of(read_cwa_header(one_byte.path())), "IO error: failed to fill whole buffer");
  EXPECT_EQ(error_of(read_cwa_header(missing.path())),
            "IO error: No such file or directory (os error 2)");
  EXPECT_EQ(error_of(read_cwa_header(std::filesystem::temp_directory_path().string())),
            "IO error: Is a directory (os error 21)");
  EXPECT_EQ(error_of(read_cwa_header(std::string_view("a\0b", 3))),
            "IO error: file name contained an unexpected NUL byte");
}

TEST(parse_cwa_header, checks_utf8_before_the_metadata_marker) {
  const struct {
    uint8_t first, second;
    std::string_view message;
  } cases[] = {
      {0xFF, 0xFF, msg::kInvalidPacketHeaderFormat},
      {'M', 0x80, msg::kInvalidPacketHeaderFormat},
      {0xE2, 0x82, msg::kInvalidPacketHeaderFormat},  // truncated three-byte sequence
      {'A', 'X', msg::kFirstBlockNotMetadata},
      {0xC3, 0xA9, msg::kFirstBlockNotMetadata},  // valid two-byte character
      {'m', 'd', msg::kFirstBlockNotMetadata},
  };
  for (const auto& c : cases) {
    Bytes bytes = MetadataBuilder().bytes();
    bytes[0] = c.first;
    bytes[1] = c.second;
    EXPECT_EQ(error_of(parse_cwa_header(MetadataBytes(bytes.data(), kMetadataBytes))), c.message)
        << int{c.first} << " " << int{c.second};
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

TEST(parse_cwa_header, combines_device_id_halves_ignoring_unset_upper_half) {
  MetadataBuilder builder;
  builder.device_id_low = 0x1234;
  builder.upper_device_id = 0xFFFF;
  EXPECT_EQ(parsed(builder).device_id, 4660u);
  EXPECT_EQ(parsed(builder).upper_device_id, 65535);
  builder.upper_device_id = 0x0001;
  EXPECT_EQ(parsed(builder).device_id, 70196u);
  builder.upper_device_id = 0xFFFE;
  EXPECT_EQ(parsed(builder).device_id, 0xFFFE1234u);
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

TEST(parse_cwa_header, decodes_rate_code_into_rate_and_range) {
  const struct {
    uint8_t code;
    double rate;
    uint8_t range;
  } cases[] = {{0x4A, 100.0, 8},
               {0xCF, 3200.0, 2},
               {0x00, 0.09765625, 16},
               {0x87, 12.5, 4},
               {0x3A, 100.0, 16}};
  for (const auto& c : cases) {
    MetadataBuilder builder;
    builder.rate_code = c.code;
    const CwaHeader header = parsed(builder);
    EXPECT_EQ(header.sample_rate_hz, c.rate) << int{c.code};
    EXPECT_EQ(header.accel_range, c.range) << int{c.code};
  }
}

TEST(parse_cwa_header, decodes_header_times_and_treats_invalid_ones_as_unset) {
  MetadataBuilder builder;
  builder.logging_start = 0xFFFFFFFF;
  builder.logging_end = testing::pack_time(2021, 6, 30, 23, 59, 59);
  builder.last_change = 0;
  CwaHeader header = parsed(builder);
  EXPECT_FALSE(header.logging_start_time);
  EXPECT_EQ(header.logging_end_time, (NaiveDateTime{2021, 6, 30, 23, 59, 59}));
  EXPECT_FALSE(header.last_change_time);
  builder.logging_start = testing::pack_time(2020, 2, 30);
  builder.logging_end = testing::pack_time(2020, 1, 1, 0, 60);
  builder.last_change = testing::pack_time(2024, 2, 29, 12);
  header = parsed(builder);
  EXPECT_FALSE(header.logging_start_time);
  EXPECT_FALSE(header.logging_end_time);
  EXPECT_EQ(header.last_change_time, (NaiveDateTime{2024, 2, 29, 12, 0, 0}));
}

}  // namespace
}  // namespace velmora
