// The block scan as a dict of packed little-endian columns, for the study package's private
// extension module.
#pragma once

#include <Python.h>

#include <string>

namespace velmora::py {

// Returns {"file_bytes": int, "accel_range": int or None (g, from the metadata block), "reasons":
// [str, ...], and per block "kind" (u1), "reason" (u2, 1 + index into reasons, 0 for none),
// "checksum_ok" (u1), "start_us", "end_us" (i8), "samples" (u2), "rate_hz" (f8), "axes" (u1),
// "sequence_id" (u4) as bytes}; nullptr with RuntimeError set when the file cannot be scanned.
PyObject* scan_blocks(const std::string& file_path);

}  // namespace velmora::py
