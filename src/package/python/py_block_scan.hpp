// The block scan as a dict of packed little-endian columns, for the study package's private
// extension module.
#pragma once

#include <Python.h>

#include <string>

#include "errors/cwa_error.hpp"
#include "header/cwa_header.hpp"
#include "package/read/block_scan.hpp"

namespace velmora::py {

// Returns {"file_bytes": int, "accel_range": int or None (g, from the metadata block),
// "reasons": [str, ...], "blocks": the ScannedBlock records as a flat int64 array}; nullptr with
// RuntimeError set when the file cannot be scanned.
PyObject* scan_blocks(const std::string& file_path);

// The same dict from a scan and the parse of its metadata block; takes the records over.
PyObject* scan_dict(BlockScan& scan, const Result<CwaHeader>& header);

}  // namespace velmora::py
