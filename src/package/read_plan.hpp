// resolve_read_plan: a cut against a file, as a block range and absolute time bounds.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/cut_config.hpp"

namespace velmora {

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut);

// Files of at least this many blocks have their packet headers read by two threads.
inline constexpr uint64_t kSplitScanMinBlocks = uint64_t{1} << 14;

// The same with another threshold for the two-thread pass, for tests.
Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut,
                                   uint64_t split_scan_min_blocks);

}  // namespace velmora
