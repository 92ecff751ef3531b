// The shared first steps of the two reading entry points; their order decides which error
// a caller sees when several arguments are wrong.
#include "package/python/py_read_request.hpp"

#include "errors/py_errors.hpp"
#include "package/python/py_cut.hpp"
#include "package/python/py_timezone.hpp"
#include "package/read/read_plan.hpp"
#include "package/resample/resample_options.hpp"

namespace velmora::py {

std::optional<ReadRequest> prepare_read(const ReadArguments& arguments) {
  CutConfig cut;
  if (!parse_cut_config(arguments.cut, cut)) return std::nullopt;

  // Validated before any file is touched, so a bad option wins over a missing file.
  auto resample_hz = parse_resample_options(arguments.resample_hz, arguments.resample_method);
  if (!resample_hz) {
    raise_error(resample_hz.error());
    return std::nullopt;
  }

  auto plan = resolve_read_plan(arguments.file_path, cut);
  if (!plan) {
    raise_error(plan.error());
    return std::nullopt;
  }

  ReadRequest request{.plan = *plan, .resample_hz = *resample_hz, .offset_us = std::nullopt};
  if (!fixed_timezone_offset_us(arguments.fixed_utc_offset_timezone, request.offset_us)) {
    return std::nullopt;
  }
  return request;
}

}  // namespace velmora::py
