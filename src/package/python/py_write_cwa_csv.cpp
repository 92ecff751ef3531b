// write_cwa_csv: the request in, None out.
#include "errors/py_errors.hpp"
#include "package/python/py_bodies.hpp"
#include "package/python/py_read_request.hpp"

namespace velmora::py {

PyObject* write_cwa_csv(const ReadArguments& arguments, const std::string& output_path) {
  std::optional<ReadRequest> request = read_request(arguments);
  if (!request) return nullptr;
  if (Status written = velmora::write_cwa_csv(*request, output_path); !written) {
    return raise_error(written.error());
  }
  Py_RETURN_NONE;
}

}  // namespace velmora::py
