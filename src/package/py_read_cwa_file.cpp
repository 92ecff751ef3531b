// read_cwa_file: the read pipeline and the DataFrame.
#include "module/py_bodies.hpp"

namespace velmora::py {

PyObject* read_cwa_file(const ReadArguments&) {
  PyErr_SetString(PyExc_NotImplementedError, "read_cwa_file is not implemented yet");
  return nullptr;
}

}  // namespace velmora::py
