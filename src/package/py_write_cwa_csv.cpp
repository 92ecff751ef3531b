// write_cwa_csv: the three ways to CSV.
#include "module/py_bodies.hpp"

namespace velmora::py {

PyObject* write_cwa_csv(const ReadArguments&, const std::string&) {
  PyErr_SetString(PyExc_NotImplementedError, "write_cwa_csv is not implemented yet");
  return nullptr;
}

}  // namespace velmora::py
