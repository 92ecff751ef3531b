// seconds() and blocks(), which build cut dicts.

#include <string>
#include <string_view>

#include "errors/messages.hpp"
#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "package/python/py_bodies.hpp"

namespace velmora::py {

namespace {

PyRef optional_value(const std::optional<double>& value) {
  return value ? PyRef(PyFloat_FromDouble(*value)) : PyRef::borrow(Py_None);
}

PyRef optional_value(const std::optional<uint64_t>& value) {
  return value ? PyRef(PyLong_FromUnsignedLongLong(*value)) : PyRef::borrow(Py_None);
}

// Builds {"type": type, "start": start, "end": end} in that key order.
template <class Value>
PyObject* cut_dict(const char* type, const std::optional<Value>& start,
                   const std::optional<Value>& end) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyRef type_text(PyUnicode_FromString(type));
  PyRef start_value = optional_value(start);
  PyRef end_value = optional_value(end);
  if (!type_text || !start_value || !end_value) return nullptr;
  if (PyDict_SetItemString(dict.get(), "type", type_text.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "start", start_value.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "end", end_value.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

bool validated(const CutConfig& cut) {
  const Status status = validate(cut);
  if (status) return true;
  raise_error(status.error());
  return false;
}

}  // namespace

PyObject* seconds(std::optional<double> start, std::optional<double> end) {
  if (!validated(SecondsCut{start, end})) return nullptr;
  return cut_dict("seconds", start, end);
}

PyObject* blocks(std::optional<uint64_t> start, std::optional<uint64_t> end) {
  if (!validated(BlocksCut{start, end})) return nullptr;
  return cut_dict("blocks", start, end);
}

}  // namespace velmora::py
