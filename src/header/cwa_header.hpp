// The 1024-byte metadata block at the start of every CWA file, parsed into CwaHeader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "packet/packed_timestamp.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

// Byte offsets inside the metadata block.
namespace metadata_offset {
inline constexpr size_t kHeader = 0;             // 2 bytes, "MD"
inline constexpr size_t kLength = 2;             // u16, reported as stored
inline constexpr size_t kHardwareType = 4;       // u8, 0x64 means AX6
inline constexpr size_t kDeviceIdLow = 5;        // u16, low half of device_id
inline constexpr size_t kSessionId = 7;          // u32
inline constexpr size_t kUpperDeviceId = 11;     // u16, high half of device_id unless 0xFFFF
inline constexpr size_t kLoggingStart = 13;      // u32 packed timestamp
inline constexpr size_t kLoggingEnd = 17;        // u32 packed timestamp
inline constexpr size_t kFlashLed = 26;          // u8
inline constexpr size_t kSensorConfig = 35;      // u8: gyro range (low nibble), magnetometer
inline constexpr size_t kSampleRateCode = 36;    // u8: rate (low nibble), accel range (bits 6-7)
inline constexpr size_t kLastChange = 37;        // u32 packed timestamp
inline constexpr size_t kFirmwareRevision = 41;  // u8
}  // namespace metadata_offset

inline constexpr uint8_t kHardwareTypeAx6 = 0x64;

struct CwaHeader {
  std::string packet_header;  // always "MD" once parsed
  uint16_t packet_length;
  std::string hardware_type;  // "AX6" or "AX3"
  uint32_t device_id;         // upper half from upper_device_id unless that is 0xFFFF
  uint32_t session_id;
  uint16_t upper_device_id;  // as stored
  std::optional<NaiveDateTime> logging_start_time;
  std::optional<NaiveDateTime> logging_end_time;
  std::optional<NaiveDateTime> last_change_time;
  uint8_t flash_led;
  uint8_t sensor_config;  // as stored
  double sample_rate_hz;  // nominal rate from the rate code
  uint8_t accel_range;    // g
  uint8_t firmware_revision;
  std::string annotation;
  std::optional<uint16_t> gyro_range;  // degrees per second, AX6 only
  bool magnetometer_enabled;
};

using MetadataBytes = std::span<const uint8_t, kMetadataBytes>;

// Parses a metadata block already read into memory.
Result<CwaHeader> parse_cwa_header(MetadataBytes block);

// Checks the two header bytes of a metadata block: valid UTF-8, then exactly "MD".
Status check_metadata_header(MetadataBytes block);

// Opens the file, reads and parses its metadata block, and closes the file.
Result<CwaHeader> read_cwa_header(std::string_view file_path);

}  // namespace velmora
