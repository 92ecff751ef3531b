// read_cwa_data: planned blocks into columns.
#pragma once

#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"

namespace velmora {

Result<CwaDataResult> read_cwa_data(std::string_view path, BlockSelection selection,
                                    ChannelSelection channels);

}  // namespace velmora
