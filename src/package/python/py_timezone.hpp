// The fixed UTC offset of a fixed_utc_offset_timezone argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace velmora::py {

// Sets `offset_us` to tz.utcoffset(None) in microseconds (absent for a null tz). Returns false
// with the Python exception set when the call fails or does not give a timedelta.
bool fixed_timezone_offset_us(PyObject* tz, std::optional<int64_t>& offset_us);

// Imports the datetime C API once; false with an exception set on failure.
bool ensure_datetime_api();

}  // namespace velmora::py
