// write_cwa_csv: the read pipeline that read_cwa_file shares, then one of the two ways to CSV
// (the whole result, or planned blocks streamed packet by packet).
#include <cstdint>
#include <optional>
#include <utility>

#include "errors/py_errors.hpp"
#include "package/csv/csv_writer.hpp"
#include "package/python/py_bodies.hpp"
#include "package/python/py_read_request.hpp"
#include "package/read/data_result.hpp"
#include "package/read/planned_read.hpp"
#include "package/read/time_filter.hpp"

namespace velmora::py {

namespace {

// Reads the whole result first, then writes it. The input stays open meanwhile so that an output
// naming it (also through a link) is refused before the output is created, which would truncate
// the recording; a failure to open it is left for the read to report.
Status write_whole_result(const ReadArguments& arguments, const std::string& output_path,
                          const ReadRequest& request, int64_t offset_us) {
  const Result<CwaFile> input = CwaFile::open(arguments.file_path);
  VELMORA_ASSIGN_OR_RETURN(
      const CwaDataResult data,
      read_planned(arguments.file_path, request.plan, request.resample_hz, arguments.selection));
  if (input) VELMORA_TRY(check_output_is_not_input(*input, output_path));
  return write_data_result_csv(output_path, data, arguments.selection, offset_us);
}

Status write_csv(const ReadArguments& arguments, const std::string& output_path,
                 const ReadRequest& request) {
  const int64_t offset_us = request.offset_us.value_or(0);
  VELMORA_TRY(check_time_bounds(request.plan.range_start_time, request.plan.range_end_time));
  if (request.resample_hz || request.plan.has_time_bounds()) {
    return write_whole_result(arguments, output_path, request, offset_us);
  }
  // Memory stays flat however long the recording is.
  return write_streamed_csv(arguments.file_path, request.plan.block_selection(), output_path,
                            arguments.selection, offset_us);
}

}  // namespace

PyObject* write_cwa_csv(const ReadArguments& arguments, const std::string& output_path) {
  std::optional<ReadRequest> request = prepare_read(arguments);
  if (!request) return nullptr;
  if (Status written = write_csv(arguments, output_path, *request); !written) {
    return raise_error(written.error());
  }
  Py_RETURN_NONE;
}

}  // namespace velmora::py
