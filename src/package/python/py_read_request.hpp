// The steps read_cwa_file and write_cwa_csv share before any sample is read.
#pragma once

#include <cstdint>
#include <optional>

#include "package/python/py_bodies.hpp"
#include "package/read/cut_config.hpp"

namespace velmora::py {

struct ReadRequest {
  ReadPlan plan;
  std::optional<double> resample_hz;  // absent: no resampling
  std::optional<int64_t> offset_us;   // absent: no fixed UTC offset given
};

// Parses the cut, then the resampling options, resolves the plan and obtains the offset, in
// that order. Returns nullopt with the Python exception set at the first failure.
std::optional<ReadRequest> prepare_read(const ReadArguments& arguments);

}  // namespace velmora::py
