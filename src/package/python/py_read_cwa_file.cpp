// read_cwa_file: the request in, the DataFrame out.
#include <utility>

#include "errors/py_errors.hpp"
#include "package/python/py_bodies.hpp"
#include "package/python/py_dataframe.hpp"
#include "package/python/py_read_request.hpp"

namespace velmora::py {

PyObject* read_cwa_file(const ReadArguments& arguments) {
  std::optional<ReadRequest> request = read_request(arguments);
  if (!request) return nullptr;
  Result<ReadOutput> output = velmora::read_cwa_file(*request);
  if (!output) return raise_error(output.error());
  return build_dataframe(std::move(output->data), output->utc);
}

}  // namespace velmora::py
