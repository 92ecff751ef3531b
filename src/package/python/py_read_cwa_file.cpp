// read_cwa_file: the request in, the DataFrame out.
#include <utility>

#include "errors/py_errors.hpp"
#include "package/python/py_bodies.hpp"
#include "package/python/py_dataframe.hpp"

namespace velmora::py {

PyObject* read_cwa_file(const ReadRequest& request) {
  Result<ReadOutput> output = velmora::read_cwa_file(request);
  if (!output) return raise_error(output.error());
  return build_dataframe(std::move(output->data), output->utc);
}

}  // namespace velmora::py
