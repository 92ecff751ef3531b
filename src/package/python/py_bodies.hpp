// The bodies of seconds, blocks, read_cwa_file and write_cwa_csv, called by the call wrapper
// with converted arguments. Each returns a new reference, or nullptr with a Python exception
// set; InternalFault and std::bad_alloc are left to the wrapper's guard.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "package/pipeline/read_pipeline.hpp"

namespace velmora::py {

PyObject* seconds(std::optional<double> start, std::optional<double> end);
PyObject* blocks(std::optional<uint64_t> start, std::optional<uint64_t> end);
PyObject* read_cwa_file(const ReadRequest& request);
PyObject* write_cwa_csv(const ReadRequest& request, const std::string& output_path);

}  // namespace velmora::py
