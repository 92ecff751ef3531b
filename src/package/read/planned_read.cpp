// read_planned: the two ways from a plan to a whole result.
#include "package/read/planned_read.hpp"

#include <utility>

#include "package/read/reader.hpp"
#include "package/read/time_filter.hpp"
#include "package/resample/resampled_read.hpp"

namespace velmora {

Result<CwaDataResult> read_planned(std::string_view path, const ReadPlan& plan,
                                   std::optional<double> resample_hz, ChannelSelection channels) {
  if (resample_hz) {
    return read_cwa_data_resampled_streaming(path, plan.block_selection(), *resample_hz, channels,
                                             plan.range_start_time, plan.range_end_time);
  }
  VELMORA_ASSIGN_OR_RETURN(CwaDataResult data,
                           read_cwa_data(path, plan.block_selection(), channels));
  return filter_data_by_time_range(std::move(data), plan.range_start_time, plan.range_end_time);
}

}  // namespace velmora
