// Cuts in their validated form, and the read plan they resolve to.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "errors/cwa_error.hpp"

namespace velmora {

struct WholeCut {};
struct BlocksCut {
  std::optional<uint64_t> start;  // first block, default 0
  std::optional<uint64_t> end;    // one past the last block, default end of file
};
struct SecondsCut {
  std::optional<double> start;  // seconds after first_data_time, inclusive
  std::optional<double> end;    // exclusive
};
using CutConfig = std::variant<WholeCut, BlocksCut, SecondsCut>;

// Checks the bounds of a cut; the messages are the ValueError texts of seconds() and blocks().
Status validate(const CutConfig& cut);

// Which blocks a reader reads: absent start means block 0, absent count means to the end.
struct BlockSelection {
  std::optional<uint64_t> start_block;
  std::optional<uint64_t> block_count;
};

struct ReadPlan {
  bool has_block_range = false;
  uint64_t start_block = 0;
  std::optional<uint64_t> block_count;
  std::optional<double> range_start_time;  // absolute seconds, inclusive
  std::optional<double> range_end_time;    // absolute seconds, exclusive

  BlockSelection block_selection() const {
    if (!has_block_range) return {};
    return BlockSelection{start_block, block_count};
  }
  bool has_time_bounds() const { return range_start_time || range_end_time; }
};

}  // namespace velmora
