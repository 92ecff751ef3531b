// read_metadata and sampling_consistency_report.
#include "module/py_bodies.hpp"

namespace velmora::py {

PyObject* read_metadata(const std::string&) {
  PyErr_SetString(PyExc_NotImplementedError, "read_metadata is not implemented yet");
  return nullptr;
}

PyObject* sampling_consistency_report(const std::string&) {
  PyErr_SetString(PyExc_NotImplementedError, "sampling_consistency_report is not implemented yet");
  return nullptr;
}

}  // namespace velmora::py
