// StreamingResampler: irregularly timed samples in, rows on a regular time grid out, by
// 4-point Lagrange (cubic) interpolation with a linear fallback, holding only a few samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "package/data_block.hpp"
#include "package/data_result.hpp"

namespace velmora {

// One queued input sample with the readings of the packet that holds it.
struct TimedSample {
  double time_s;  // microsecond timestamp / 1000000.0
  SampleData sample;
  float temperature;
  float light;
  float battery;
};

// Positions of the channels in a queue entry: the six every row has, then the motion sensors.
enum ResampledChannel : size_t {
  kChannelAccX,
  kChannelAccY,
  kChannelAccZ,
  kChannelTemperature,
  kChannelLight,
  kChannelBattery,
  kChannelGyroX,
  kChannelGyroY,
  kChannelGyroZ,
  kChannelMagX,
  kChannelMagY,
  kChannelMagZ,
  kResampledChannels,
};

// A queued sample as interpolation reads it: one cache line, every channel a float, and a
// motion value the sample lacks stored as NaN.
// Interpolation falls back to linear when a cubic denominator, or the interval, is shorter.
inline constexpr double kDegenerateSpan = 1e-12;

struct QueuedSample {
  double time_s;
  std::array<float, kResampledChannels> value;
  bool has_gyro;
  bool has_mag;
};

// A double-ended queue of samples in one contiguous run: removal at the front moves a start
// index, insertion at the back moves the few live entries to the front of the storage when
// its end is reached, so both stay constant-time on average and steady streaming allocates
// nothing.
class SampleQueue {
 public:
  size_t size() const { return end_ - head_; }
  bool empty() const { return end_ == head_; }
  // The entries in order; valid until the next emplace_back.
  const QueuedSample* data() const { return slots_.data() + head_; }
  const QueuedSample& operator[](size_t i) const { return data()[i]; }
  double time(size_t i) const { return data()[i].time_s; }
  // Appends an entry for the caller to fill in place.
  QueuedSample& emplace_back() {
    if (end_ == slots_.size()) [[unlikely]]
      make_room();
    return slots_[end_++];
  }
  void pop_front(size_t count) { head_ += count; }

 private:
  void make_room();

  // The two ends are updated by separate calls and kept apart in memory: a wide load of both
  // right after a narrow store of one would stall waiting for the store.
  size_t head_ = 0;  // slot of entry 0
  std::vector<QueuedSample> slots_;
  size_t end_ = 0;  // slot after the last entry
};

// Which of the per-packet readings become output columns.
struct ReadingSelection {
  bool temperature = false;
  bool light = false;
  bool battery = false;
};

class StreamingResampler {
 public:
  // `resample_hz` is a validated rate; the bounds are absolute seconds (start inclusive, end
  // exclusive) and must be finite when set.
  StreamingResampler(std::optional<double> range_start_time, std::optional<double> range_end_time,
                     ReadingSelection readings, double resample_hz);
  // The output pointers refer into the resampler's own columns.
  StreamingResampler(const StreamingResampler&) = delete;
  StreamingResampler& operator=(const StreamingResampler&) = delete;

  // Queues a sample (setting the grid origin with the first one) and emits what is ready.
  // Must not be called once finished().
  void push(const TimedSample& sample);
  // The same, filling the queue entry in place from a decoded sample and its packet's readings.
  void push(double time_s, const SampleData& sample, const PacketReadings& readings);
  // Pushes samples of one packet in order until finished(); returns how many were pushed.
  size_t push_samples(std::span<const double> times_s, std::span<const SampleData> samples,
                      const PacketReadings& readings);
  // Appends every grid point computable now; `final` flushes up to the last sample.
  void emit_ready(bool final);

  // Whether the next grid point lies at or after range_end_time: nothing more will be emitted.
  bool finished() const { return finished_; }
  // Whether the grid has usable times: a rate so small that its step overflows has none.
  bool grid_defined() const { return grid_defined_; }
  size_t queued() const { return queue_.size(); }
  std::optional<double> grid_origin_ms() const { return grid_origin_ms_; }

  // Grows the output columns' room to `rows`, when the grid length is known ahead.
  void reserve(size_t rows);
  // Creates an optional output column ahead of its first value, NaN in every existing row.
  void ensure_column(OptionalColumn CwaDataResult::*member);

  const CwaDataResult& output() const { return output_; }
  CwaDataResult take_output() { return std::move(output_); }

 private:
  struct RowWeights;

  double grid_time(uint64_t k) const;
  void advance_grid();
  void enqueue(double time_s, const SampleData& sample, const PacketReadings& readings);
  void after_push(double time_s);
  void emit(bool final);
  void trim_at(size_t i);
  void write_row(double x, size_t i);
  void write_common(double x, const std::array<float, 6>& common);
  void write_motion(const RowWeights& row, double x, size_t row_index);
  void put_motion(size_t channel, bool present, float value, size_t row_index);
  OptionalColumn& optional_column(size_t channel);
  void make_room();
  void refresh_outputs();
  void commit_rows();

  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  std::optional<double> grid_origin_ms_;  // time of grid point 0; unset until the first sample
  SampleQueue queue_;
  CwaDataResult output_;
  double step_ms_;  // 1000.0 / resample_hz, computed once
  bool grid_defined_;
  bool wide_rows_;              // cubic rows may use the vector kernel
  size_t cursor_ = 0;           // queue index of the interval start found last
  uint64_t emitted_count_ = 0;  // index of the next grid point
  double next_x_ = 0.0;         // time of grid point emitted_count_, once the origin is set
  double following_x_ = 0.0;    // time of grid point emitted_count_ + 1 when that is odd
  bool finished_ = false;

  // Rows are written straight into the columns' reserved room and counted in, column by
  // column, when a public call returns; every column then has `rows_` entries again.
  size_t rows_ = 0;            // rows written, counted in or not
  size_t room_rows_ = 0;       // rows every present column has room for
  bool all_readings_ = false;  // temperature, light and battery columns all present
  bool any_motion_ = false;    // some gyroscope or magnetometer column exists
  int64_t* timestamps_out_ = nullptr;
  std::array<float*, kResampledChannels> channel_out_{};  // null for an absent column
};

}  // namespace velmora
