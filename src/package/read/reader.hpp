// read_cwa_data: planned blocks into columns.
#pragma once

#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"
#include "package/read/opened_blocks.hpp"

namespace velmora {

Result<CwaDataResult> read_cwa_data(InputFile& input, BlockSelection selection,
                                    ChannelSelection channels);
inline Result<CwaDataResult> read_cwa_data(std::string_view path, BlockSelection selection,
                                           ChannelSelection channels) {
  InputFile input(path);
  return read_cwa_data(input, selection, channels);
}

}  // namespace velmora
