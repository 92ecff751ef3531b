// The pandas DataFrame of read_cwa_file, built over the result's columns without copying.
#pragma once

#include <Python.h>

#include "package/read/data_result.hpp"

namespace velmora::py {

// Hands every column of `data` to NumPy and returns a new DataFrame with a DatetimeIndex named
// "timestamp" (UTC-aware when `utc` is set, else naive); nullptr with an exception set on
// failure. Throws InternalFault when NumPy's array C API cannot be obtained.
PyObject* build_dataframe(CwaDataResult data, bool utc);

}  // namespace velmora::py
