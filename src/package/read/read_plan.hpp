// resolve_read_plan: a cut against a file, as a block range and absolute time bounds.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"

namespace velmora {

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut);

}  // namespace velmora
