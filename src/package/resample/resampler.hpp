// StreamingResampler: irregularly timed samples in, rows on a regular time grid out, by
// 4-point Lagrange (cubic) interpolation with a linear fallback, holding only a few samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "package/read/data_result.hpp"
#include "package/resample/pending_rows.hpp"
#include "package/resample/sample_queue.hpp"

namespace velmora {

// What a caller of push_staged vouches for about the samples it pushes, so that the resampler
// need not check it.
struct StagedFacts {
  // All the samples have the same readings, as those of one packet do.
  bool readings_shared = false;
  // The times are signed 64-bit microsecond counts over 10^6 (so below 2^44 s in magnitude) and
  // every accelerometer value and reading is finite, as decoded packets give them.
  bool decoded = false;
  // The readings of all the samples, by their place among the queue's readings, when the samples
  // were staged with shared readings; null when the caller wrote them into the staged slots.
  const std::array<double, kReadingCount>* readings = nullptr;
};

class StreamingResampler {
 public:
  // `resample_hz` is a validated rate; the bounds are absolute seconds (start inclusive, end
  // exclusive) and must be finite when set. The readings `channels` asks for become columns.
  StreamingResampler(std::optional<double> range_start_time, std::optional<double> range_end_time,
                     ChannelSelection channels, double resample_hz);
  // The output pointers refer into the resampler's own columns.
  StreamingResampler(const StreamingResampler&) = delete;
  StreamingResampler& operator=(const StreamingResampler&) = delete;

  // Slots for the n samples of a packet, which the caller fills in and then pushes with
  // push_staged; they stay readable until the next stage call. Motion values may be left
  // unwritten for samples without them while no motion_queued() and the packet has none. With
  // `shared_readings` the readings' slots are null, and push_staged takes the readings in
  // StagedFacts::readings instead.
  StagedEntries stage(size_t n, bool shared_readings = false) {
    return queue_.stage(n, shared_readings);
  }
  // Pushes the n staged samples in order until finished(); returns how many were pushed.
  size_t push_staged(size_t n, StagedFacts facts = {});
  // Appends every grid point computable now; `final` flushes up to the last sample.
  void emit_ready(bool final);

  // Whether the next grid point lies at or after range_end_time: nothing more will be emitted.
  bool finished() const { return finished_; }
  // Whether the grid has usable times: a rate so small that its step overflows has none.
  bool grid_defined() const { return grid_defined_; }
  size_t queued() const { return queue_.size(); }
  // Whether some pushed sample has had a gyroscope or magnetometer value.
  bool motion_queued() const { return motion_queued_; }
  std::optional<double> grid_origin_ms() const { return grid_origin_ms_; }

  // Grows the output columns' room to `rows`, when the grid length is known ahead.
  void reserve(size_t rows);
  // Creates an optional output column ahead of its first value, NaN in every existing row.
  void ensure_column(OptionalColumn CwaDataResult::*member);

  // The rows so far, every column counted up to them.
  const CwaDataResult& output() {
    commit_rows();
    return output_;
  }
  CwaDataResult take_output() {
    commit_rows();
    return std::move(output_);
  }

 private:
  struct RowWeights;

  double grid_time(uint64_t k) const;
  void set_origin(double first_time_s);
  void mark_runs(size_t from, size_t n, StagedFacts facts);
  bool steady_entries(size_t from, size_t n, StagedFacts facts) const;
  void fill_grid(uint64_t first);
  void emit(bool final);
  void write_rows();
  void write_row(size_t row, double x, size_t slot, bool support, bool common);
  void write_motion(const RowWeights& weights, size_t row);
  void put_motion(size_t channel, bool present, float value, size_t row);
  OptionalColumn& optional_column(size_t channel);
  void make_room(size_t rows);
  void make_room_ahead(double time_s);
  size_t output_row_bytes() const;
  void refresh_outputs();
  void commit_rows();

  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  std::optional<double> grid_origin_ms_;  // time of grid point 0; unset until the first sample
  SampleQueue queue_;
  CwaDataResult output_;
  double step_ms_;  // 1000.0 / resample_hz, computed once
  bool grid_defined_;
  bool wide_rows_;  // rows may go through the vector kernel
  // Which of the queue's readings make columns.
  std::array<bool, kReadingCount> reading_columns_{};
  bool all_decoded_ = true;  // every sample pushed so far came with StagedFacts::decoded
  // The run of equal readings that the last staged entries belong to, if any.
  bool run_open_ = false;
  std::array<double, kReadingCount> run_readings_{};
  size_t cursor_ = 0;           // queue index of the interval start found last
  uint64_t emitted_count_ = 0;  // index of the next grid point
  bool finished_ = false;

  // Grid times are computed a block at a time: grid_x_[j] is the time of point grid_first_ + j.
  static constexpr size_t kGridBlock = 256;
  std::array<double, kGridBlock> grid_x_{};
  uint64_t grid_first_ = 0;

  PendingRows pending_;

  // Rows written between two checks for a pending signal: a few milliseconds of work.
  static constexpr size_t kRowsPerInterruptCheck = size_t{1} << 16;
  size_t next_interrupt_check_ = 0;  // rows_ at which write_rows next checks for a signal

  // Rows are written straight into the columns' reserved room and counted in, column by
  // column, only when the output is looked at or a column changes: counting them in after every
  // packet cost more than some of the rows' arithmetic.
  size_t rows_ = 0;             // rows written, counted in or not
  size_t room_rows_ = 0;        // rows every present column has room for
  bool any_motion_ = false;     // some gyroscope or magnetometer column exists
  bool motion_queued_ = false;  // some queued sample has had a motion value
  int64_t* timestamps_out_ = nullptr;
  std::array<float*, kResampledChannels> channel_out_{};  // null for an absent column
};

}  // namespace velmora
