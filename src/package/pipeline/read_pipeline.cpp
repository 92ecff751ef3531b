// The read pipeline shared by read_cwa_file and write_cwa_csv. The order of the first steps
// decides which error a caller sees when several things are wrong.
#include "package/pipeline/read_pipeline.hpp"

#include <utility>

#include "package/csv/csv_writer.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/read_plan.hpp"
#include "package/read/reader.hpp"
#include "package/read/time_filter.hpp"
#include "package/read/utc_offset.hpp"
#include "package/resample/resample_options.hpp"
#include "package/resample/resampled_read.hpp"

namespace velmora {

namespace {

struct PlannedRead {
  ReadPlan plan;
  std::optional<double> resample_hz;
  std::optional<int64_t> offset_us;
};

// The steps before any sample is read. The options are checked before any file is touched, so
// a bad option wins over a missing file.
Result<PlannedRead> plan_read(const ReadRequest& request, InputFile& input) {
  VELMORA_TRY(validate(request.cut));
  VELMORA_ASSIGN_OR_RETURN(const std::optional<double> resample_hz,
                           parse_resample_options(request.resample_hz, request.resample_method));
  VELMORA_ASSIGN_OR_RETURN(const ReadPlan plan, resolve_read_plan(input, request.cut));
  std::optional<int64_t> offset_us;
  if (request.utc_offset_us) {
    VELMORA_ASSIGN_OR_RETURN(offset_us, request.utc_offset_us());
  }
  return PlannedRead{plan, resample_hz, offset_us};
}

// The planned samples as columns: read and trimmed to the time bounds, or resampled.
Result<CwaDataResult> read_planned(InputFile& input, const PlannedRead& read,
                                   ChannelSelection channels) {
  const ReadPlan& plan = read.plan;
  if (read.resample_hz) {
    return read_cwa_data_resampled_streaming(input, plan.block_selection(), *read.resample_hz,
                                             channels, plan.range_start_time, plan.range_end_time);
  }
  VELMORA_ASSIGN_OR_RETURN(CwaDataResult data,
                           read_cwa_data(input, plan.block_selection(), channels));
  return filter_data_by_time_range(std::move(data), plan.range_start_time, plan.range_end_time);
}

// Reads the whole result first, then writes it. The output must not name the input (also
// through a link), which creating it would truncate; the check comes after the read, whose
// errors come first, and before the output is created.
Status write_whole_result(const ReadRequest& request, std::string_view output_path,
                          InputFile& input, const PlannedRead& read) {
  VELMORA_ASSIGN_OR_RETURN(CheckedCwaFile checked, input.take());
  const std::optional<FileIdentity> input_identity = checked.file.identity();
  input.keep(std::move(checked));
  VELMORA_ASSIGN_OR_RETURN(const CwaDataResult data, read_planned(input, read, request.channels));
  VELMORA_TRY(check_output_is_not_input(input_identity, output_path));
  return write_data_result_csv(output_path, data, request.channels, read.offset_us.value_or(0));
}

}  // namespace

Result<ReadOutput> read_cwa_file(const ReadRequest& request) {
  InputFile input(request.file_path);
  VELMORA_ASSIGN_OR_RETURN(const PlannedRead read, plan_read(request, input));
  VELMORA_ASSIGN_OR_RETURN(CwaDataResult data, read_planned(input, read, request.channels));
  if (read.offset_us) shift_to_utc(data.timestamps, *read.offset_us);
  return ReadOutput{std::move(data), read.offset_us.has_value()};
}

Status write_cwa_csv(const ReadRequest& request, std::string_view output_path) {
  InputFile input(request.file_path);
  VELMORA_ASSIGN_OR_RETURN(const PlannedRead read, plan_read(request, input));
  if (read.resample_hz || read.plan.has_time_bounds()) {
    return write_whole_result(request, output_path, input, read);
  }
  return write_streamed_csv(input, read.plan.block_selection(), output_path, request.channels,
                            read.offset_us.value_or(0));
}

}  // namespace velmora
