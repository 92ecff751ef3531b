// The samples of a read plan as columns: read and trimmed to the plan's time bounds, or fed
// through the resampler. Both outputs start from here when they need the whole result.
#pragma once

#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"

namespace velmora {

Result<CwaDataResult> read_planned(std::string_view path, const ReadPlan& plan,
                                   std::optional<double> resample_hz, ChannelSelection channels);

}  // namespace velmora
