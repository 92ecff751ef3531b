// StreamingResampler: the grid, the search for each grid point's interval, the queue trims and
// the cubic and linear interpolation of one output row.
#include "package/resampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "package/resampler_rows.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

namespace {

constexpr size_t kInitialQueueSlots = 64;
constexpr size_t kInitialRoomRows = 4096;
constexpr double kTwoTo63 = 9223372036854775808.0;

// Two lanes that each go through exactly the IEEE operations of the scalar formula.
using Pair [[gnu::vector_size(16)]] = double;
using LaneMask [[gnu::vector_size(16)]] = int64_t;
using FloatPair [[gnu::vector_size(8)]] = float;

// Widens two adjacent floats (exactly). GCC turns the generic conversion of a two-float vector
// into two scalar conversions, so x86 gets the one packed instruction by name.
Pair load_pair(const float* values) {
#if defined(__SSE2__)
  double both;
  std::memcpy(&both, values, sizeof both);
  return std::bit_cast<Pair>(_mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(both))));
#else
  FloatPair narrow;
  std::memcpy(&narrow, values, sizeof narrow);
  return __builtin_convertvector(narrow, Pair);
#endif
}

// Rounds both lanes to float, to nearest like a scalar conversion, into out[0..2).
void store_pair(Pair value, float* out) {
#if defined(__SSE2__)
  const __m128 narrow = _mm_cvtpd_ps(std::bit_cast<__m128d>(value));
  _mm_storel_pi(reinterpret_cast<__m64*>(out), narrow);
#else
  const FloatPair narrow = __builtin_convertvector(value, FloatPair);
  std::memcpy(out, &narrow, sizeof narrow);
#endif
}

Pair splat(double value) { return Pair{value, value}; }

// Whether either lane's magnitude is below kDegenerateSpan (false for NaN).
bool below_span(Pair value) {
  constexpr int64_t kMagnitudeBits = 0x7FFFFFFFFFFFFFFF;
  const Pair magnitude = std::bit_cast<Pair>(std::bit_cast<LaneMask>(value) & kMagnitudeBits);
  const LaneMask below = magnitude < splat(kDegenerateSpan);
  return (below[0] | below[1]) != 0;
}

bool any_lane(LaneMask mask) { return (mask[0] | mask[1]) != 0; }

// Seconds to microseconds: multiply, truncate toward zero, saturate; NaN gives 0.
int64_t grid_us(double seconds) {
  const double us = seconds * 1000000.0;
  if (us >= -kTwoTo63 && us < kTwoTo63) [[likely]]
    return static_cast<int64_t>(us);
  if (std::isnan(us)) return 0;
  return us > 0.0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

// The quantities one row shares across its channels: the four queue entries around the grid
// point, the Lagrange weights (numerator over denominator, grouped as each term needs) and the
// linear fraction.
struct StreamingResampler::RowWeights {
  const QueuedSample* before;  // entry i - 1, when the cubic is usable
  const QueuedSample* start;   // entry i
  const QueuedSample* end;     // entry i + 1
  const QueuedSample* after;   // entry i + 2, when the cubic is usable
  double x;
  bool cubic;
  bool flat;                   // |t1 - t0| < 1e-12: take y0 as it is
  Pair weight_lo;              // N_-1 / d_-1, N_0 / d_0
  Pair weight_hi;              // N_1 / d_1, N_2 / d_2
  std::array<Pair, 4> weight;  // each weight in both lanes
  double fraction;             // (x - t0) / (t1 - t0), when neither cubic nor flat

  double linear_fraction() const { return (x - start->time_s) / (end->time_s - start->time_s); }

  // One channel by the linear rule; NaN in y0 or y1 comes out as NaN.
  float linear(size_t channel, double f) const {
    const float y0 = start->value[channel];
    if (flat) return y0;
    const double d0 = static_cast<double>(y0);
    return static_cast<float>(f * (static_cast<double>(end->value[channel]) - d0) + d0);
  }

  // One channel by the full rule, for lanes whose cubic sum came out NaN.
  float single(size_t channel) const {
    const float ym1 = before->value[channel];
    const float y0 = start->value[channel];
    const float y1 = end->value[channel];
    const float y2 = after->value[channel];
    if (!std::isnan(ym1) && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2)) {
      const double t_m1 = weight_lo[0] * static_cast<double>(ym1);
      const double t_0 = weight_lo[1] * static_cast<double>(y0);
      const double t_1 = weight_hi[0] * static_cast<double>(y1);
      const double t_2 = weight_hi[1] * static_cast<double>(y2);
      return static_cast<float>(((t_m1 + t_0) + t_1) + t_2);
    }
    return linear(channel, flat ? 0.0 : linear_fraction());
  }

  // Channels `first` and `first + 1` into out[0..2).
  void pair(size_t first, float* out) const {
    if (!cubic) {
      const double f = flat ? 0.0 : fraction;
      out[0] = linear(first, f);
      out[1] = linear(first + 1, f);
      return;
    }
    const Pair term_m1 = weight[0] * load_pair(&before->value[first]);
    const Pair term_0 = weight[1] * load_pair(&start->value[first]);
    const Pair term_1 = weight[2] * load_pair(&end->value[first]);
    const Pair term_2 = weight[3] * load_pair(&after->value[first]);
    const Pair sum = ((term_m1 + term_0) + term_1) + term_2;
    // A NaN input makes the sum NaN; only then is the lane looked at on its own.
    if (any_lane(sum != sum)) [[unlikely]] {
      out[0] = single(first);
      out[1] = single(first + 1);
      return;
    }
    store_pair(sum, out);
  }
};

void SampleQueue::make_room() {
  const size_t live = size();
  // Moving is cheap while the live entries fill at most half the storage; else double it.
  if (slots_.empty() || live * 2 > slots_.size()) {
    std::vector<QueuedSample> larger(std::max(kInitialQueueSlots, slots_.size() * 2));
    std::copy(data(), data() + live, larger.begin());
    slots_ = std::move(larger);
  } else {
    std::copy(data(), data() + live, slots_.begin());
  }
  head_ = 0;
  end_ = live;
}

StreamingResampler::StreamingResampler(std::optional<double> range_start_time,
                                       std::optional<double> range_end_time,
                                       ReadingSelection readings, double resample_hz)
    : range_start_time_(range_start_time),
      range_end_time_(range_end_time),
      step_ms_(1000.0 / resample_hz),
      grid_defined_(std::isfinite(step_ms_)),
      wide_rows_(wide_rows_supported()) {
  if (readings.temperature) output_.temperature.emplace();
  if (readings.light) output_.light.emplace();
  if (readings.battery) output_.battery.emplace();
  all_readings_ = readings.temperature && readings.light && readings.battery;
}

double StreamingResampler::grid_time(uint64_t k) const {
  return (static_cast<double>(k) * step_ms_ + *grid_origin_ms_) / 1000.0;
}

// Moves to the next grid point; the times of two points share one packed division.
void StreamingResampler::advance_grid() {
  ++emitted_count_;
  if ((emitted_count_ & 1) != 0) {
    next_x_ = following_x_;
    return;
  }
  const Pair k = {static_cast<double>(emitted_count_), static_cast<double>(emitted_count_ + 1)};
  const Pair x = (k * splat(step_ms_) + splat(*grid_origin_ms_)) / splat(1000.0);
  next_x_ = x[0];
  following_x_ = x[1];
}

void StreamingResampler::push(const TimedSample& sample) {
  // An infinite step puts every grid point at NaN: nothing could ever be emitted, so holding
  // samples would only grow the queue with the file.
  if (!grid_defined_) return;
  enqueue(sample.time_s, sample.sample,
          PacketReadings{sample.temperature, sample.light, sample.battery});
  after_push(sample.time_s);
  commit_rows();
}

void StreamingResampler::push(double time_s, const SampleData& sample,
                              const PacketReadings& readings) {
  if (!grid_defined_) return;
  enqueue(time_s, sample, readings);
  after_push(time_s);
  commit_rows();
}

size_t StreamingResampler::push_samples(std::span<const double> times_s,
                                        std::span<const SampleData> samples,
                                        const PacketReadings& readings) {
  if (!grid_defined_) return samples.size();
  size_t pushed = 0;
  if (!range_end_time_ && grid_origin_ms_) {
    // Without an end bound the grid never finishes, so the rows can wait until the whole packet
    // is queued: they come out the same, with one search per row instead of one per sample.
    for (; pushed < samples.size(); ++pushed) enqueue(times_s[pushed], samples[pushed], readings);
    emit(false);
  } else {
    for (; pushed < samples.size() && !finished_; ++pushed) {
      enqueue(times_s[pushed], samples[pushed], readings);
      after_push(times_s[pushed]);
    }
  }
  commit_rows();
  return pushed;
}

void StreamingResampler::emit_ready(bool final) {
  emit(final);
  commit_rows();
}

void StreamingResampler::enqueue(double time_s, const SampleData& sample,
                                 const PacketReadings& readings) {
  QueuedSample& entry = queue_.emplace_back();
  entry.time_s = time_s;
  entry.value[kChannelAccX] = sample.acc_x;
  entry.value[kChannelAccY] = sample.acc_y;
  entry.value[kChannelAccZ] = sample.acc_z;
  entry.value[kChannelTemperature] = readings.temperature;
  entry.value[kChannelLight] = readings.light;
  entry.value[kChannelBattery] = readings.battery;
  entry.has_gyro = sample.has_gyro;
  entry.value[kChannelGyroX] = sample.has_gyro ? sample.gyro_x : kMissingValue;
  entry.value[kChannelGyroY] = sample.has_gyro ? sample.gyro_y : kMissingValue;
  entry.value[kChannelGyroZ] = sample.has_gyro ? sample.gyro_z : kMissingValue;
  entry.has_mag = sample.has_mag;
  entry.value[kChannelMagX] = sample.has_mag ? sample.mag_x : kMissingValue;
  entry.value[kChannelMagY] = sample.has_mag ? sample.mag_y : kMissingValue;
  entry.value[kChannelMagZ] = sample.has_mag ? sample.mag_z : kMissingValue;
}

void StreamingResampler::after_push(double time_s) {
  if (!grid_origin_ms_) [[unlikely]] {
    double origin = time_s;
    if (range_start_time_ && *range_start_time_ > origin) origin = *range_start_time_;
    grid_origin_ms_ = 1000.0 * origin;
    // Lift grid point 0 to the first sample's time when the round trip through milliseconds
    // lands one ulp below it; no interval could hold the point and the queue would never drain.
    while (grid_time(0) < time_s) {
      grid_origin_ms_ = std::nextafter(*grid_origin_ms_, std::numeric_limits<double>::infinity());
    }
    next_x_ = grid_time(0);
    following_x_ = grid_time(1);
  }
  emit(false);
}

void StreamingResampler::emit(bool final) {
  if (!grid_origin_ms_) return;
  const bool has_end = range_end_time_.has_value();
  const double end_time = range_end_time_.value_or(0.0);
  for (;;) {
    const double x = next_x_;
    if (has_end && x >= end_time) {
      finished_ = true;
      return;
    }
    const size_t n = queue_.size();
    const QueuedSample* entries = queue_.data();
    size_t i = cursor_;
    while (i + 1 < n && x > entries[i + 1].time_s) ++i;
    cursor_ = i;
    // Written as negated comparisons so that a NaN time also means "not reached yet".
    if (n < 2 || i + 1 >= n || !(entries[i].time_s <= x) || !(x <= entries[i + 1].time_s)) {
      trim_at(i);
      return;
    }
    // Wait for the right-hand neighbour of the interval unless the input has ended.
    if (i >= 1 && !final && i + 2 >= n) {
      trim_at(i);
      return;
    }
    write_row(x, i);
    advance_grid();
    if (cursor_ > 1) {
      queue_.pop_front(cursor_ - 1);
      cursor_ = 1;
    }
  }
}

void StreamingResampler::trim_at(size_t i) {
  // Keep one sample before the interval start: the left neighbour of a later cubic.
  if (i < 2) return;
  queue_.pop_front(i - 1);
  cursor_ = 1;
}

void StreamingResampler::write_row(double x, size_t i) {
  if (rows_ == room_rows_) [[unlikely]]
    make_room();
  const size_t n = queue_.size();
  const QueuedSample* entries = queue_.data();
  // The common case, a cubic row without motion values, goes through the vector kernel.
  if (wide_rows_ && i >= 1 && i + 2 < n && !any_motion_ && !entries[i].has_gyro &&
      !entries[i].has_mag && !entries[i + 1].has_gyro && !entries[i + 1].has_mag) {
    std::array<float, 6> common;
    if (cubic_common_row(&entries[i - 1], x, common.data())) {
      write_common(x, common);
      ++rows_;
      return;
    }
  }
  RowWeights row;
  row.before = nullptr;
  row.start = &entries[i];
  row.end = &entries[i + 1];
  row.after = nullptr;
  row.x = x;
  row.cubic = false;
  const double t0 = row.start->time_s;
  const double t1 = row.end->time_s;
  if (i >= 1 && i + 2 < n) {
    row.before = &entries[i - 1];
    row.after = &entries[i + 2];
    const double tm1 = row.before->time_s;
    const double t2 = row.after->time_s;
    // Lanes: (d_-1, d_0) and (d_1, d_2), each grouped as (a - b) * ((a - c) * (a - d)).
    const Pair d_lo = (Pair{tm1, t0} - splat(t2)) *
                      ((Pair{tm1, t0} - splat(t1)) * (Pair{tm1, t0} - Pair{t0, tm1}));
    const Pair d_hi =
        (Pair{t1, t2} - Pair{t2, t1}) * ((Pair{t1, t2} - splat(t0)) * (Pair{t1, t2} - splat(tm1)));
    // Degenerate when any |d| is below the span; a NaN denominator is not below it.
    if (!below_span(d_lo) && !below_span(d_hi)) {
      const double a_m1 = x - tm1;
      const double a_0 = x - t0;
      const double a_1 = x - t1;
      const double a_2 = x - t2;
      // N_-1 = (a_0 a_1) a_2, N_0 = (a_-1 a_1) a_2, N_1 = (a_-1 a_0) a_2, N_2 = (a_-1 a_0) a_1.
      const Pair n_lo = (Pair{a_0, a_m1} * splat(a_1)) * splat(a_2);
      const Pair n_hi = (splat(a_m1) * splat(a_0)) * Pair{a_2, a_1};
      row.weight_lo = n_lo / d_lo;
      row.weight_hi = n_hi / d_hi;
      row.weight = {splat(row.weight_lo[0]), splat(row.weight_lo[1]), splat(row.weight_hi[0]),
                    splat(row.weight_hi[1])};
      row.cubic = true;
    }
  }
  row.flat = std::abs(t1 - t0) < kDegenerateSpan;
  row.fraction = row.cubic || row.flat ? 0.0 : row.linear_fraction();

  const size_t index = rows_;
  std::array<float, 6> common;
  row.pair(kChannelAccX, &common[0]);
  row.pair(kChannelAccZ, &common[2]);
  row.pair(kChannelLight, &common[4]);
  write_common(x, common);
  // Without a motion column or a motion value at either interval end, the row has none.
  if (any_motion_ || row.start->has_gyro || row.start->has_mag || row.end->has_gyro ||
      row.end->has_mag) {
    write_motion(row, x, index);
  }
  // Counted only now: a motion column created above starts with NaN in the rows before.
  rows_ = index + 1;
}

// Writes a row's time and common channels at row rows_, which the caller then counts.
void StreamingResampler::write_common(double x, const std::array<float, 6>& common) {
  const size_t index = rows_;
  timestamps_out_[index] = grid_us(x);
  for (size_t channel = kChannelAccX; channel <= kChannelAccZ; ++channel) {
    channel_out_[channel][index] = common[channel];
  }
  if (all_readings_) {
    for (size_t channel = kChannelTemperature; channel <= kChannelBattery; ++channel) {
      channel_out_[channel][index] = common[channel];
    }
  } else {
    for (size_t channel = kChannelTemperature; channel <= kChannelBattery; ++channel) {
      if (channel_out_[channel] != nullptr) channel_out_[channel][index] = common[channel];
    }
  }
}

void StreamingResampler::write_motion(const RowWeights& row, double x, size_t row_index) {
  // A grid point on a sample time takes that sample's motion values as they are, absence
  // included; elsewhere a channel is present exactly when interpolation gives a number.
  const QueuedSample* hit = x == row.start->time_s ? row.start
                            : x == row.end->time_s ? row.end
                                                   : nullptr;
  if (hit != nullptr) {
    for (size_t channel = kChannelGyroX; channel < kResampledChannels; ++channel) {
      const bool present = channel < kChannelMagX ? hit->has_gyro : hit->has_mag;
      put_motion(channel, present, hit->value[channel], row_index);
    }
    return;
  }
  std::array<float, kResampledChannels> result;
  for (size_t channel = kChannelGyroX; channel < kResampledChannels; channel += 2) {
    row.pair(channel, &result[channel]);
  }
  for (size_t channel = kChannelGyroX; channel < kResampledChannels; ++channel) {
    put_motion(channel, !std::isnan(result[channel]), result[channel], row_index);
  }
}

// Appends one motion value to row `row_index`, creating its column at the first present value.
void StreamingResampler::put_motion(size_t channel, bool present, float value, size_t row_index) {
  float* out = channel_out_[channel];
  if (out == nullptr) {
    if (!present) return;
    commit_rows();
    OptionalColumn& column = optional_column(channel);
    column.emplace();
    column->reserve(room_rows_);
    column->append_fill(kMissingValue, row_index);
    refresh_outputs();
    out = channel_out_[channel];
  }
  out[row_index] = present ? value : kMissingValue;
}

OptionalColumn& StreamingResampler::optional_column(size_t channel) {
  switch (channel) {
    case kChannelTemperature:
      return output_.temperature;
    case kChannelLight:
      return output_.light;
    case kChannelBattery:
      return output_.battery;
    case kChannelGyroX:
      return output_.gyro_x;
    case kChannelGyroY:
      return output_.gyro_y;
    case kChannelGyroZ:
      return output_.gyro_z;
    case kChannelMagX:
      return output_.mag_x;
    case kChannelMagY:
      return output_.mag_y;
    default:
      return output_.mag_z;
  }
}

void StreamingResampler::reserve(size_t rows) {
  commit_rows();
  room_rows_ = std::max(room_rows_, rows);
  refresh_outputs();
  // Fault the expected rows in at once, as fast as a plain read would touch them. Written
  // row by row over seconds, they meet memory that a virtual machine's balloon has meanwhile
  // handed back to the host, and every fault then costs a trip to the host.
  populate_pages(timestamps_out_, rows * sizeof(int64_t));
  for (float* out : channel_out_) {
    if (out != nullptr) populate_pages(out, rows * sizeof(float));
  }
}

void StreamingResampler::make_room() {
  commit_rows();
  room_rows_ = std::max(kInitialRoomRows, room_rows_ * 2);
  refresh_outputs();
}

// Gives every present column room for room_rows_ and notes where its rows go.
void StreamingResampler::refresh_outputs() {
  output_.timestamps.reserve(room_rows_);
  timestamps_out_ = output_.timestamps.data();
  Column<float>* fixed[] = {&output_.acc_x, &output_.acc_y, &output_.acc_z};
  for (size_t channel = kChannelAccX; channel <= kChannelAccZ; ++channel) {
    fixed[channel]->reserve(room_rows_);
    channel_out_[channel] = fixed[channel]->data();
  }
  any_motion_ = false;
  for (size_t channel = kChannelTemperature; channel < kResampledChannels; ++channel) {
    OptionalColumn& column = optional_column(channel);
    channel_out_[channel] = nullptr;
    if (!column) continue;
    column->reserve(room_rows_);
    channel_out_[channel] = column->data();
    if (channel >= kChannelGyroX) any_motion_ = true;
  }
}

// Counts the rows written since the last call into every column's length.
void StreamingResampler::commit_rows() {
  const size_t pending = rows_ - output_.timestamps.size();
  if (pending == 0) return;
  output_.timestamps.extend(pending);
  for (Column<float>* column : {&output_.acc_x, &output_.acc_y, &output_.acc_z}) {
    column->extend(rows_ - column->size());
  }
  for (size_t channel = kChannelTemperature; channel < kResampledChannels; ++channel) {
    OptionalColumn& column = optional_column(channel);
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
