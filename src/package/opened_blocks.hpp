// Opening a CWA file for a planned run of data blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/cut_config.hpp"
#include "packet/cwa_file.hpp"

namespace velmora {

struct OpenedBlocks {
  CwaFile file;                   // positioned at block first_block
  uint64_t first_block;           // index of the first block to read
  uint64_t end_block;             // one past the last block to read
  std::optional<double> prev_end; // continuity seed: natural end of the data packet before
};

// Checks the file's structure, resolves the selection against its size and finds the
// continuity seed for the first selected block.
Result<OpenedBlocks> open_cwa_data_blocks(std::string_view path, BlockSelection selection);

}  // namespace velmora
