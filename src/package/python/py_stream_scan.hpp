// The header facts and the block scan of a recording read from a binary file object (an open
// .cwa.gz), for the study package's private extension module.
#pragma once

#include <Python.h>

namespace velmora::py {

// Reads `readable` to its end through readinto() into one reused buffer and returns
// {"metadata": dict, "report": dict, "scan": dict}, each the value read_metadata,
// sampling_consistency_report and scan_blocks give for a file holding the same bytes, or the
// RuntimeError they would raise (as an object, not raised). An exception raised while reading
// the stream is raised; nullptr then.
PyObject* scan_stream(PyObject* readable);

}  // namespace velmora::py
