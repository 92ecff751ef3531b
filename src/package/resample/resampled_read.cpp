// The resampled read: the planned blocks decoded packet by packet straight into the queue of one
// StreamingResampler, with the plan's time bounds applied on the grid.
#include "package/resample/resampled_read.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "errors/messages.hpp"
#include "package/decode/packet_samples.hpp"
#include "package/decode/sample_decode.hpp"
#include "package/decode/sample_times.hpp"
#include "package/kernels/column_kernels.hpp"
#include "package/kernels/resampler_kernel.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "package/read/time_filter.hpp"
#include "package/resample/resampler.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_walk.hpp"

namespace velmora {

namespace {

// The grid estimate's cap: beyond this many rows the output columns simply grow as they fill.
constexpr double kMaxEstimatedGridRows = static_cast<double>(size_t{1} << 26);

// Estimates the grid length from the first packet's pace and the number of planned blocks,
// bounded by the time window when it has both ends; 0 when nothing sensible is known.
size_t expected_grid_rows(const int64_t* first_times, size_t count, uint64_t planned_blocks,
                          double resample_hz, std::optional<double> range_start_time,
                          std::optional<double> range_end_time) {
  double seconds = -1.0;
  if (count >= 2) {
    const double spread_us = static_cast<double>(first_times[count - 1] - first_times[0]);
    const double packet_s =
        spread_us * static_cast<double>(count) / static_cast<double>(count - 1) / 1000000.0;
    seconds = packet_s * static_cast<double>(planned_blocks);
  }
  if (range_start_time && range_end_time) {
    const double window = *range_end_time - *range_start_time;
    if (seconds < 0.0 || window < seconds) seconds = window;
  }
  const double rows = seconds * resample_hz + 2.0;
  if (!(rows > 0.0)) return 0;
  return static_cast<size_t>(std::min(rows, kMaxEstimatedGridRows));
}

// Feeds the samples of each data packet to the resampler, creating it at the first one.
class ResampledReader {
 public:
  ResampledReader(uint64_t planned_blocks, std::optional<double> prev_end, double resample_hz,
                  ChannelSelection channels, std::optional<double> range_start_time,
                  std::optional<double> range_end_time)
      : planned_blocks_(planned_blocks),
        prev_end_(prev_end),
        resample_hz_(resample_hz),
        channels_(channels),
        range_start_time_(range_start_time),
        range_end_time_(range_end_time) {}

  // Takes one packet whose header passed the checks; returns whether reading goes on.
  bool add_packet(const uint8_t* packet);

  // The failure that ended the walk, if any.
  Status& status() { return status_; }
  std::optional<StreamingResampler>& resampler() { return resampler_; }

 private:
  bool start(const PacketMeta& meta, int64_t whole_seconds);
  void stage_packet(const uint8_t* packet, size_t n, const StagedEntries& staged);
  std::array<double, kReadingCount> queue_readings(const uint8_t* packet);
  void create_motion_columns(uint8_t sensors, const double* times, size_t seen);

  uint64_t planned_blocks_;
  std::optional<double> prev_end_;
  double resample_hz_;
  ChannelSelection channels_;
  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  std::optional<StreamingResampler> resampler_;
  Status status_;
  BlockClock clock_;
  AxisValues decoded_;
  PacketReadingValues readings_;
};

bool ResampledReader::add_packet(const uint8_t* p) {
  const PacketMeta meta = accepted_packet_meta(p);
  const size_t n = meta.sample_count;
  const int64_t whole_seconds = clock_.unix_seconds(meta.timestamp);
  if (!resampler_ && !start(meta, whole_seconds)) return false;
  StreamingResampler& resampler = *resampler_;
  const StagedEntries staged = resampler.stage(n, /*shared_readings=*/true);
  prev_end_ = write_packet_seconds(meta, whole_seconds, prev_end_, staged.time);
  stage_packet(p, n, staged);
  const std::array<double, kReadingCount> readings = queue_readings(p);

  const bool was_finished = resampler.finished();
  const size_t pushed = resampler.push_staged(
      n, StagedFacts{.readings_shared = true, .decoded = true, .readings = &readings});
  // Reading ends at the first sample at or after range_end_time that arrives once the grid is
  // complete: later blocks cannot matter.
  size_t seen = n;
  bool go_on = true;
  if (resampler.finished() && range_end_time_) {
    const size_t first = was_finished || pushed == 0 ? 0 : pushed - 1;
    for (size_t j = first; j < n; ++j) {
      if (staged.time[j] >= *range_end_time_) {
        seen = j + 1;
        go_on = false;
        break;
      }
    }
  }
  const uint8_t sensors = present_sensors(accepted_format(p), channels_);
  if ((sensors & kMotionSensors) != 0) create_motion_columns(sensors, staged.time, seen);
  return go_on;
}

// Checks the bounds and creates the resampler at the first packet; false when reading cannot
// go on.
bool ResampledReader::start(const PacketMeta& meta, int64_t whole_seconds) {
  status_ = check_time_bounds(range_start_time_, range_end_time_);
  if (!status_) return false;
  resampler_.emplace(range_start_time_, range_end_time_, channels_, resample_hz_);
  // A grid without usable times can take no sample; reading on would change nothing.
  if (!resampler_->grid_defined()) return false;
  // The first packet's pace sizes the grid.
  std::array<int64_t, kMaxSamplesPerPacket> first_times;
  write_packet_timestamps(meta, whole_seconds, prev_end_, first_times.data());
  resampler_->reserve(expected_grid_rows(first_times.data(), meta.sample_count, planned_blocks_,
                                         resample_hz_, range_start_time_, range_end_time_));
  return true;
}

// Writes the packet's n samples into the staged queue entries: packed ones decoded straight to
// double, others decoded as floats, then widened. The readings go with push_staged.
void ResampledReader::stage_packet(const uint8_t* p, size_t n, const StagedEntries& staged) {
  const uint8_t sensors = present_sensors(accepted_format(p), channels_);
  std::array<double*, kSensorAxes> wide{};
  SampleSlots slots{};
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (!row.reading) {
      wide[c] = staged.value[kQueueChannelOf[c]];
      if ((sensors & sensor_bit(row.sensor)) != 0) slots[c] = decoded_[c].data();
    }
  });
  // Motion values are read only once some sample has had them.
  const bool any_motion = (sensors & kMotionSensors) != 0 || resampler_->motion_queued();
  const bool packed = decode_packed_samples_wide(p, n, wide);
  if (!packed) decode_packet_samples(p, n, slots);
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (!row.reading && in_every_packet(row)) {
      if (!packed) widen_floats(decoded_[c].data(), n, wide[c]);
    } else if constexpr (!row.reading) {
      if (!any_motion) return;
      if (slots[c] != nullptr) {
        widen_floats(decoded_[c].data(), n, wide[c]);
      } else {
        fill_doubles(wide[c], n, std::numeric_limits<double>::quiet_NaN());
      }
    }
  });
  std::fill_n(staged.motion, n, static_cast<uint8_t>(sensors & kMotionSensors));
}

// The packet's readings in the queue's order, which every one of its samples shares.
std::array<double, kReadingCount> ResampledReader::queue_readings(const uint8_t* p) {
  const PacketReadings readings = readings_.of(p);
  std::array<double, kReadingCount> values{};
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (row.reading) {
      values[kQueueChannelOf[c] - kFirstQueueReading] = static_cast<double>(readings[kind_slot(c)]);
    }
  });
  return values;
}

// Samples inside the window decide which motion columns exist, even where no grid point ends up
// with a value for them.
void ResampledReader::create_motion_columns(uint8_t sensors, const double* times, size_t seen) {
  for (size_t j = 0; j < seen; ++j) {
    const double t = times[j];
    const bool in_bounds = (!range_start_time_ || t >= *range_start_time_) &&
                           (!range_end_time_ || t < *range_end_time_);
    if (!in_bounds) continue;
    for_each_channel([&](auto c) {
      constexpr ChannelRow row = kChannels[c];
      if constexpr (!in_every_packet(row)) {
        if ((sensors & sensor_bit(row.sensor)) != 0) resampler_->ensure_column(row.member);
      }
    });
    return;
  }
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(InputFile& input, BlockSelection selection,
                                                        double resample_hz,
                                                        ChannelSelection channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input, selection));
  if (opened.first_block >= opened.end_block) return fail(ErrorCode::kNoSampleDataInRange);
  const uint64_t planned_blocks = opened.end_block - opened.first_block;
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  ResampledReader feeder(planned_blocks, opened.prev_end, resample_hz, channels, range_start_time,
                         range_end_time);
  VELMORA_TRY(walk_sample_packets(reader, planned_blocks, [&](uint64_t, const uint8_t* packet) {
    return feeder.add_packet(packet);
  }));
  VELMORA_TRY(std::move(feeder.status()));

  std::optional<StreamingResampler>& resampler = feeder.resampler();
  if (!resampler) return fail(ErrorCode::kNoSampleDataInRange);
  resampler->emit_ready(true);
  if (resampler->output().rows() == 0) return fail(ErrorCode::kNoSamplesAfterResampling);
  return resampler->take_output();
}

}  // namespace velmora
