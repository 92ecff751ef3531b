// The resampled read: the planned blocks decoded packet by packet and streamed through one
// StreamingResampler, with the plan's time bounds applied on the grid.
#include "package/resampled_read.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>

#include "errors/messages.hpp"
#include "package/opened_blocks.hpp"
#include "package/packet_stream.hpp"
#include "package/resampler.hpp"

namespace velmora {

namespace {

using TimePair [[gnu::vector_size(16)]] = double;

// Beyond this many rows the columns simply grow as they fill.
constexpr double kMaxReservedRows = static_cast<double>(size_t{1} << 26);

struct MotionChannel {
  bool SampleData::*present;
  float SampleData::*value;
  OptionalColumn CwaDataResult::*column;
};

constexpr std::array<MotionChannel, 6> kMotionChannels = {{
    {&SampleData::has_gyro, &SampleData::gyro_x, &CwaDataResult::gyro_x},
    {&SampleData::has_gyro, &SampleData::gyro_y, &CwaDataResult::gyro_y},
    {&SampleData::has_gyro, &SampleData::gyro_z, &CwaDataResult::gyro_z},
    {&SampleData::has_mag, &SampleData::mag_x, &CwaDataResult::mag_x},
    {&SampleData::has_mag, &SampleData::mag_y, &CwaDataResult::mag_y},
    {&SampleData::has_mag, &SampleData::mag_z, &CwaDataResult::mag_z},
}};

Status check_time_bounds(std::optional<double> range_start_time,
                         std::optional<double> range_end_time) {
  if (range_start_time && !std::isfinite(*range_start_time)) return fail(msg::kTimeRangeNotFinite);
  if (range_end_time && !std::isfinite(*range_end_time)) return fail(msg::kTimeRangeNotFinite);
  if (range_start_time && range_end_time && !(*range_start_time < *range_end_time)) {
    return fail(msg::kTimeRangeOrder);
  }
  return {};
}

// Estimates the grid length from the first packet's pace and the number of planned blocks,
// bounded by the time window when it has both ends; 0 when nothing sensible is known.
size_t expected_grid_rows(const DecodedPacket& first, uint64_t planned_blocks, double resample_hz,
                          std::optional<double> range_start_time,
                          std::optional<double> range_end_time) {
  double seconds = -1.0;
  if (first.count >= 2) {
    const double spread_us =
        static_cast<double>(first.timestamps[first.count - 1] - first.timestamps[0]);
    const double packet_s = spread_us * static_cast<double>(first.count) /
                            static_cast<double>(first.count - 1) / 1000000.0;
    seconds = packet_s * static_cast<double>(planned_blocks);
  }
  if (range_start_time && range_end_time) {
    const double window = *range_end_time - *range_start_time;
    if (seconds < 0.0 || window < seconds) seconds = window;
  }
  const double rows = seconds * resample_hz + 2.0;
  if (!(rows > 0.0)) return 0;
  return static_cast<size_t>(std::min(rows, kMaxReservedRows));
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(
    std::string_view path, BlockSelection selection, double resample_hz, ChannelSelection channels,
    std::optional<double> range_start_time, std::optional<double> range_end_time) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(path, selection));
  if (opened.first_block >= opened.end_block) return fail(msg::kNoSampleDataInRange);
  const uint64_t planned_blocks = opened.end_block - opened.first_block;
  PacketStream stream(std::move(opened), channels.include_magnetometer);

  std::optional<StreamingResampler> resampler;
  std::array<double, kMaxSamplesPerPacket> times;
  bool stop = false;
  while (!stop) {
    VELMORA_ASSIGN_OR_RETURN(const DecodedPacket* packet, stream.next());
    if (packet == nullptr) break;
    if (!resampler) {
      VELMORA_TRY(check_time_bounds(range_start_time, range_end_time));
      resampler.emplace(range_start_time, range_end_time,
                        ReadingSelection{channels.include_temperature, channels.include_light,
                                         channels.include_battery},
                        resample_hz);
      // A grid without usable times can take no sample; reading on would change nothing.
      if (!resampler->grid_defined()) break;
      resampler->reserve(expected_grid_rows(*packet, planned_blocks, resample_hz, range_start_time,
                                            range_end_time));
    }
    const size_t count = packet->count;
    // Two times share one packed division; each lane divides exactly as a scalar would.
    size_t converted = 0;
    for (; converted + 1 < count; converted += 2) {
      const TimePair us = {static_cast<double>(packet->timestamps[converted]),
                           static_cast<double>(packet->timestamps[converted + 1])};
      const TimePair seconds = us / TimePair{1000000.0, 1000000.0};
      times[converted] = seconds[0];
      times[converted + 1] = seconds[1];
    }
    if (converted < count) {
      times[converted] = static_cast<double>(packet->timestamps[converted]) / 1000000.0;
    }
    const bool was_finished = resampler->finished();
    const size_t pushed = resampler->push_samples(
        std::span(times.data(), count), std::span(packet->samples.data(), count), packet->readings);
    // Reading ends at the first sample at or after range_end_time that arrives once the grid
    // is complete: later blocks cannot matter.
    size_t seen = count;
    if (resampler->finished() && range_end_time) {
      const size_t first = was_finished || pushed == 0 ? 0 : pushed - 1;
      for (size_t j = first; j < count; ++j) {
        if (times[j] >= *range_end_time) {
          seen = j + 1;
          stop = true;
          break;
        }
      }
    }
    // Samples inside the window decide which motion columns exist, even where no grid point
    // ends up with a value for them.
    for (size_t j = 0; j < seen; ++j) {
      const SampleData& sample = packet->samples[j];
      if (!sample.has_gyro && !sample.has_mag) continue;
      const double t = times[j];
      const bool in_bounds =
          (!range_start_time || t >= *range_start_time) && (!range_end_time || t < *range_end_time);
      if (!in_bounds) continue;
      for (const MotionChannel& channel : kMotionChannels) {
        if (sample.*channel.present) resampler->ensure_column(channel.column);
      }
    }
  }

  if (!resampler) return fail(msg::kNoSampleDataInRange);
  resampler->emit_ready(true);
  if (resampler->output().rows() == 0) return fail(msg::kNoSamplesAfterResampling);
  return resampler->take_output();
}

}  // namespace velmora
