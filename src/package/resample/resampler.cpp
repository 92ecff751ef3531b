// StreamingResampler: the grid, the search for each grid point's interval, the queue trims, and
// the cubic and linear interpolation of the rows found.
#include "package/resample/resampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "errors/interrupt.hpp"
#include "errors/memory_limit.hpp"
#include "package/decode/sample_times.hpp"
#include "package/kernels/resampler_kernel.hpp"

namespace velmora {

namespace {

constexpr size_t kInitialRoomRows = 4096;

// The sensor_bit of each queue channel's sensor, which the motion flags of entries hold.
constexpr std::array<uint8_t, kResampledChannels> kSensorBits = [] {
  std::array<uint8_t, kResampledChannels> bits{};
  for (size_t channel = 0; channel < kResampledChannels; ++channel) {
    bits[channel] = sensor_bit(kChannels[kQueueRows[channel]].sensor);
  }
  return bits;
}();

}  // namespace

// The quantities one row shares across its channels: the slots of the entries around the grid
// point, the Lagrange weights and whether they apply, and the linear fraction.
struct StreamingResampler::RowWeights {
  const SampleQueue& queue;
  size_t slot;  // entry i
  double x;
  bool cubic = false;
  bool flat = false;               // |t1 - t0| < 1e-12: take y0 as it is
  std::array<double, 4> weight{};  // N_j / d_j for j = -1, 0, 1, 2
  double fraction = 0.0;           // (x - t0) / (t1 - t0), when neither cubic nor flat

  RowWeights(const SampleQueue& q, size_t start_slot, double grid_x, bool support)
      : queue(q), slot(start_slot), x(grid_x) {
    const double* t = q.times();
    const double t0 = t[slot];
    const double t1 = t[slot + 1];
    if (support) {
      const double tm1 = t[slot - 1];
      const double t2 = t[slot + 2];
      const double d_m1 = (tm1 - t2) * ((tm1 - t1) * (tm1 - t0));
      const double d_0 = (t0 - t2) * ((t0 - t1) * (t0 - tm1));
      const double d_1 = (t1 - t2) * ((t1 - t0) * (t1 - tm1));
      const double d_2 = (t2 - t1) * ((t2 - t0) * (t2 - tm1));
      // Degenerate when any |d| is below the span; a NaN denominator is not below it.
      const bool degenerate = std::abs(d_m1) < kDegenerateSpan || std::abs(d_0) < kDegenerateSpan ||
                              std::abs(d_1) < kDegenerateSpan || std::abs(d_2) < kDegenerateSpan;
      // An interval more than twice as long as both its neighbours is a gap in the recording;
      // a cubic through the close pairs on either side would swing far outside the data there.
      const bool gap = (t1 - t0) > 2.0 * (t0 - tm1) && (t1 - t0) > 2.0 * (t2 - t1);
      if (!degenerate && !gap) {
        const double a_m1 = x - tm1;
        const double a_0 = x - t0;
        const double a_1 = x - t1;
        const double a_2 = x - t2;
        weight = {((a_0 * a_1) * a_2) / d_m1, ((a_m1 * a_1) * a_2) / d_0,
                  ((a_m1 * a_0) * a_2) / d_1, ((a_m1 * a_0) * a_1) / d_2};
        cubic = true;
      }
    }
    flat = std::abs(t1 - t0) < kDegenerateSpan;
    if (!flat) fraction = (x - t0) / (t1 - t0);
  }

  // One channel: the cubic rule when it applies and no value is NaN, else the linear rule, in
  // which NaN in y0 or y1 comes out as NaN.
  // The values are widened floats, so narrowing y0 gives it back unchanged.
  float channel(size_t c) const {
    const double* v = queue.values(c);
    const double y0 = v[slot];
    const double y1 = v[slot + 1];
    if (cubic) {
      const double ym1 = v[slot - 1];
      const double y2 = v[slot + 2];
      if (!std::isnan(ym1) && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2)) {
        const double t_m1 = weight[0] * ym1;
        const double t_0 = weight[1] * y0;
        const double t_1 = weight[2] * y1;
        const double t_2 = weight[3] * y2;
        return static_cast<float>(((t_m1 + t_0) + t_1) + t_2);
      }
    }
    if (flat) return static_cast<float>(y0);
    return static_cast<float>(fraction * (y1 - y0) + y0);
  }
};

StreamingResampler::StreamingResampler(std::optional<double> range_start_time,
                                       std::optional<double> range_end_time,
                                       ChannelSelection channels, double resample_hz)
    : range_start_time_(range_start_time),
      range_end_time_(range_end_time),
      step_ms_(1000.0 / resample_hz),
      grid_defined_(std::isfinite(step_ms_)),
      wide_rows_(wide_rows_supported()) {
  for (size_t j = 0; j < kReadingCount; ++j) {
    const ChannelRow& row = kChannels[kQueueRows[kFirstQueueReading + j]];
    reading_columns_[j] = channels.includes(row.flag);
    if (reading_columns_[j]) (output_.*row.member).emplace();
  }
}

double StreamingResampler::grid_time(uint64_t k) const {
  return (static_cast<double>(k) * step_ms_ + *grid_origin_ms_) / 1000.0;
}

void StreamingResampler::set_origin(double first_time_s) {
  double origin = first_time_s;
  if (range_start_time_ && *range_start_time_ > origin) origin = *range_start_time_;
  grid_origin_ms_ = 1000.0 * origin;
  // Lift grid point 0 to the first sample's time when the round trip through milliseconds
  // lands one ulp below it; no interval could hold the point and the queue would never drain.
  while (grid_time(0) < first_time_s) {
    grid_origin_ms_ = std::nextafter(*grid_origin_ms_, std::numeric_limits<double>::infinity());
  }
  fill_grid(0);
}

// Computes the times of the grid points from `first` on into grid_x_.
void StreamingResampler::fill_grid(uint64_t first) {
  grid_times(first, kGridBlock, step_ms_, *grid_origin_ms_, grid_x_.data());
  grid_first_ = first;
}

size_t StreamingResampler::push_staged(size_t n, StagedFacts facts) {
  // An infinite step puts every grid point at NaN: nothing could ever be emitted, so holding
  // samples would only grow the queue with the file.
  if (!grid_defined_ || n == 0) return n;
  const double* times = queue_.times();
  make_room_ahead(times[queue_.end() + n - 1]);
  all_decoded_ = all_decoded_ && facts.decoded;
  if (facts.readings != nullptr) {
    for (size_t j = 0; j < kReadingCount; ++j) {
      if (reading_columns_[j]) {
        queue_.fill_reading(j, queue_.end(), queue_.end() + n, (*facts.readings)[j]);
      }
    }
  }
  mark_runs(queue_.end(), n, facts);
  if (!motion_queued_) {
    const uint8_t* motion = queue_.motion() + queue_.end();
    uint8_t flags = 0;
    for (size_t i = 0; i < n; ++i) flags |= motion[i];
    motion_queued_ = flags != 0;
    // Motion values of earlier samples were never read and may not have been written.
    if (motion_queued_) queue_.begin_motion(queue_.head(), queue_.end());
  }
  size_t pushed = 0;
  if (!range_end_time_) {
    // Without an end bound the grid never finishes, so the rows can wait until the whole packet
    // is queued: they come out the same, with one search per row instead of one per sample.
    if (!grid_origin_ms_) set_origin(times[queue_.end()]);
    queue_.push_staged(n);
    pushed = n;
    emit(false);
  } else {
    for (; pushed < n && !finished_; ++pushed) {
      if (!grid_origin_ms_) set_origin(times[queue_.end()]);
      queue_.push_staged(1);
      emit(false);
    }
  }
  write_rows();
  return pushed;
}

// Groups the staged entries into runs of equal readings, which the vector rows may take as they
// are. Readings that make no column count as equal.
void StreamingResampler::mark_runs(size_t from, size_t n, StagedFacts facts) {
  if (!facts.readings_shared || !steady_entries(from, n, facts)) {
    queue_.set_runs(from, from + n, SampleQueue::Run::kSingles);
    run_open_ = false;
    return;
  }
  // Reading by reading: comparing the arrays whole went through the stack, and stalled on it.
  bool same = run_open_;
  for (size_t j = 0; j < kReadingCount; ++j) {
    if (!reading_columns_[j]) continue;
    const double reading = queue_.values(kFirstQueueReading + j)[from];
    same = same && std::bit_cast<uint64_t>(reading) == std::bit_cast<uint64_t>(run_readings_[j]);
    run_readings_[j] = reading;
  }
  queue_.set_runs(from, from + n, same ? SampleQueue::Run::kContinue : SampleQueue::Run::kStart);
  run_open_ = true;
}

// Whether the entries may join a run: times below 2^60 and the readings of the output columns
// finite and nonzero, as the vector rows' argument for taking them as they are requires.
bool StreamingResampler::steady_entries(size_t from, size_t n, StagedFacts facts) const {
  bool steady = facts.decoded || all_below(queue_.times() + from, n, 0x1p60);
  for (size_t j = 0; j < kReadingCount; ++j) {
    const double value = queue_.values(kFirstQueueReading + j)[from];
    if (reading_columns_[j]) steady &= std::isfinite(value) && value != 0.0;
  }
  return steady;
}

void StreamingResampler::emit_ready(bool final) {
  emit(final);
  write_rows();
}

// Finds the interval of each grid point that can be computed now and queues its row. Slots are
// absolute here: `start` is the interval start (queue index cursor_), `head` the oldest entry.
// The state lives in locals while the loop runs: stores of rows would otherwise make the
// compiler reload it after each one.
void StreamingResampler::emit(bool final) {
  if (!grid_origin_ms_) return;
  const double* t = queue_.times();
  const size_t end = queue_.end();
  size_t head = queue_.head();
  size_t start = head + cursor_;
  // No grid time compares as at or after NaN.
  const double end_time = range_end_time_.value_or(std::numeric_limits<double>::quiet_NaN());
  uint64_t k = emitted_count_;
  uint64_t grid_first = grid_first_;
  size_t count = pending_.count;
  for (;;) {
    const double x = grid_x_[k - grid_first];
    if (x >= end_time) {
      finished_ = true;
      break;
    }
    while (start + 1 < end && x > t[start + 1]) ++start;
    // Written as negated comparisons so that a NaN time also means "not reached yet".
    if (start + 1 >= end || !(t[start] <= x) || !(x <= t[start + 1])) break;
    const bool has_before = start > head;
    const bool has_after = start + 2 < end;
    // Wait for the right-hand neighbour of the interval unless the input has ended.
    if (has_before && !final && !has_after) break;
    if (count == PendingRows::kCapacity) [[unlikely]] {
      pending_.count = count;
      write_rows();
      count = 0;
    }
    pending_.x[count] = x;
    pending_.slot[count] = static_cast<int64_t>(start);
    pending_.support[count] = has_before && has_after ? 1 : 0;
    ++count;
    ++k;
    if (k - grid_first == kGridBlock) [[unlikely]] {
      fill_grid(k);
      grid_first = k;
    }
    // Keep one entry before the interval start: the left neighbour of a later cubic.
    if (start > head + 1) head = start - 1;
    // While the grid keeps pace with the samples, the next points fall one each into the next
    // intervals, all with both neighbours: the search would find exactly these.
    // A run that reaches the end of the block of grid times goes on in the next block.
    pending_.count = count;
    for (;;) {
      const size_t taken = follow_samples(t, start, end, &grid_x_[k - grid_first],
                                          kGridBlock - (k - grid_first), end_time, pending_);
      if (taken > 0) {
        k += taken;
        start += taken;
        head = start - 1;
      }
      if (k - grid_first != kGridBlock) break;
      fill_grid(k);
      grid_first = k;
      if (taken == 0) break;
    }
    count = pending_.count;
  }
  if (start > head + 1) head = start - 1;
  queue_.pop_to(head);
  cursor_ = start - head;
  emitted_count_ = k;
  pending_.count = count;
}

// Interpolates the pending rows into the output: the vector kernel takes the plain cubic rows of
// the common channels, the generic row everything else.
void StreamingResampler::write_rows() {
  const size_t count = pending_.count;
  if (count == 0) return;
  // A fast grid over slow samples, or across a long gap, makes millions of rows from one packet,
  // so a pending signal is checked by rows as well as by packets.
  if (rows_ >= next_interrupt_check_) [[unlikely]] {
    next_interrupt_check_ = rows_ + kRowsPerInterruptCheck;
    check_interrupt();
  }
  if (rows_ + count > room_rows_) make_room(rows_ + count);
  const size_t first_row = rows_;
  std::array<uint8_t, PendingRows::kCapacity / 8> generic_groups;
  if (wide_rows_) {
    RowSources in{queue_.times(), {}, queue_.run_ids(), all_decoded_};
    RowTargets out{timestamps_out_ + first_row, {}};
    for (size_t channel = 0; channel < kCommonChannels; ++channel) {
      in.values[channel] = queue_.values(channel);
      if (channel_out_[channel] != nullptr) out.values[channel] = channel_out_[channel] + first_row;
    }
    cubic_rows_wide(in, pending_, out, generic_groups.data());
  } else {
    generic_groups.fill(0xFF);
  }
  const uint8_t* motion = queue_.motion();
  const bool maybe_motion = any_motion_ || motion_queued_;
  if (!maybe_motion) {
    // Usually the vector rows did them all: one test instead of one per group.
    uint8_t generic_any = 0;
    for (size_t group = 0; group < (count + 7) / 8; ++group) generic_any |= generic_groups[group];
    if (generic_any == 0) {
      rows_ = first_row + count;
      pending_.count = 0;
      return;
    }
  }
  for (size_t g = 0; g < count; g += 8) {
    const size_t lanes = std::min<size_t>(8, count - g);
    const unsigned generic = generic_groups[g / 8];
    if (generic == 0 && !maybe_motion) {
      rows_ = first_row + g + lanes;
      continue;
    }
    for (size_t j = g; j < g + lanes; ++j) {
      const size_t slot = static_cast<size_t>(pending_.slot[j]);
      const bool common = ((generic >> (j - g)) & 1u) != 0;
      // Without a motion column or a motion value at either interval end, the row has none.
      if (common || any_motion_ || (motion[slot] | motion[slot + 1]) != 0) {
        write_row(first_row + j, pending_.x[j], slot, pending_.support[j] != 0, common);
      }
      // Counted only now: a motion column created above starts with NaN in the rows before.
      rows_ = first_row + j + 1;
    }
  }
  pending_.count = 0;
}

// Writes row `row` by the generic rules: its time and common channels when `common`, and its
// motion channels when it has any.
void StreamingResampler::write_row(size_t row, double x, size_t slot, bool support, bool common) {
  const RowWeights weights(queue_, slot, x, support);
  if (common) {
    timestamps_out_[row] = seconds_to_us(x);
    for (size_t channel = 0; channel < kCommonChannels; ++channel) {
      if (channel_out_[channel] != nullptr) channel_out_[channel][row] = weights.channel(channel);
    }
  }
  const uint8_t* motion = queue_.motion();
  if (any_motion_ || (motion[slot] | motion[slot + 1]) != 0) write_motion(weights, row);
}

void StreamingResampler::write_motion(const RowWeights& weights, size_t row) {
  // A grid point on a sample time takes that sample's motion values as they are, absence
  // included; elsewhere a channel is present exactly when interpolation gives a number.
  const double* t = queue_.times();
  const size_t slot = weights.slot;
  const size_t hit = weights.x == t[slot] ? slot : weights.x == t[slot + 1] ? slot + 1 : 0;
  const bool exact = weights.x == t[slot] || weights.x == t[slot + 1];
  const uint8_t flags = queue_.motion()[hit];
  for (size_t channel = kCommonChannels; channel < kResampledChannels; ++channel) {
    if (exact) {
      const bool present = (flags & kSensorBits[channel]) != 0;
      put_motion(channel, present, static_cast<float>(queue_.values(channel)[hit]), row);
    } else {
      const float value = weights.channel(channel);
      put_motion(channel, !std::isnan(value), value, row);
    }
  }
}

// Appends one motion value to row `row`, creating its column at the first present value.
void StreamingResampler::put_motion(size_t channel, bool present, float value, size_t row) {
  float* out = channel_out_[channel];
  if (out == nullptr) {
    if (!present) return;
    commit_rows();
    OptionalColumn& column = optional_column(channel);
    column.emplace();
    column->reserve(room_rows_);
    column->append_fill(kMissingValue, row);
    refresh_outputs();
    out = channel_out_[channel];
  }
  out[row] = present ? value : kMissingValue;
}

OptionalColumn& StreamingResampler::optional_column(size_t channel) {
  return output_.*kChannels[kQueueRows[channel]].member;
}

void StreamingResampler::reserve(size_t rows) {
  commit_rows();
  // An estimate: it is held to what the machine can hold, and a grid that really grows past
  // that is refused by make_room.
  rows = std::min(rows, max_rows_in_memory(output_row_bytes()));
  room_rows_ = std::max(room_rows_, rows);
  // Only address space: the pages fault in as the rows reach them, each huge page zeroed just
  // before its rows are stored, while its lines are still in the cache. Faulted in all at once,
  // the zeroed pages would have left the cache long before the rows come, and every store would
  // fetch its line from memory first.
  refresh_outputs();
}

void StreamingResampler::make_room(size_t rows) {
  commit_rows();
  const size_t row_bytes = output_row_bytes();
  const size_t limit = max_rows_in_memory(row_bytes);
  if (rows > limit) refuse_rows(rows, row_bytes, "the resampled output", false);
  const size_t doubled = room_rows_ < limit / 2 ? room_rows_ * 2 : limit;
  room_rows_ = std::max({kInitialRoomRows, doubled, rows});
  refresh_outputs();
}

// Grows the room at once for the grid points up to `time_s` when they are many. A jump in time,
// such as a damaged block timestamp, then meets the memory limit in one step instead of after
// seconds of rows; the rows themselves come out as they would anyway.
void StreamingResampler::make_room_ahead(double time_s) {
  constexpr double kFarAheadRows = 1 << 20;
  if (!grid_origin_ms_ || finished_) return;
  if (range_end_time_ && *range_end_time_ < time_s) time_s = *range_end_time_;
  const double ahead =
      (1000.0 * time_s - *grid_origin_ms_) / step_ms_ - static_cast<double>(emitted_count_);
  if (!(ahead > kFarAheadRows)) return;  // also for NaN
  const double wanted = static_cast<double>(rows_ + pending_.count) + ahead;
  const size_t rows = wanted < 0x1p63 ? static_cast<size_t>(wanted) : SIZE_MAX;
  if (rows > room_rows_) make_room(rows);
}

// Bytes of one output row over every present column.
size_t StreamingResampler::output_row_bytes() const {
  size_t bytes = sizeof(int64_t);
  for (const ChannelRow& row : kChannels) {
    if (output_.*row.member) bytes += sizeof(float);
  }
  return bytes;
}

// Gives every present column room for room_rows_ and notes where its rows go.
void StreamingResampler::refresh_outputs() {
  output_.timestamps.reserve(room_rows_);
  timestamps_out_ = output_.timestamps.data();
  any_motion_ = false;
  for (size_t channel = 0; channel < kResampledChannels; ++channel) {
    OptionalColumn& column = optional_column(channel);
    channel_out_[channel] = nullptr;
    if (!column) continue;
    column->reserve(room_rows_);
    channel_out_[channel] = column->data();
    if (channel >= kCommonChannels) any_motion_ = true;
  }
}

// Counts the rows written since the last call into every column's length.
void StreamingResampler::commit_rows() {
  const size_t pending = rows_ - output_.timestamps.size();
  if (pending == 0) return;
  output_.timestamps.extend(pending);
  for (const ChannelRow& row : kChannels) {
    OptionalColumn& column = output_.*row.member;
    if (column) column->extend(rows_ - column->size());
  }
}

void StreamingResampler::ensure_column(OptionalColumn CwaDataResult::*member) {
  OptionalColumn& column = output_.*member;
  if (column) return;
  commit_rows();
  column.emplace();
  column->reserve(room_rows_);
  column->append_fill(kMissingValue, rows_);
  refresh_outputs();
}

}  // namespace velmora
