// StreamingResampler: the grid, the search for each grid point's interval, the queue trims and
// the cubic and linear interpolation of one output row.
#include "package/resampler.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "package/sample_times.hpp"

namespace velmora {

namespace {

constexpr size_t kInitialQueueSlots = 8;
constexpr double kDegenerateSpan = 1e-12;

// Channel order inside a row: accelerometer, gyroscope, magnetometer, then packet readings.
constexpr size_t kChannels = 12;
constexpr size_t kFirstMotion = 3;
constexpr size_t kMotionChannels = 6;
constexpr size_t kTemperature = 9;
constexpr size_t kLight = 10;
constexpr size_t kBattery = 11;

using ChannelValues = std::array<float, kChannels>;

// Gathers a sample's channels; a channel the sample lacks reads NaN.
ChannelValues channel_values(const TimedSample& entry) {
  const SampleData& s = entry.sample;
  const float nan = kMissingValue;
  return {s.acc_x,
          s.acc_y,
          s.acc_z,
          s.has_gyro ? s.gyro_x : nan,
          s.has_gyro ? s.gyro_y : nan,
          s.has_gyro ? s.gyro_z : nan,
          s.has_mag ? s.mag_x : nan,
          s.has_mag ? s.mag_y : nan,
          s.has_mag ? s.mag_z : nan,
          entry.temperature,
          entry.light,
          entry.battery};
}

// Copies one motion channel of a sample: its value and whether it has one.
struct MotionValue {
  bool present;
  float value;
};

MotionValue motion_value(const TimedSample& entry, size_t motion) {
  const SampleData& s = entry.sample;
  switch (motion) {
    case 0:
      return {s.has_gyro, s.gyro_x};
    case 1:
      return {s.has_gyro, s.gyro_y};
    case 2:
      return {s.has_gyro, s.gyro_z};
    case 3:
      return {s.has_mag, s.mag_x};
    case 4:
      return {s.has_mag, s.mag_y};
    default:
      return {s.has_mag, s.mag_z};
  }
}

constexpr std::array<OptionalColumn CwaDataResult::*, kMotionChannels> kMotionColumns = {
    &CwaDataResult::gyro_x, &CwaDataResult::gyro_y, &CwaDataResult::gyro_z,
    &CwaDataResult::mag_x,  &CwaDataResult::mag_y,  &CwaDataResult::mag_z,
};

// The per-row quantities shared by all channels: Lagrange weights (numerator over
// denominator, exactly as each term is grouped) and the linear fraction.
struct RowWeights {
  bool cubic = false;
  std::array<double, 4> weight{};  // N_j / d_j for j = -1, 0, 1, 2
  bool flat = false;               // |t1 - t0| < 1e-12: take y0 as it is
  double fraction = 0.0;           // (x - t0) / (t1 - t0)
};

float interpolate(const RowWeights& w, float ym1, float y0, float y1, float y2) {
  if (w.cubic && !std::isnan(ym1) && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2)) {
    const double term_m1 = w.weight[0] * static_cast<double>(ym1);
    const double term_0 = w.weight[1] * static_cast<double>(y0);
    const double term_1 = w.weight[2] * static_cast<double>(y1);
    const double term_2 = w.weight[3] * static_cast<double>(y2);
    return static_cast<float>(((term_m1 + term_0) + term_1) + term_2);
  }
  if (w.flat) return y0;
  const double d0 = static_cast<double>(y0);
  return static_cast<float>(w.fraction * (static_cast<double>(y1) - d0) + d0);
}

}  // namespace

void SampleQueue::push_back(const TimedSample& sample) {
  if (size_ == slots_.size()) [[unlikely]]
    grow();
  slots_[(head_ + size_) & mask_] = sample;
  ++size_;
}

void SampleQueue::pop_front(size_t count) {
  head_ = (head_ + count) & mask_;
  size_ -= count;
}

void SampleQueue::grow() {
  const size_t capacity = slots_.empty() ? kInitialQueueSlots : slots_.size() * 2;
  std::vector<TimedSample> larger(capacity);
  for (size_t i = 0; i < size_; ++i) larger[i] = (*this)[i];
  slots_ = std::move(larger);
  mask_ = capacity - 1;
  head_ = 0;
}

StreamingResampler::StreamingResampler(std::optional<double> range_start_time,
                                       std::optional<double> range_end_time,
                                       ReadingSelection readings, double resample_hz)
    : range_start_time_(range_start_time),
      range_end_time_(range_end_time),
      step_ms_(1000.0 / resample_hz),
      grid_defined_(std::isfinite(step_ms_)) {
  if (readings.temperature) output_.temperature.emplace();
  if (readings.light) output_.light.emplace();
  if (readings.battery) output_.battery.emplace();
}

double StreamingResampler::grid_time(uint64_t k) const {
  return (static_cast<double>(k) * step_ms_ + *grid_origin_ms_) / 1000.0;
}

void StreamingResampler::push(const TimedSample& sample) {
  // An infinite step puts every grid point at NaN: nothing could ever be emitted, so holding
  // samples would only grow the queue with the file.
  if (!grid_defined_) return;
  queue_.push_back(sample);
  if (!grid_origin_ms_) {
    double origin = sample.time_s;
    if (range_start_time_ && *range_start_time_ > origin) origin = *range_start_time_;
    grid_origin_ms_ = 1000.0 * origin;
    // Lift grid point 0 to the first sample's time when the round trip through milliseconds
    // lands one ulp below it; no interval could hold the point and the queue would never drain.
    while (grid_time(0) < sample.time_s) {
      grid_origin_ms_ = std::nextafter(*grid_origin_ms_, std::numeric_limits<double>::infinity());
    }
  }
  emit_ready(false);
}

void StreamingResampler::emit_ready(bool final) {
  if (!grid_origin_ms_) return;
  for (;;) {
    const double x = grid_time(emitted_count_);
    if (range_end_time_ && x >= *range_end_time_) {
      finished_ = true;
      return;
    }
    const size_t n = queue_.size();
    size_t i = cursor_;
    while (i + 1 < n && x > queue_[i + 1].time_s) ++i;
    cursor_ = i;
    // Written as negated comparisons so that a NaN time also means "not reached yet".
    if (n < 2 || i + 1 >= n || !(queue_[i].time_s <= x) || !(x <= queue_[i + 1].time_s)) {
      trim_at(i);
      return;
    }
    // Wait for the right-hand neighbour of the interval unless the input has ended.
    if (i >= 1 && !final && i + 2 >= n) {
      trim_at(i);
      return;
    }
    append_row(x, i);
    ++emitted_count_;
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

void StreamingResampler::reserve(size_t rows) {
  output_.timestamps.reserve(rows);
  output_.acc_x.reserve(rows);
  output_.acc_y.reserve(rows);
  output_.acc_z.reserve(rows);
  for (OptionalColumn* column : {&output_.temperature, &output_.light, &output_.battery}) {
    if (*column) (*column)->reserve(rows);
  }
}

void StreamingResampler::ensure_column(OptionalColumn CwaDataResult::*member) {
  OptionalColumn& column = output_.*member;
  if (column) return;
  column.emplace();
  column->append_fill(kMissingValue, output_.rows());
}

void StreamingResampler::append_row(double x, size_t i) {
  const size_t n = queue_.size();
  const TimedSample& entry_0 = queue_[i];
  const TimedSample& entry_1 = queue_[i + 1];
  const double t0 = entry_0.time_s;
  const double t1 = entry_1.time_s;
  const bool support = i >= 1 && i + 2 < n;

  RowWeights w;
  ChannelValues ym1{};
  ChannelValues y2{};
  if (support) {
    const TimedSample& entry_m1 = queue_[i - 1];
    const TimedSample& entry_2 = queue_[i + 2];
    const double tm1 = entry_m1.time_s;
    const double t2 = entry_2.time_s;
    const double d_m1 = (tm1 - t2) * ((tm1 - t1) * (tm1 - t0));
    const double d_0 = (t0 - t2) * ((t0 - t1) * (t0 - tm1));
    const double d_1 = (t1 - t2) * ((t1 - t0) * (t1 - tm1));
    const double d_2 = (t2 - t1) * ((t2 - t0) * (t2 - tm1));
    // Negated so that a NaN denominator also counts as degenerate.
    const bool usable = !(std::abs(d_m1) < kDegenerateSpan) && !(std::abs(d_0) < kDegenerateSpan) &&
                        !(std::abs(d_1) < kDegenerateSpan) && !(std::abs(d_2) < kDegenerateSpan);
    if (usable) {
      const double a_m1 = x - tm1;
      const double a_0 = x - t0;
      const double a_1 = x - t1;
      const double a_2 = x - t2;
      w.cubic = true;
      w.weight[0] = ((a_0 * a_1) * a_2) / d_m1;
      w.weight[1] = ((a_m1 * a_1) * a_2) / d_0;
      w.weight[2] = ((a_m1 * a_0) * a_2) / d_1;
      w.weight[3] = ((a_m1 * a_0) * a_1) / d_2;
      ym1 = channel_values(entry_m1);
      y2 = channel_values(entry_2);
    }
  }
  const double span = t1 - t0;
  w.flat = std::abs(span) < kDegenerateSpan;
  if (!w.flat) w.fraction = (x - t0) / span;

  const ChannelValues y0 = channel_values(entry_0);
  const ChannelValues y1 = channel_values(entry_1);
  auto channel = [&](size_t c) { return interpolate(w, ym1[c], y0[c], y1[c], y2[c]); };

  const size_t row = output_.rows();
  output_.timestamps.push_back(seconds_to_us(x));
  output_.acc_x.push_back(channel(0));
  output_.acc_y.push_back(channel(1));
  output_.acc_z.push_back(channel(2));

  // A grid point on a sample time takes that sample's motion values as they are, absence
  // included; elsewhere a channel is present exactly when interpolation gives a number.
  const TimedSample* hit = x == t0 ? &entry_0 : (x == t1 ? &entry_1 : nullptr);
  for (size_t m = 0; m < kMotionChannels; ++m) {
    MotionValue value;
    if (hit != nullptr) {
      value = motion_value(*hit, m);
    } else if (!motion_value(entry_0, m).present ||
               (!w.flat && !motion_value(entry_1, m).present)) {
      // A missing value at either interval end makes the result NaN; skip the arithmetic.
      value = {false, kMissingValue};
    } else {
      const float result = channel(kFirstMotion + m);
      value = {!std::isnan(result), result};
    }
    append_sensor_value(output_.*kMotionColumns[m], value.present, row, value.value);
  }

  std::optional<float> temperature;
  std::optional<float> light;
  std::optional<float> battery;
  if (output_.temperature) temperature = channel(kTemperature);
  if (output_.light) light = channel(kLight);
  if (output_.battery) battery = channel(kBattery);
  if (output_.temperature) {
    VELMORA_EXPECT(temperature.has_value(), msg::kFaultTemperatureComputed);
    output_.temperature->push_back(*temperature);
  }
  if (output_.light) {
    VELMORA_EXPECT(light.has_value(), msg::kFaultLightComputed);
    output_.light->push_back(*light);
  }
  if (output_.battery) {
    VELMORA_EXPECT(battery.has_value(), msg::kFaultBatteryComputed);
    output_.battery->push_back(*battery);
  }
}

}  // namespace velmora
