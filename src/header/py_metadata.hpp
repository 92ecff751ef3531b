// The bodies of read_metadata and sampling_consistency_report, called by the call wrapper with
// converted arguments. Each returns a new reference, or nullptr with a Python exception set;
// InternalFault and std::bad_alloc are left to the wrapper's guard.
#pragma once

#include <Python.h>

#include <string>

#include "header/consistency_report.hpp"
#include "header/data_timing.hpp"

namespace velmora::py {

PyObject* read_metadata(const std::string& file_path);
PyObject* sampling_consistency_report(const std::string& file_path);

// The dicts the two functions return, from facts found elsewhere (a streamed recording).
PyObject* metadata_dict(const FileMetadata& metadata);
PyObject* report_dict(const ConsistencyReport& report);

}  // namespace velmora::py
