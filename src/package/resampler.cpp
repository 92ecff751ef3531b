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

// A motion sensor's three channels: present together in a sample, columns of their own.
struct MotionGroup {
  bool SampleData::*present;
  std::array<float SampleData::*, 3> value;
  std::array<OptionalColumn CwaDataResult::*, 3> column;
};

constexpr std::array<MotionGroup, 2> kMotionGroups = {{
    {&SampleData::has_gyro,
     {&SampleData::gyro_x, &SampleData::gyro_y, &SampleData::gyro_z},
     {&CwaDataResult::gyro_x, &CwaDataResult::gyro_y, &CwaDataResult::gyro_z}},
    {&SampleData::has_mag,
     {&SampleData::mag_x, &SampleData::mag_y, &SampleData::mag_z},
     {&CwaDataResult::mag_x, &CwaDataResult::mag_y, &CwaDataResult::mag_z}},
}};

// The four queue entries around a grid point and the per-row quantities shared by all channels:
// the Lagrange weights (numerator over denominator, exactly as each term is grouped) and the
// linear fraction, computed only when some channel needs it.
struct RowContext {
  const TimedSample* before;  // entry i - 1, when the cubic is usable
  const TimedSample* start;   // entry i
  const TimedSample* end;     // entry i + 1
  const TimedSample* after;   // entry i + 2, when the cubic is usable
  double x;
  bool cubic = false;
  std::array<double, 4> weight{};  // N_j / d_j for j = -1, 0, 1, 2
  bool flat = false;               // |t1 - t0| < 1e-12: take y0 as it is
  bool has_fraction = false;
  double fraction = 0.0;  // (x - t0) / (t1 - t0)

  float linear(float y0, float y1) {
    if (flat) return y0;
    if (!has_fraction) {
      fraction = (x - start->time_s) / (end->time_s - start->time_s);
      has_fraction = true;
    }
    const double d0 = static_cast<double>(y0);
    return static_cast<float>(fraction * (static_cast<double>(y1) - d0) + d0);
  }

  float interpolate(float ym1, float y0, float y1, float y2) {
    if (cubic && !std::isnan(ym1) && !std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2)) {
      const double term_m1 = weight[0] * static_cast<double>(ym1);
      const double term_0 = weight[1] * static_cast<double>(y0);
      const double term_1 = weight[2] * static_cast<double>(y1);
      const double term_2 = weight[3] * static_cast<double>(y2);
      return static_cast<float>(((term_m1 + term_0) + term_1) + term_2);
    }
    return linear(y0, y1);
  }

  // Interpolates a member present in every sample.
  float field(float SampleData::*member) {
    const float y0 = start->sample.*member;
    const float y1 = end->sample.*member;
    if (!cubic) return linear(y0, y1);
    return interpolate(before->sample.*member, y0, y1, after->sample.*member);
  }

  float reading(float TimedSample::*member) {
    if (!cubic) return linear(start->*member, end->*member);
    return interpolate(before->*member, start->*member, end->*member, after->*member);
  }

  // Interpolates a motion channel whose interval start has the sensor, reading NaN where
  // another entry lacks it.
  float motion(const MotionGroup& group, size_t axis) {
    const float y0 = start->sample.*group.value[axis];
    const float y1 = end->sample.*group.present ? end->sample.*group.value[axis] : kMissingValue;
    if (!cubic) return linear(y0, y1);
    const float ym1 =
        before->sample.*group.present ? before->sample.*group.value[axis] : kMissingValue;
    const float y2 =
        after->sample.*group.present ? after->sample.*group.value[axis] : kMissingValue;
    return interpolate(ym1, y0, y1, y2);
  }
};

}  // namespace

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
  after_push(sample.time_s);
}

void StreamingResampler::push(double time_s, const SampleData& sample,
                              const PacketReadings& readings) {
  if (!grid_defined_) return;
  // Filled field by field in place: no copy of a freshly written record is read back.
  TimedSample& entry = queue_.emplace_back();
  entry.time_s = time_s;
  entry.sample = sample;
  entry.temperature = readings.temperature;
  entry.light = readings.light;
  entry.battery = readings.battery;
  after_push(time_s);
}

void StreamingResampler::after_push(double time_s) {
  if (!grid_origin_ms_) {
    double origin = time_s;
    if (range_start_time_ && *range_start_time_ > origin) origin = *range_start_time_;
    grid_origin_ms_ = 1000.0 * origin;
    // Lift grid point 0 to the first sample's time when the round trip through milliseconds
    // lands one ulp below it; no interval could hold the point and the queue would never drain.
    while (grid_time(0) < time_s) {
      grid_origin_ms_ = std::nextafter(*grid_origin_ms_, std::numeric_limits<double>::infinity());
    }
  }
  emit_ready(false);
}

void StreamingResampler::emit_ready(bool final) {
  if (!grid_origin_ms_) return;
  for (;;) {
    if (!next_x_) next_x_ = grid_time(emitted_count_);
    const double x = *next_x_;
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
    next_x_.reset();
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
  RowContext row{nullptr, &queue_[i], &queue_[i + 1], nullptr, x};
  const double t0 = row.start->time_s;
  const double t1 = row.end->time_s;
  if (i >= 1 && i + 2 < n) {
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
      row.cubic = true;
      row.before = &entry_m1;
      row.after = &entry_2;
      row.weight[0] = ((a_0 * a_1) * a_2) / d_m1;
      row.weight[1] = ((a_m1 * a_1) * a_2) / d_0;
      row.weight[2] = ((a_m1 * a_0) * a_2) / d_1;
      row.weight[3] = ((a_m1 * a_0) * a_1) / d_2;
    }
  }
  row.flat = std::abs(t1 - t0) < kDegenerateSpan;

  const size_t index = output_.rows();
  output_.timestamps.push_back(seconds_to_us(x));
  output_.acc_x.push_back(row.field(&SampleData::acc_x));
  output_.acc_y.push_back(row.field(&SampleData::acc_y));
  output_.acc_z.push_back(row.field(&SampleData::acc_z));

  // A grid point on a sample time takes that sample's motion values as they are, absence
  // included; elsewhere a channel is present exactly when interpolation gives a number, and a
  // missing value at an interval end (the start, or the end unless the interval is flat) makes
  // it NaN without arithmetic.
  const TimedSample* hit = x == t0 ? row.start : (x == t1 ? row.end : nullptr);
  for (const MotionGroup& group : kMotionGroups) {
    if (hit != nullptr) {
      const bool present = hit->sample.*group.present;
      for (size_t axis = 0; axis < 3; ++axis) {
        append_sensor_value(output_.*group.column[axis], present, index,
                            hit->sample.*group.value[axis]);
      }
    } else if (!(row.start->sample.*group.present) ||
               (!row.flat && !(row.end->sample.*group.present))) {
      for (size_t axis = 0; axis < 3; ++axis) {
        append_sensor_value(output_.*group.column[axis], false, index, kMissingValue);
      }
    } else {
      for (size_t axis = 0; axis < 3; ++axis) {
        // A flat interval takes the start's value; the end's may be missing then.
        const float result = row.motion(group, axis);
        append_sensor_value(output_.*group.column[axis], !std::isnan(result), index, result);
      }
    }
  }

  std::optional<float> temperature;
  std::optional<float> light;
  std::optional<float> battery;
  if (output_.temperature) temperature = row.reading(&TimedSample::temperature);
  if (output_.light) light = row.reading(&TimedSample::light);
  if (output_.battery) battery = row.reading(&TimedSample::battery);
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
