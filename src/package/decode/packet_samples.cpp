// Decoding a packet's samples by its format into per-channel arrays.
#include "package/decode/packet_samples.hpp"

#include "package/decode/sample_decode.hpp"
#include "package/kernels/column_kernels.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

void decode_packet_samples(const uint8_t* p, size_t n, const SampleSlots& out) {
  const uint16_t light = load_u16(p + packet_offset::kLight);
  const uint8_t* data = p + packet_offset::kSampleData;
  float* ax = out[axis_slot("acc_x")];
  float* ay = out[axis_slot("acc_y")];
  float* az = out[axis_slot("acc_z")];
  float* gx = out[axis_slot("gyro_x")];
  float* gy = out[axis_slot("gyro_y")];
  float* gz = out[axis_slot("gyro_z")];
  const auto six_axes = [=](size_t i, float x, float y, float z, float g0, float g1, float g2) {
    ax[i] = x;
    ay[i] = y;
    az[i] = z;
    gx[i] = g0;
    gy[i] = g1;
    gz[i] = g2;
  };
  switch (p[packet_offset::kSampleFormat]) {
    case 0x30:
      decode_packed_3axis(data, n, light, ax, ay, az);
      break;
    case 0x32:
      decode::unpacked_3axis(data, n, light, [=](size_t i, float x, float y, float z) {
        ax[i] = x;
        ay[i] = y;
        az[i] = z;
      });
      break;
    case 0x62:
      decode::unpacked_6axis(data, n, light, six_axes);
      break;
    default: {
      // The header checks admit no other format than 0x92 here.
      float* mx = out[axis_slot("mag_x")];
      float* my = out[axis_slot("mag_y")];
      float* mz = out[axis_slot("mag_z")];
      decode::unpacked_9axis(data, n, light,
                             [=](size_t i, float x, float y, float z, float g0, float g1, float g2,
                                 const uint8_t* mag) {
                               six_axes(i, x, y, z, g0, g1, g2);
                               if (mx != nullptr) {
                                 mx[i] = decode::mag_of(mag, 0);
                                 my[i] = decode::mag_of(mag, 1);
                                 mz[i] = decode::mag_of(mag, 2);
                               }
                             });
      break;
    }
  }
}

bool decode_packed_samples_wide(const uint8_t* p, size_t n,
                                const std::array<double*, kSensorAxes>& out) {
  if (p[packet_offset::kSampleFormat] != 0x30) return false;
  decode_packed_3axis(p + packet_offset::kSampleData, n, load_u16(p + packet_offset::kLight),
                      out[axis_slot("acc_x")], out[axis_slot("acc_y")], out[axis_slot("acc_z")]);
  return true;
}

}  // namespace velmora
