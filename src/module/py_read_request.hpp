// The arguments of read_cwa_file and write_cwa_csv as the core's ReadRequest: the cut dict read
// back, the time zone wrapped as the offset callback.
#pragma once

#include <Python.h>

#include <optional>

#include "package/pipeline/read_pipeline.hpp"

namespace velmora::py {

// Reads the `cut` argument (null or None: the whole file) into a CutConfig, which the read
// validates. Returns false with the Python exception set: ValueError for a malformed cut, the
// conversion's own exception (TypeError, OverflowError, ...) for an unreadable value.
bool parse_cut_config(PyObject* cut, CutConfig& out);

// Makes the request's offset callback call tz.utcoffset(None) (tz borrowed, kept alive by the
// call's arguments); a Python exception there ends the read as kRaisedByCaller.
void set_utc_offset(ReadRequest& request, PyObject* tz);

}  // namespace velmora::py
