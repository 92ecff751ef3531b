// The time-range filter, and the check of the plan's time bounds that it and the resampled read
// share.
#pragma once

#include <optional>

#include "errors/cwa_error.hpp"
#include "package/read/data_result.hpp"

namespace velmora {

// Each set bound finite (start first), then start < end when both are set.
Status check_time_bounds(std::optional<double> range_start_time,
                         std::optional<double> range_end_time);

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data,
                                                std::optional<double> range_start_time,
                                                std::optional<double> range_end_time);

}  // namespace velmora
