// The arithmetic of sample decoding and of the per-packet readings, in the float widths and
// operation order that fix every value's bits.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "package/read/data_result.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_meta.hpp"

namespace velmora::decode {

// Accelerometer scale code k (bits 13-15 of the light field).
inline unsigned accel_scale_code(uint16_t light) { return static_cast<unsigned>(light >> 13); }
// Gyroscope scale code s (bits 10-12 of the light field).
inline unsigned gyro_scale_code(uint16_t light) {
  return (static_cast<unsigned>(light) >> 10) & 7u;
}

// Returns 2^-(8 + k). Multiplying by it is exact and equals dividing by 2^(8 + k).
inline float accel_factor(uint16_t light) {
  static constexpr float kFactors[8] = {0x1p-8f,  0x1p-9f,  0x1p-10f, 0x1p-11f,
                                        0x1p-12f, 0x1p-13f, 0x1p-14f, 0x1p-15f};
  return kFactors[accel_scale_code(light)];
}

// Returns the gyroscope full-scale range R in degrees per second.
inline unsigned gyro_range(uint16_t light) {
  const unsigned s = gyro_scale_code(light);
  return s == 0 ? 2000u : 8000u >> s;
}

// Returns D of the 6-axis path, which divides by it.
inline float gyro_divisor_6axis(uint16_t light) {
  if (gyro_scale_code(light) == 0) return 16.384f;
  return 32768.0f / static_cast<float>(gyro_range(light));
}

// Returns G of the 9-axis path, which multiplies by it.
inline float gyro_factor_9axis(uint16_t light) {
  if (gyro_scale_code(light) == 0) return 0.06103515625f;
  return static_cast<float>(gyro_range(light)) * 0x1p-15f;
}

inline constexpr float kMagFactor = 0x1p-15f;

// Sign-extends the 10-bit field at `shift` of a packed word.
inline int32_t packed_field(uint32_t word, unsigned shift) {
  return static_cast<int32_t>(word << (22 - shift)) >> 22;
}

// Decodes packed 3-axis samples; sink(i, x, y, z) receives each sample.
template <class Sink>
inline void packed_3axis(const uint8_t* data, size_t n, uint16_t light, Sink&& sink) {
  // Scaling by 2^e and by 2^-(8 + k) are both exact, so one factor per exponent suffices.
  const float base = accel_factor(light);
  const float factors[4] = {base, base * 2.0f, base * 4.0f, base * 8.0f};
  for (size_t i = 0; i < n; ++i) {
    const uint32_t word = load_u32(data + 4 * i);
    const float factor = factors[word >> 30];
    sink(i, static_cast<float>(packed_field(word, 0)) * factor,
         static_cast<float>(packed_field(word, 10)) * factor,
         static_cast<float>(packed_field(word, 20)) * factor);
  }
}

inline float raw_at(const uint8_t* p) { return static_cast<float>(load_i16(p)); }

template <class Sink>
inline void unpacked_3axis(const uint8_t* data, size_t n, uint16_t light, Sink&& sink) {
  const float factor = accel_factor(light);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = data + 6 * i;
    sink(i, raw_at(p) * factor, raw_at(p + 2) * factor, raw_at(p + 4) * factor);
  }
}

// sink(i, ax, ay, az, gx, gy, gz) for each sample.
template <class Sink>
inline void unpacked_6axis(const uint8_t* data, size_t n, uint16_t light, Sink&& sink) {
  const float factor = accel_factor(light);
  const float divisor = gyro_divisor_6axis(light);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = data + 12 * i;
    sink(i, raw_at(p + 6) * factor, raw_at(p + 8) * factor, raw_at(p + 10) * factor,
         raw_at(p) / divisor, raw_at(p + 2) / divisor, raw_at(p + 4) / divisor);
  }
}

// sink(i, ax, ay, az, gx, gy, gz, p) for each sample, with p pointing at the raw magnetometer
// values; mag_of(p, axis) converts one of them.
template <class Sink>
inline void unpacked_9axis(const uint8_t* data, size_t n, uint16_t light, Sink&& sink) {
  const float factor = accel_factor(light);
  const float gyro = gyro_factor_9axis(light);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = data + 18 * i;
    sink(i, raw_at(p + 6) * factor, raw_at(p + 8) * factor, raw_at(p + 10) * factor,
         raw_at(p) * gyro, raw_at(p + 2) * gyro, raw_at(p + 4) * gyro, p + 12);
  }
}

inline float mag_of(const uint8_t* mag, size_t axis) { return raw_at(mag + 2 * axis) * kMagFactor; }

// Per-packet readings, left to right in 32-bit floats.
inline float temperature_celsius(uint16_t raw) {
  return static_cast<float>(raw & 0x3FF) * 75.0f * 0.00390625f + -50.0f;
}
inline float light_value(uint16_t raw) {
  return ::powf(10.0f, static_cast<float>(raw & 0x3FF) / 341.0f);
}
inline float battery_volts(uint8_t raw) {
  return (static_cast<float>(raw) + 512.0f) * 6.0f * 0.0009765625f;
}

// Light values packet after packet. Light changes slowly and powf is dear, so the last
// conversion is kept.
class LightValues {
 public:
  float of(uint16_t light_field) {
    const uint16_t raw = light_field & 0x3FF;
    if (raw != last_raw_) {
      last_raw_ = raw;
      last_value_ = light_value(raw);
    }
    return last_value_;
  }

 private:
  uint16_t last_raw_ = 0xFFFF;  // no 10-bit reading has this value
  float last_value_ = 0.0f;
};

}  // namespace velmora::decode

namespace velmora {

// Per-packet readings, the same for every sample of the packet, by their slot in the channel
// table.
using PacketReadings = std::array<float, kReadingCount>;

// The readings of packet after packet, as every reader converts them.
class PacketReadingValues {
 public:
  PacketReadings of(const uint8_t* packet) {
    PacketReadings readings{};
    readings[reading_slot("temperature")] =
        decode::temperature_celsius(load_u16(packet + packet_offset::kTemperature));
    readings[reading_slot("light")] = light_.of(load_u16(packet + packet_offset::kLight));
    readings[reading_slot("battery")] = decode::battery_volts(packet[packet_offset::kBattery]);
    return readings;
  }

 private:
  decode::LightValues light_;
};

}  // namespace velmora
