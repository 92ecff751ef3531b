// write_cwa_csv: the argument checks in their order, then one of the three ways to CSV
// (resampled, filtered by a time range, or streamed packet by packet).
#include <cstdint>
#include <optional>
#include <utility>

#include "errors/py_errors.hpp"
#include "module/py_bodies.hpp"
#include "package/csv/csv_writer.hpp"
#include "package/python/py_cut.hpp"
#include "package/python/py_timezone.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"
#include "package/read/read_plan.hpp"
#include "package/read/reader.hpp"
#include "package/read/time_filter.hpp"
#include "package/resample/resample_options.hpp"
#include "package/resample/resampled_read.hpp"

namespace velmora::py {

namespace {

// Reads the whole result first, then writes it. The input stays open meanwhile so that an output
// naming it (also through a link) is refused before the output is created, which would truncate
// the recording; a failure to open it is left for the read to report.
Status write_read_result(const ReadArguments& arguments, const std::string& output_path,
                         const ReadPlan& plan, std::optional<double> resample_hz,
                         int64_t offset_us) {
  Result<CwaFile> input = CwaFile::open(arguments.file_path);
  CwaDataResult data;
  if (resample_hz) {
    VELMORA_ASSIGN_OR_RETURN(
        data, read_cwa_data_resampled_streaming(arguments.file_path, plan.block_selection(),
                                                *resample_hz, arguments.selection,
                                                plan.range_start_time, plan.range_end_time));
  } else {
    VELMORA_ASSIGN_OR_RETURN(
        CwaDataResult read,
        read_cwa_data(arguments.file_path, plan.block_selection(), arguments.selection));
    VELMORA_ASSIGN_OR_RETURN(data, filter_data_by_time_range(std::move(read), plan.range_start_time,
                                                             plan.range_end_time));
  }
  if (input) VELMORA_TRY(check_output_is_not_input(*input, output_path));
  return write_data_result_csv(output_path, data, arguments.selection, offset_us);
}

Status write_csv(const ReadArguments& arguments, const std::string& output_path,
                 const ReadPlan& plan, std::optional<double> resample_hz, int64_t offset_us) {
  if (resample_hz || plan.has_time_bounds()) {
    return write_read_result(arguments, output_path, plan, resample_hz, offset_us);
  }
  // Memory stays flat however long the recording is.
  return write_streamed_csv(arguments.file_path, plan.block_selection(), output_path,
                            arguments.selection, offset_us);
}

}  // namespace

PyObject* write_cwa_csv(const ReadArguments& arguments, const std::string& output_path) {
  CutConfig cut;
  if (!parse_cut_config(arguments.cut, cut)) return nullptr;

  // Validated before any file is touched, so a bad option wins over a missing file.
  auto resample_hz = parse_resample_options(arguments.resample_hz, arguments.resample_method);
  if (!resample_hz) return raise_value_error(resample_hz.error());

  auto plan = resolve_read_plan(arguments.file_path, cut);
  if (!plan) return raise_runtime_error(plan.error());

  std::optional<int64_t> offset_us;
  if (!fixed_timezone_offset_us(arguments.fixed_utc_offset_timezone, offset_us)) return nullptr;

  if (auto bounds = check_time_bounds(plan->range_start_time, plan->range_end_time); !bounds) {
    return raise_runtime_error(bounds.error());
  }

  if (auto written = write_csv(arguments, output_path, *plan, *resample_hz, offset_us.value_or(0));
      !written) {
    return raise_runtime_error(written.error());
  }
  Py_RETURN_NONE;
}

}  // namespace velmora::py
