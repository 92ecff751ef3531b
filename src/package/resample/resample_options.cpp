// Validation of the resampling arguments, done before any file is touched.
#include "package/resample/resample_options.hpp"

#include <cmath>
#include <string>

#include "errors/messages.hpp"

namespace velmora {

namespace {

constexpr double kMaxResampleHz = 10000.0;

}  // namespace

Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                     std::string_view resample_method) {
  if (!resample_hz) return std::optional<double>();
  const double hz = *resample_hz;
  // Negated so that NaN fails too; positive subnormal rates pass.
  if (!(std::isfinite(hz) && hz > 0.0)) return fail(ErrorCode::kResampleHzNotPositive);
  if (hz > kMaxResampleHz) return fail(ErrorCode::kResampleHzTooHigh);
  if (resample_method != "cubic") {
    return fail(CwaError::unsupported_resample_method(resample_method));
  }
  return std::optional<double>(hz);
}

}  // namespace velmora
