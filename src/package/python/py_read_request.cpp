// ReadArguments into a ReadRequest: the cut dict read back, the time zone as a callback.
#include "package/python/py_read_request.hpp"

#include "package/python/py_cut.hpp"
#include "package/python/py_timezone.hpp"

namespace velmora::py {

std::optional<ReadRequest> read_request(const ReadArguments& arguments) {
  ReadRequest request{.file_path = arguments.file_path,
                      .cut = WholeCut{},
                      .channels = arguments.selection,
                      .resample_hz = arguments.resample_hz,
                      .resample_method = arguments.resample_method,
                      .utc_offset_us = {}};
  if (!parse_cut_config(arguments.cut, request.cut)) return std::nullopt;
  if (PyObject* tz = arguments.fixed_utc_offset_timezone) {
    // The call holds the interpreter lock throughout, so the callback may call Python.
    request.utc_offset_us = [tz]() -> Result<int64_t> {
      std::optional<int64_t> offset_us;
      if (!fixed_timezone_offset_us(tz, offset_us)) return fail(ErrorCode::kRaisedByCaller);
      return offset_us.value_or(0);
    };
  }
  return request;
}

}  // namespace velmora::py
