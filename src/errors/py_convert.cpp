// Argument value conversions shared by the call wrapper, the cut parser and the timezone offset.
#include "errors/py_convert.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include <cstring>

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

// Imports the datetime C API into this translation unit: datetime.h keeps one pointer per file.
bool datetime_api_ready() {
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
  if (!datetime_api_ready()) return false;
  if (PyTZInfo_Check(object)) return true;
  raise_cannot_convert(object, "PyTzInfo");
  return false;
}

}  // namespace velmora::py
