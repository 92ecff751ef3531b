// The vectorcall entry points of the six module functions: each matches and converts its
// arguments, then runs the function's body inside the error guard.
#pragma once

#include <Python.h>

namespace velmora::py {

PyObject* call_read_metadata(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);
PyObject* call_sampling_consistency_report(PyObject* module, PyObject* const* args,
                                           Py_ssize_t nargsf, PyObject* kwnames);
PyObject* call_seconds(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames);
PyObject* call_blocks(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames);
PyObject* call_read_cwa_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);
PyObject* call_write_cwa_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames);

}  // namespace velmora::py
