// Conversion of CwaError and internal faults into Python exceptions, and PanicException.
#include "errors/py_errors.hpp"

#include <cstdio>
#include <string>

namespace velmora::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when velmora's own code hits an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it typically\n"
    "propagates all the way up the stack and makes the interpreter exit.";

// Returns the type, created on first use, or null with an exception set. A failed creation is
// not remembered, so the next fault tries again instead of finding a null type and no exception.
// Every caller holds the interpreter lock, which is what serialises the first calls.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("velmora.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
    if (type == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "velmora: PanicException could not be created");
    }
  }
  return type;
}

PyObject* raise_with_text(PyObject* type, const CwaError& error) {
  // A signal's handler that raised while the failing call tidied up (a CSV output's last
  // write) has the last word: the user pressed Ctrl-C.
  if (PyErr_Occurred() != nullptr) return nullptr;
  const std::string text = error.display();
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace

PyObject* raise_runtime_error(const CwaError& error) {
  return raise_with_text(PyExc_RuntimeError, error);
}

PyObject* raise_value_error(const CwaError& error) {
  return raise_with_text(PyExc_ValueError, error);
}

PyObject* raise_panic(std::string_view message, const char* file, int line) {
  std::fprintf(stderr, "velmora: internal fault: %.*s at %s:%d\n", static_cast<int>(message.size()),
               message.data(), file, line);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyObject* text =
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace velmora::py
