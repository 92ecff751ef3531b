// read_cwa_file: the read pipeline and the DataFrame.
#include <cstdint>
#include <optional>
#include <utility>

#include "errors/py_errors.hpp"
#include "package/python/py_bodies.hpp"
#include "package/python/py_dataframe.hpp"
#include "package/python/py_read_request.hpp"
#include "package/read/data_result.hpp"
#include "package/read/planned_read.hpp"

namespace velmora::py {

namespace {

// Moves device-clock microseconds to UTC in one pass.
void subtract_offset(Column<int64_t>& timestamps, int64_t offset_us) {
  int64_t* values = timestamps.data();
  const size_t rows = timestamps.size();
  // Wraps instead of overflowing; no decoded timestamp comes near the 64-bit limits.
  const auto offset = static_cast<uint64_t>(offset_us);
  for (size_t i = 0; i < rows; ++i) {
    values[i] = static_cast<int64_t>(static_cast<uint64_t>(values[i]) - offset);
  }
}

}  // namespace

PyObject* read_cwa_file(const ReadArguments& arguments) {
  std::optional<ReadRequest> request = prepare_read(arguments);
  if (!request) return nullptr;

  auto data =
      read_planned(arguments.file_path, request->plan, request->resample_hz, arguments.selection);
  if (!data) return raise_error(data.error());

  if (request->offset_us) subtract_offset(data->timestamps, *request->offset_us);
  return build_dataframe(std::move(*data), request->offset_us.has_value());
}

}  // namespace velmora::py
