// Bound checks shared by seconds(), blocks(), cut parsing and plan resolution.
#include "package/read/cut_config.hpp"

#include <cmath>

#include "errors/messages.hpp"

namespace velmora {

namespace {

Status validate_seconds_value(double value) {
  if (!std::isfinite(value)) return fail(ErrorCode::kSecondsNotFinite);
  if (value < 0.0) return fail(ErrorCode::kSecondsNegative);
  return {};
}

}  // namespace

Status validate(const CutConfig& cut) {
  if (const auto* blocks = std::get_if<BlocksCut>(&cut)) {
    if (blocks->start && blocks->end && *blocks->end <= *blocks->start) {
      return fail(ErrorCode::kBlocksEndNotAfterStart);
    }
  } else if (const auto* seconds = std::get_if<SecondsCut>(&cut)) {
    if (seconds->start) VELMORA_TRY(validate_seconds_value(*seconds->start));
    if (seconds->end) VELMORA_TRY(validate_seconds_value(*seconds->end));
    if (seconds->start && seconds->end && *seconds->start >= *seconds->end) {
      return fail(ErrorCode::kSecondsEndNotAfterStart);
    }
  }
  return {};
}

}  // namespace velmora
