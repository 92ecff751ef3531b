// The time-range filter: keeps the rows whose time lies in [start, end), gathered into new
// columns, and decides again which motion columns still carry a value.
#include "package/time_filter.hpp"

#include <cmath>
#include <span>

#include "errors/messages.hpp"

namespace velmora {

namespace {

// Gathers the kept rows into a new column and frees the input column, so that at most one
// column exists twice at any time.
template <class T>
Column<T> gather(Column<T>& input, std::span<const uint64_t> keep) {
  Column<T> output(keep.size());
  T* slots = output.extend(keep.size());
  const T* values = input.data();
  for (size_t i = 0; i < keep.size(); ++i) slots[i] = values[keep[i]];
  input = Column<T>();
  return output;
}

bool holds_a_value(const Column<float>& column) {
  for (const float value : column) {
    if (!std::isnan(value)) return true;
  }
  return false;
}

}  // namespace

Status check_time_bounds(std::optional<double> range_start_time,
                         std::optional<double> range_end_time) {
  if (range_start_time && !std::isfinite(*range_start_time)) return fail(msg::kTimeRangeNotFinite);
  if (range_end_time && !std::isfinite(*range_end_time)) return fail(msg::kTimeRangeNotFinite);
  if (range_start_time && range_end_time && *range_start_time >= *range_end_time) {
    return fail(msg::kTimeRangeOrder);
  }
  return {};
}

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data,
                                                std::optional<double> range_start_time,
                                                std::optional<double> range_end_time) {
  if (!range_start_time && !range_end_time) return data;
  VELMORA_TRY(check_time_bounds(range_start_time, range_end_time));

  const size_t rows = data.rows();
  Column<uint64_t> keep(rows);
  {
    uint64_t* slots = keep.extend(rows);
    size_t kept = 0;
    const int64_t* timestamps = data.timestamps.data();
    for (size_t i = 0; i < rows; ++i) {
      const double t = static_cast<double>(timestamps[i]) / 1000000.0;
      const bool drop =
          (range_start_time && *range_start_time > t) || (range_end_time && t >= *range_end_time);
      slots[kept] = i;
      kept += drop ? 0 : 1;
    }
    keep.truncate(kept);
  }
  if (keep.empty()) return fail(msg::kNoSamplesAfterTimeRange);

  const std::span<const uint64_t> kept(keep.data(), keep.size());
  CwaDataResult out;
  out.timestamps = gather(data.timestamps, kept);
  out.acc_x = gather(data.acc_x, kept);
  out.acc_y = gather(data.acc_y, kept);
  out.acc_z = gather(data.acc_z, kept);
  for (const OptionalColumnField& field : kOptionalColumns) {
    OptionalColumn& input = data.*field.member;
    if (input) (out.*field.member) = gather(*input, kept);
  }
  for (OptionalColumn* motion :
       {&out.gyro_x, &out.gyro_y, &out.gyro_z, &out.mag_x, &out.mag_y, &out.mag_z}) {
    if (*motion && !holds_a_value(**motion)) motion->reset();
  }
  return out;
}

}  // namespace velmora
