// Cut objects on the Python side: reading the `cut` argument back into a CutConfig.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "package/read/cut_config.hpp"

namespace velmora::py {

// Reads the `cut` argument (null or None: the whole file) into a CutConfig, which the read
// validates. Returns false with the Python exception set: ValueError for a malformed cut, the
// conversion's own exception (TypeError, OverflowError, ...) for an unreadable value.
bool parse_cut_config(PyObject* cut, CutConfig& out);

// Looks `key` up in a dict; a missing key and None leave `out` unset. Otherwise converts the
// value as seconds() and blocks() convert their arguments, without naming an argument in the
// error. Returns false with the Python exception set.
bool get_optional_f64(PyObject* dict, const char* key, std::optional<double>& out);
bool get_optional_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out);

}  // namespace velmora::py
