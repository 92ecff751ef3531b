// read_cwa_data: planned blocks decoded straight into columns that are reserved once from the
// plan.
#include "package/read/reader.hpp"

#include <algorithm>
#include <array>

#include "errors/messages.hpp"
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
      : reserve_rows_(reserve_rows), channels_(channels) {
    result_.timestamps.reserve(reserve_rows);
    // Small reads take their pages in one request per column instead of a fault per page (big
    // ones get huge pages and few faults). The room beyond the rows read is unmapped when the
    // columns are handed over.
    const bool populate = reserve_rows <= kPopulatedRowsLimit;
    if (populate) result_.timestamps.populate(reserve_rows);
    for (const ChannelRow& row : kChannels) {
      OptionalColumn& column = result_.*row.member;
      column.reset();
      if (!in_every_packet(row) || !channels.includes(row.flag)) continue;
      column.emplace(reserve_rows);
      if (populate) column->populate(reserve_rows);
    }
  }

  // Appends the rows of a packet whose header passed the checks.
  void add_packet(const uint8_t* packet, std::optional<double>& prev_end);
  CwaDataResult take() { return std::move(result_); }
  size_t rows() const { return result_.rows(); }

 private:
  // Returns the slots for n new values of a motion column that has a value in this packet,
  // creating the column with NaN in every earlier row.
  float* present_slots(OptionalColumn& column, size_t rows_before, size_t n) {
    if (!column) {
      column.emplace(reserve_rows_);
      fill_floats(column->extend(rows_before), rows_before, kMissingValue);
    }
    return column->extend(n);
  }

  CwaDataResult result_;
  BlockClock clock_;
  PacketReadingValues readings_;
  size_t reserve_rows_;
  ChannelSelection channels_;
};

void ColumnFiller::add_packet(const uint8_t* p, std::optional<double>& prev_end) {
  const PacketMeta meta = accepted_packet_meta(p);
  const size_t n = meta.sample_count;
  const size_t rows_before = result_.rows();
  const uint8_t sensors = present_sensors(accepted_format(p), channels_);

  prev_end = write_packet_timestamps(meta, clock_.unix_seconds(meta.timestamp), prev_end,
                                     result_.timestamps.extend(n));
  SampleSlots slots{};
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (!row.reading) {
      OptionalColumn& column = result_.*row.member;
      if constexpr (in_every_packet(row)) {
        slots[c] = column->extend(n);
      } else if ((sensors & sensor_bit(row.sensor)) != 0) {
        slots[c] = present_slots(column, rows_before, n);
      }
    }
  });
  decode_packet_samples(p, n, slots);
  const PacketReadings readings = readings_.of(p);
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    OptionalColumn& column = result_.*row.member;
    if constexpr (row.reading) {
      if (column) fill_floats(column->extend(n), n, readings[kind_slot(c)]);
    } else if constexpr (!in_every_packet(row)) {
      // A motion column the packet has no values for.
      if (column && slots[c] == nullptr) fill_floats(column->extend(n), n, kMissingValue);
    }
  });
}

}  // namespace

Result<CwaDataResult> read_cwa_data(InputFile& input, BlockSelection selection,
                                    ChannelSelection channels) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input, selection));
  const uint64_t blocks = opened.end_block - opened.first_block;
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  // Reserves address space only, for the most rows the planned blocks can hold, capped; a column
  // that outgrows the cap is remapped, not copied. That count is only an upper bound, so it must
  // not meet the physical memory limit itself.
  constexpr uint64_t kReservedRowsCap = uint64_t{1} << 32;
  const uint64_t reserve_rows = std::min({blocks * kMaxSamplesPerPacket, kReservedRowsCap,
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
