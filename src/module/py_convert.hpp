// Conversions of Python argument values into the C++ values the bodies take, with the
// type-test messages that argument errors carry.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::py {

// Raises TypeError "'<qualified type name>' object cannot be converted to '<target>'" for the
// type of `object`; returns nullptr.
PyObject* raise_cannot_convert(PyObject* object, const char* target);

// Reads a str (or subclass) as UTF-8; other types fail with the 'PyString' type test.
bool to_utf8(PyObject* object, std::string& out);

// Reads a bool or a NumPy boolean scalar; other types fail with the 'PyBool' type test.
bool to_flag(PyObject* object, bool& out);

// Reads an exact float directly, anything else through PyFloat_AsDouble.
bool to_f64(PyObject* object, double& out);

// Reads an int (or subclass), anything else through __index__, as an unsigned 64-bit integer.
bool to_u64(PyObject* object, uint64_t& out);

// Accepts a datetime.tzinfo instance (or subclass); other types fail with the 'PyTzInfo' test.
bool check_tzinfo(PyObject* object);

// Sets `offset_us` to tz.utcoffset(None) in microseconds (absent for a null tz). Returns false
// with the Python exception set when the call fails, does not give a timedelta, or gives an
// offset of a day or more.
bool fixed_timezone_offset_us(PyObject* tz, std::optional<int64_t>& offset_us);

}  // namespace velmora::py
