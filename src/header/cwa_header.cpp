// Metadata block parsing. Unrecognised values are not errors: they decode to the neutral
// hardware type, no gyroscope range and no magnetometer.
#include "header/cwa_header.hpp"

#include <array>

#include "errors/messages.hpp"
#include "header/annotation.hpp"
#include "header/utf8.hpp"
#include "packet/byte_order.hpp"
#include "packet/cwa_file.hpp"

namespace velmora {

namespace {

std::optional<uint16_t> gyro_range_of(uint8_t sensor_config) {
  switch (sensor_config & 0x0F) {
    case 2:
      return 2000;
    case 3:
      return 1000;
    case 4:
      return 500;
    case 5:
      return 250;
    case 6:
      return 125;
    default:
      return std::nullopt;
  }
}

}  // namespace

Status check_metadata_header(MetadataBytes block) {
  const std::span<const uint8_t> header = block.first(2);
  if (!is_valid_utf8(header)) return fail(ErrorCode::kInvalidPacketHeaderFormat);
  if (header[0] != 'M' || header[1] != 'D') return fail(ErrorCode::kFirstBlockNotMetadata);
  return {};
}

Result<CwaHeader> parse_cwa_header(MetadataBytes block) {
  VELMORA_TRY(check_metadata_header(block));
  const uint8_t* p = block.data();
  namespace at = metadata_offset;
  const bool is_ax6 = p[at::kHardwareType] == kHardwareTypeAx6;
  const uint16_t device_id_low = load_u16(p + at::kDeviceIdLow);
  const uint16_t upper_device_id = load_u16(p + at::kUpperDeviceId);
  // 0xFFFF is what an unprogrammed upper half reads as; it contributes nothing.
  const uint32_t device_id =
      (upper_device_id == 0xFFFF ? 0u : static_cast<uint32_t>(upper_device_id) << 16) |
      device_id_low;
  const uint8_t sensor_config = p[at::kSensorConfig];
  const uint8_t rate_code = p[at::kSampleRateCode];
  const bool sensor_config_set = is_ax6 && sensor_config != 0x00 && sensor_config != 0xFF;
  return CwaHeader{
      .packet_header = "MD",
      .packet_length = load_u16(p + at::kLength),
      .hardware_type = is_ax6 ? "AX6" : "AX3",
      .device_id = device_id,
      .session_id = load_u32(p + at::kSessionId),
      .upper_device_id = upper_device_id,
      .logging_start_time = cwa_timestamp(load_u32(p + at::kLoggingStart)),
      .logging_end_time = cwa_timestamp(load_u32(p + at::kLoggingEnd)),
      .last_change_time = cwa_timestamp(load_u32(p + at::kLastChange)),
      .flash_led = p[at::kFlashLed],
      .sensor_config = sensor_config,
      .sample_rate_hz = sample_rate_hz(rate_code),
      .accel_range = static_cast<uint8_t>(16u >> (rate_code >> 6)),
      .firmware_revision = p[at::kFirmwareRevision],
      .annotation = parse_annotation(block),
      .gyro_range = sensor_config_set ? gyro_range_of(sensor_config) : std::nullopt,
      .magnetometer_enabled = sensor_config_set && sensor_config >= 0x10,
  };
}

Result<CwaHeader> read_cwa_header(std::string_view file_path) {
  std::array<uint8_t, kMetadataBytes> block{};
  {
    VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(file_path));
    VELMORA_TRY(file.read_exact(block));
  }
  return parse_cwa_header(block);
}

}  // namespace velmora
