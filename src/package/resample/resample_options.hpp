// Validation of resample_hz and resample_method.
#pragma once

#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"

namespace velmora {

// Absent rate: no resampling (the method is not looked at). Errors are ValueError texts.
Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                     std::string_view resample_method);

}  // namespace velmora
