// Builds CWA metadata blocks, data packets and whole files field by field for the unit tests,
// including invalid ones.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velmora::testing {

using Bytes = std::vector<uint8_t>;

inline void put_u16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// Returns the packed form of a date-time (no range checks, so invalid values can be built).
inline uint32_t pack_time(unsigned year, unsigned month, unsigned day, unsigned hour = 0,
                          unsigned minute = 0, unsigned second = 0) {
  return ((year - 2000) << 26) | (month << 22) | (day << 17) | (hour << 12) | (minute << 6) |
         second;
}

// W in the tests: 2020-01-01T00:00:00.
inline constexpr uint32_t kJan2020 = (20u << 26) | (1u << 22) | (1u << 17);
inline constexpr int64_t kJan2020Unix = 1577836800;
inline constexpr int64_t kJan2020Us = kJan2020Unix * 1'000'000;

struct MetadataBuilder {
  char header[2] = {'M', 'D'};
  uint16_t packet_length = 1020;
  uint8_t hardware_type = 0x17;
  uint16_t device_id_low = 0x1234;
  uint32_t session_id = 7;
  uint16_t upper_device_id = 0;
  uint32_t logging_start = kJan2020;
  uint32_t logging_end = 0xFFFFFFFF;
  uint8_t flash_led = 0;
  uint8_t sensor_config = 0;
  uint8_t rate_code = 0x4A;
  uint32_t last_change = 0;
  uint8_t firmware_revision = 45;
  std::vector<uint8_t> annotation;  // placed at 64, rest of 448 bytes padded with 0x20

  Bytes bytes() const {
    Bytes b(1024, 0);
    b[0] = static_cast<uint8_t>(header[0]);
    b[1] = static_cast<uint8_t>(header[1]);
    put_u16(b, 2, packet_length);
    b[4] = hardware_type;
    put_u16(b, 5, device_id_low);
    put_u32(b, 7, session_id);
    put_u16(b, 11, upper_device_id);
    put_u32(b, 13, logging_start);
    put_u32(b, 17, logging_end);
    b[26] = flash_led;
    b[35] = sensor_config;
    b[36] = rate_code;
    put_u32(b, 37, last_change);
    b[41] = firmware_revision;
    std::memset(b.data() + 64, 0x20, 448);
    if (!annotation.empty()) {
      std::memcpy(b.data() + 64, annotation.data(), std::min<size_t>(annotation.size(), 448));
    }
    return b;
  }
};

struct PacketBuilder {
  char header[2] = {'A', 'X'};
  uint16_t packet_length = 508;
  uint16_t device_fractional = 0;
  uint32_t session_id = 7;
  uint32_t sequence_id = 0;
  uint32_t timestamp = kJan2020;
  uint16_t light = 0;
  uint16_t temperature = 0x0155;
  uint8_t events = 0;
  uint8_t battery = 170;
  uint8_t rate_code = 0x4A;
  uint8_t sample_format = 0x30;
  int16_t timestamp_offset = 0;
  uint16_t sample_count = 120;
  Bytes sample_data = Bytes(480, 0);
  uint16_t checksum = 0;

  // Sets the packed 3-axis word of sample i.
  PacketBuilder& packed_sample(size_t i, uint32_t word) {
    put_u32(sample_data, i * 4, word);
    return *this;
  }
  // Sets raw 16-bit value `axis` (0-based, in packet order) of sample i for unpacked formats.
  PacketBuilder& raw_value(size_t i, size_t axis, int16_t value) {
    const size_t per_sample = static_cast<size_t>(sample_format >> 4) * 2;
    put_u16(sample_data, i * per_sample + axis * 2, static_cast<uint16_t>(value));
    return *this;
  }

  Bytes bytes() const {
    Bytes b(512, 0);
    b[0] = static_cast<uint8_t>(header[0]);
    b[1] = static_cast<uint8_t>(header[1]);
    put_u16(b, 2, packet_length);
    put_u16(b, 4, device_fractional);
    put_u32(b, 6, session_id);
    put_u32(b, 10, sequence_id);
    put_u32(b, 14, timestamp);
    put_u16(b, 18, light);
    put_u16(b, 20, temperature);
    b[22] = events;
    b[23] = battery;
    b[24] = rate_code;
    b[25] = sample_format;
    put_u16(b, 26, static_cast<uint16_t>(timestamp_offset));
    put_u16(b, 28, sample_count);
    std::memcpy(b.data() + 30, sample_data.data(), 480);
    put_u16(b, 510, checksum);
    return b;
  }
};

struct FileBuilder {
  MetadataBuilder metadata;
  std::vector<Bytes> blocks;

  FileBuilder& add(const PacketBuilder& packet) {
    blocks.push_back(packet.bytes());
    return *this;
  }
  FileBuilder& add_raw(Bytes block) {
    blocks.push_back(std::move(block));
    return *this;
  }
  Bytes bytes() const {
    Bytes out = metadata.bytes();
    for (const Bytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out;
  }
};

// Returns a packet whose block timestamp is W + second (seconds below 60 only).
inline PacketBuilder packet_at(uint32_t second, uint16_t sample_count = 120) {
  PacketBuilder packet;
  packet.timestamp = kJan2020 + second;
  packet.sample_count = sample_count;
  return packet;
}

// Returns a packet without samples, which every reader passes over.
inline PacketBuilder empty_packet() { return packet_at(0, 0); }

// Returns a file of `count` packets, packet k at W + k seconds.
inline FileBuilder file_of(uint32_t count, uint16_t sample_count = 120) {
  FileBuilder file;
  for (uint32_t k = 0; k < count; ++k) file.add(packet_at(k, sample_count));
  return file;
}

// Returns the first `length` bytes.
inline Bytes prefix(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

// Returns the error text of a result, or "<no error>".
template <class R>
std::string error_text(const R& result) {
  return result ? std::string("<no error>") : result.error().display();
}

inline const std::string kShortRead = "IO error: failed to fill whole buffer";
inline const std::string kMissingFile = "IO error: No such file or directory (os error 2)";

// A file in the test's temporary directory, removed when dropped.
class TempFile {
 public:
  explicit TempFile(const Bytes& contents) : TempFile(std::string_view()) { write(contents); }
  explicit TempFile(std::string_view) {
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("velmora_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++)))
                .string();
  }
  ~TempFile() { std::filesystem::remove(path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void write(const Bytes& contents) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace velmora::testing
