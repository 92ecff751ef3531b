// The time-range filter: keeps the rows whose time lies in [start, end), compacted within their
// columns, and decides again which motion columns still carry a value.
#include "package/read/time_filter.hpp"

#include <cmath>
#include <cstring>

#include "errors/messages.hpp"

namespace velmora {

namespace {

struct TimeWindow {
  std::optional<double> start;  // inclusive
  std::optional<double> end;    // exclusive

  bool keeps(int64_t timestamp_us) const {
    const double t = static_cast<double>(timestamp_us) / 1000000.0;
    return !((start && *start > t) || (end && t >= *end));
  }
};

// Moves the kept rows of a column to its front, in order, reading the decision from
// `timestamps`, which must not have been compacted yet. Writes never pass reads, so the rows
// move within the column's own memory.
template <class T>
void compact(Column<T>& column, const int64_t* timestamps, const TimeWindow& window) {
  T* values = column.data();
  size_t kept = 0;
  for (size_t i = 0; i < column.size(); ++i) {
    values[kept] = values[i];
    kept += static_cast<size_t>(window.keeps(timestamps[i]));
  }
  column.truncate(kept);
}

// The same when the kept rows are the one run [first, first + count).
template <class T>
void compact_run(Column<T>& column, size_t first, size_t count) {
  if (first > 0) std::memmove(column.data(), column.data() + first, count * sizeof(T));
  column.truncate(count);
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
  if (range_start_time && !std::isfinite(*range_start_time))
    return fail(ErrorCode::kTimeRangeNotFinite);
  if (range_end_time && !std::isfinite(*range_end_time))
    return fail(ErrorCode::kTimeRangeNotFinite);
  if (range_start_time && range_end_time && *range_start_time >= *range_end_time) {
    return fail(ErrorCode::kTimeRangeOrder);
  }
  return {};
}

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data,
                                                std::optional<double> range_start_time,
                                                std::optional<double> range_end_time) {
  if (!range_start_time && !range_end_time) return data;
  VELMORA_TRY(check_time_bounds(range_start_time, range_end_time));

  const TimeWindow window{range_start_time, range_end_time};
  const size_t rows = data.rows();
  const int64_t* timestamps = data.timestamps.data();
  size_t kept = 0;
  size_t first_kept = 0;
  size_t last_kept = 0;
  for (size_t i = 0; i < rows; ++i) {
    if (!window.keeps(timestamps[i])) continue;
    if (kept == 0) first_kept = i;
    last_kept = i;
    ++kept;
  }
  if (kept == 0) return fail(ErrorCode::kNoSamplesAfterTimeRange);

  // The rows are compacted in place: a filtered read needs no second copy of any column.
  const bool one_run = last_kept - first_kept + 1 == kept;
  auto compact_column = [&](auto& column) {
    if (one_run) {
      compact_run(column, first_kept, kept);
    } else {
      compact(column, timestamps, window);
    }
  };
  for (const ChannelRow& row : kChannels) {
    if (OptionalColumn& column = data.*row.member) compact_column(*column);
  }
  compact_column(data.timestamps);  // last: the others read their decisions from it
  for (const ChannelRow& row : kChannels) {
    OptionalColumn& column = data.*row.member;
    if (!in_every_packet(row) && column && !holds_a_value(*column)) column.reset();
  }
  return data;
}

}  // namespace velmora
