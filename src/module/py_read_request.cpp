// The request of read_cwa_file and write_cwa_csv from their converted arguments: the cut dict
// read back, and the time zone wrapped as the offset callback.
#include "module/py_read_request.hpp"

#include <string>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "module/py_convert.hpp"

namespace velmora::py {

namespace {

bool fail_with(ErrorCode code) {
  raise_error(CwaError(code));
  return false;
}

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

// Looks `key` up in a dict; a missing key and None leave `out` unset. Otherwise converts the
// value as seconds() and blocks() convert their arguments, without naming an argument in the
// error.
bool get_optional_f64(PyObject* dict, const char* key, std::optional<double>& out) {
  return get_optional(dict, key, out, to_f64);
}

bool get_optional_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out) {
  return get_optional(dict, key, out, to_u64);
}

}  // namespace

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
  return true;
}

void set_utc_offset(ReadRequest& request, PyObject* tz) {
  if (tz == nullptr) return;
  // The call holds the interpreter lock throughout, so the callback may call Python.
  request.utc_offset_us = [tz]() -> Result<int64_t> {
    std::optional<int64_t> offset_us;
    if (!fixed_timezone_offset_us(tz, offset_us)) return fail(ErrorCode::kRaisedByCaller);
    return offset_us.value_or(0);
  };
}

}  // namespace velmora::py
