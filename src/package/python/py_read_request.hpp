// The converted arguments of read_cwa_file and write_cwa_csv as the core's ReadRequest.
#pragma once

#include <optional>

#include "package/pipeline/read_pipeline.hpp"
#include "package/python/py_bodies.hpp"

namespace velmora::py {

// Reads the cut dict and wraps the time zone's utcoffset as the request's offset callback.
// Returns nullopt with the Python exception set when the cut cannot be read.
std::optional<ReadRequest> read_request(const ReadArguments& arguments);

}  // namespace velmora::py
