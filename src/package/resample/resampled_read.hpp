// The resampled read: planned blocks streamed through the resampler.
#pragma once

#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"
#include "package/read/opened_blocks.hpp"

namespace velmora {

Result<CwaDataResult> read_cwa_data_resampled_streaming(InputFile& input, BlockSelection selection,
                                                        double resample_hz,
                                                        ChannelSelection channels,
                                                        std::optional<double> range_start_time,
                                                        std::optional<double> range_end_time);
inline Result<CwaDataResult> read_cwa_data_resampled_streaming(
    std::string_view path, BlockSelection selection, double resample_hz, ChannelSelection channels,
    std::optional<double> range_start_time, std::optional<double> range_end_time) {
  InputFile input(path);
  return read_cwa_data_resampled_streaming(input, selection, resample_hz, channels,
                                           range_start_time, range_end_time);
}

}  // namespace velmora
