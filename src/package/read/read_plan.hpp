// resolve_read_plan: a cut against a file, as a block range and absolute time bounds.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/opened_blocks.hpp"

namespace velmora {

// The cut must have passed validate(). Only a seconds cut reads the file, which it then leaves
// in `input` for the read.
Result<ReadPlan> resolve_read_plan(InputFile& input, const CutConfig& cut);
inline Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut) {
  InputFile input(path);
  return resolve_read_plan(input, cut);
}

}  // namespace velmora
