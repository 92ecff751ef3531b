// CSV output: a whole result, or planned blocks streamed packet by packet.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"
#include "package/read/opened_blocks.hpp"
#include "packet/cwa_file.hpp"

namespace velmora {

// Fails with "output_path refers to the input file" when the output path names the input file
// itself (also through a link): creating the output would truncate the recording.
Status check_output_is_not_input(std::optional<FileIdentity> input, std::string_view output_path);

Status write_data_result_csv(std::string_view output_path, const CwaDataResult& data,
                             ChannelSelection channels, int64_t offset_us);

Status write_streamed_csv(InputFile& input, BlockSelection selection, std::string_view output_path,
                          ChannelSelection channels, int64_t offset_us);
inline Status write_streamed_csv(std::string_view input_path, BlockSelection selection,
                                 std::string_view output_path, ChannelSelection channels,
                                 int64_t offset_us) {
  InputFile input(input_path);
  return write_streamed_csv(input, selection, output_path, channels, offset_us);
}

}  // namespace velmora
