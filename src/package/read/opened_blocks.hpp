// Opening a CWA file for a planned run of data blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "packet/cwa_file.hpp"

namespace velmora {

struct OpenedBlocks {
  CwaFile file;                    // positioned at block first_block
  uint64_t first_block;            // index of the first block to read
  uint64_t end_block;              // one past the last block to read
  std::optional<double> prev_end;  // continuity seed: natural end of the data packet before
};

// A CWA file whose header bytes and size passed the structure checks.
struct CheckedCwaFile {
  CwaFile file;           // positioned after the first two bytes
  uint64_t total_blocks;  // 512-byte blocks after the metadata block
};

// Opens a file and checks, in this order: the "MD" header, a size of at least 1024 bytes, and
// a size that is 1024 plus whole 512-byte blocks.
Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path);

// The recording of one call, opened and checked by the first step that needs it and handed on
// to the next, so that a call opens its input once.
class InputFile {
 public:
  explicit InputFile(std::string_view path) : path_(path) {}

  // Returns the checked file, opening it unless an earlier step left it here.
  Result<CheckedCwaFile> take() {
    if (!held_) return open_checked_cwa_file(path_);
    CheckedCwaFile file = std::move(*held_);
    held_.reset();
    return file;
  }
  // Leaves the file for the next step.
  void keep(CheckedCwaFile file) { held_.emplace(std::move(file)); }

 private:
  std::string_view path_;
  std::optional<CheckedCwaFile> held_;
};

// Checks the file's structure, resolves the selection against its size and finds the
// continuity seed for the first selected block.
Result<OpenedBlocks> open_cwa_data_blocks(InputFile& input, BlockSelection selection);
inline Result<OpenedBlocks> open_cwa_data_blocks(std::string_view path, BlockSelection selection) {
  InputFile input(path);
  return open_cwa_data_blocks(input, selection);
}

}  // namespace velmora
