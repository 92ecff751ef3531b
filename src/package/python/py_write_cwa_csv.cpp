// write_cwa_csv: the request in, None out.
#include "errors/py_errors.hpp"
#include "package/python/py_bodies.hpp"

namespace velmora::py {

PyObject* write_cwa_csv(const ReadRequest& request, const std::string& output_path) {
  if (Status written = velmora::write_cwa_csv(request, output_path); !written) {
    return raise_error(written.error());
  }
  Py_RETURN_NONE;
}

}  // namespace velmora::py
