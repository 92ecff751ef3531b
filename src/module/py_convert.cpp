// Argument value conversions shared by the call wrapper and the cut parser, and the fixed UTC
// offset of a time zone: every use of the datetime C API.
#include "module/py_convert.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include <cstring>

#include "errors/internal_fault.hpp"
#include "errors/py_ref.hpp"

namespace velmora::py {

namespace {

PyRef qualified_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyRef(PyType_GetQualName(type));
#else
  return PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
#endif
}

// Matches NumPy's boolean scalar type by name: numpy.bool_ in NumPy 1, numpy.bool in NumPy 2.
// Only a static (C-defined) type can carry a dotted tp_name, so a Python class cannot pass.
bool is_numpy_bool(PyTypeObject* type) {
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) return false;
  const char* name = type->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Imports the datetime C API: datetime.h keeps its table pointer per file, so every use of the
// API stays in this file.
bool ensure_datetime_api() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

}  // namespace

PyObject* raise_cannot_convert(PyObject* object, const char* target) {
  PyRef name = qualified_name(Py_TYPE(object));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return nullptr;
}

bool to_utf8(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<size_t>(size));
  return true;
}

bool to_flag(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(Py_TYPE(object))) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_cannot_convert(object, "PyBool");
  return false;
}

bool to_f64(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  out = value;
  return true;
}

bool to_u64(PyObject* object, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = static_cast<uint64_t>(value);
  return true;
}

bool check_tzinfo(PyObject* object) {
  if (!ensure_datetime_api()) return false;
  if (PyTZInfo_Check(object)) return true;
  raise_cannot_convert(object, "PyTzInfo");
  return false;
}

bool fixed_timezone_offset_us(PyObject* tz, std::optional<int64_t>& offset_us) {
  offset_us.reset();
  if (tz == nullptr) return true;
  if (!ensure_datetime_api()) return false;
  PyRef name(PyUnicode_InternFromString("utcoffset"));
  if (!name) return false;
  PyObject* call_args[] = {tz, Py_None};
  PyRef offset(PyObject_VectorcallMethod(name.get(), call_args, 2, nullptr));
  if (!offset) return false;
  if (!PyDelta_Check(offset.get())) {
    raise_cannot_convert(offset.get(), "PyDelta");
    return false;
  }
  // The field macros of older CPython headers use C casts, hence the direct read.
  const auto* delta = reinterpret_cast<const PyDateTime_Delta*>(offset.get());
  const auto days = static_cast<int64_t>(delta->days);
  const auto seconds = static_cast<int64_t>(delta->seconds);
  const auto micros = static_cast<int64_t>(delta->microseconds);
  // A custom tzinfo may return a timedelta of millions of days, which would wrap every
  // timestamp. The interpreter's own timezone constructor refuses what a UTC offset cannot be,
  // with its own ValueError; a tzinfo that reaches this far can only be a custom one.
  const bool within_a_day = days == 0 || (days == -1 && (seconds != 0 || micros != 0));
  if (!within_a_day) {
    PyRef refused(PyTimeZone_FromOffset(offset.get()));
    VELMORA_EXPECT(!refused, "out-of-range offset refused by datetime.timezone");
    return false;
  }
  offset_us = (days * 86400 + seconds) * 1000000 + micros;
  return true;
}

}  // namespace velmora::py
