// read_cwa_data: planned blocks decoded straight into columns that are sized once from the
// plan. Produces the same bits as parse_samples followed by append_sensor_value per sample.
#include "package/read/reader.hpp"

#include <algorithm>
#include <array>

#include "errors/messages.hpp"
#include "package/decode/data_block.hpp"
#include "package/decode/packet_samples.hpp"
#include "package/decode/sample_decode.hpp"
#include "package/decode/sample_times.hpp"
#include "package/kernels/column_kernels.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_walk.hpp"

namespace velmora {

namespace {

// Fills the result packet by packet; every column is reserved for the plan's largest row count
// so that no column ever moves while it grows.
class ColumnFiller {
 public:
  static constexpr size_t kPopulatedRowsLimit = size_t{4} << 20;

  ColumnFiller(size_t reserve_rows, ChannelSelection channels)
      : reserve_rows_(reserve_rows), include_magnetometer_(channels.include_magnetometer) {
    result_.timestamps.reserve(reserve_rows);
    result_.acc_x.reserve(reserve_rows);
    result_.acc_y.reserve(reserve_rows);
    result_.acc_z.reserve(reserve_rows);
    if (channels.include_temperature) result_.temperature.emplace(reserve_rows);
    if (channels.include_light) result_.light.emplace(reserve_rows);
    if (channels.include_battery) result_.battery.emplace(reserve_rows);
    // Small reads take their pages in one request per column instead of a fault per page (big
    // ones get huge pages and few faults). The room beyond the rows read is unmapped when the
    // columns are handed over.
    if (reserve_rows <= kPopulatedRowsLimit) {
      result_.timestamps.populate(reserve_rows);
      for (Column<float>* column : {&result_.acc_x, &result_.acc_y, &result_.acc_z}) {
        column->populate(reserve_rows);
      }
      for (OptionalColumn* column : {&result_.temperature, &result_.light, &result_.battery}) {
        if (*column) (*column)->populate(reserve_rows);
      }
    }
  }

  // Appends the rows of a packet whose header passed the checks.
  void add_packet(const uint8_t* packet, std::optional<double>& prev_end);
  CwaDataResult take() { return std::move(result_); }
  size_t rows() const { return result_.rows(); }

 private:
  // Returns the slots for n new values of an optional motion column that has a value in this
  // packet, creating the column with NaN in every earlier row.
  float* present_slots(OptionalColumn& column, size_t rows_before, size_t n) {
    if (!column) {
      column.emplace(reserve_rows_);
      fill_floats(column->extend(rows_before), rows_before, kMissingValue);
    }
    return column->extend(n);
  }
  static void fill_missing(OptionalColumn& column, size_t n) {
    if (column) fill_floats(column->extend(n), n, kMissingValue);
  }
  static void fill_reading(OptionalColumn& column, float value, size_t n) {
    if (column) fill_floats(column->extend(n), n, value);
  }

  CwaDataResult result_;
  BlockClock clock_;
  decode::LightValues light_;
  size_t reserve_rows_;
  bool include_magnetometer_;
};

void ColumnFiller::add_packet(const uint8_t* p, std::optional<double>& prev_end) {
  const PacketMeta meta = accepted_packet_meta(p);
  const size_t n = meta.sample_count;
  const size_t rows_before = result_.rows();
  const uint16_t light = load_u16(p + packet_offset::kLight);
  const FormatSensors sensors = format_sensors(p[packet_offset::kSampleFormat]);

  prev_end = write_packet_timestamps(meta, clock_.unix_seconds(meta.timestamp), prev_end,
                                     result_.timestamps.extend(n));
  SampleSlots slots;
  slots.acc = {result_.acc_x.extend(n), result_.acc_y.extend(n), result_.acc_z.extend(n)};
  if (sensors.gyro) {
    slots.gyro = {present_slots(result_.gyro_x, rows_before, n),
                  present_slots(result_.gyro_y, rows_before, n),
                  present_slots(result_.gyro_z, rows_before, n)};
  }
  if (sensors.mag && include_magnetometer_) {
    slots.mag = {present_slots(result_.mag_x, rows_before, n),
                 present_slots(result_.mag_y, rows_before, n),
                 present_slots(result_.mag_z, rows_before, n)};
  }
  decode_packet_samples(p, n, slots);
  if (slots.gyro[0] == nullptr) {
    fill_missing(result_.gyro_x, n);
    fill_missing(result_.gyro_y, n);
    fill_missing(result_.gyro_z, n);
  }
  if (slots.mag[0] == nullptr) {
    fill_missing(result_.mag_x, n);
    fill_missing(result_.mag_y, n);
    fill_missing(result_.mag_z, n);
  }
  if (result_.temperature) {
    fill_reading(result_.temperature,
                 decode::temperature_celsius(load_u16(p + packet_offset::kTemperature)), n);
  }
  if (result_.light) fill_reading(result_.light, light_.of(light), n);
  if (result_.battery) {
    fill_reading(result_.battery, decode::battery_volts(p[packet_offset::kBattery]), n);
  }
}

}  // namespace

Result<CwaDataResult> read_cwa_data(std::string_view path, BlockSelection selection,
                                    ChannelSelection channels) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(path, selection));
  const uint64_t blocks = opened.end_block - opened.first_block;
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  // Reserves address space only; a column that outgrows the cap is remapped, not copied. The
  // bound on rows is only an upper bound, so it must not meet the physical memory limit itself.
  constexpr uint64_t kMaxReservedRows = uint64_t{1} << 32;
  const uint64_t reserve_rows = std::min({blocks * kMaxSamplesPerPacket, kMaxReservedRows,
                                          uint64_t{max_rows_in_memory(sizeof(int64_t))}});
  ColumnFiller filler(static_cast<size_t>(reserve_rows), channels);
  std::optional<double> prev_end = opened.prev_end;
  VELMORA_TRY(walk_sample_packets(reader, blocks, [&](uint64_t, const uint8_t* packet) {
    filler.add_packet(packet, prev_end);
  }));
  if (filler.rows() == 0) return fail(ErrorCode::kNoSampleDataInRange);
  return filler.take();
}

}  // namespace velmora
