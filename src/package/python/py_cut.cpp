// seconds() and blocks(), which build cut dicts, and the parser that reads a cut back.
#include "package/python/py_cut.hpp"

#include <string>
#include <string_view>

#include "errors/messages.hpp"
#include "errors/py_convert.hpp"
#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "package/python/py_bodies.hpp"

namespace velmora::py {

namespace {

// Looks `key` up without raising for a missing key; a strong reference, because converting
// the value may run Python code that changes the dict.
bool lookup(PyObject* dict, const char* key, PyRef& out) {
  PyRef name(PyUnicode_FromString(key));
  if (!name) return false;
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (value == nullptr && PyErr_Occurred() != nullptr) return false;
  out = PyRef::borrow(value);
  return true;
}

template <class Value, class Convert>
bool get_optional(PyObject* dict, const char* key, std::optional<Value>& out, Convert convert) {
  out.reset();
  PyRef value;
  if (!lookup(dict, key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  Value converted{};
  if (!convert(value.get(), converted)) return false;
  out = converted;
  return true;
}

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

bool fail_with(ErrorCode code) {
  raise_error(CwaError(code));
  return false;
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

bool get_optional_f64(PyObject* dict, const char* key, std::optional<double>& out) {
  return get_optional(dict, key, out, to_f64);
}

bool get_optional_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out) {
  return get_optional(dict, key, out, to_u64);
}

bool parse_cut_config(PyObject* cut, CutConfig& out) {
  if (cut == nullptr || cut == Py_None) {
    out = WholeCut{};
    return true;
  }
  if (!PyDict_Check(cut)) {
    return fail_with(ErrorCode::kCutNotCreatedByHelpers);
  }
  PyRef type_value;
  if (!lookup(cut, "type", type_value)) return false;
  if (!type_value) {
    return fail_with(ErrorCode::kCutMissingType);
  }
  std::string type;
  if (!to_utf8(type_value.get(), type)) return false;
  if (type == "blocks") {
    BlocksCut blocks_cut;
    if (!get_optional_usize(cut, "start", blocks_cut.start)) return false;
    if (!get_optional_usize(cut, "end", blocks_cut.end)) return false;
    out = blocks_cut;
  } else if (type == "seconds") {
    SecondsCut seconds_cut;
    if (!get_optional_f64(cut, "start", seconds_cut.start)) return false;
    if (!get_optional_f64(cut, "end", seconds_cut.end)) return false;
    out = seconds_cut;
  } else {
    return fail_with(ErrorCode::kCutTypeInvalid);
  }
  return validated(out);
}

}  // namespace velmora::py
