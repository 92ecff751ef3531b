// The clipping count over a DataFrame's accelerometer columns, for the study package.
#pragma once

#include <Python.h>

namespace velmora::py {

// count_at_limit(acc_x, acc_y, acc_z, limit): three equal-length buffers of float32 (NumPy
// arrays) and a float; returns an int, or nullptr with ValueError/TypeError set.
PyObject* count_at_limit(PyObject* const* args, Py_ssize_t nargs);

}  // namespace velmora::py
