// Conversion of CwaError and internal faults into Python exceptions, and PanicException.
#include "errors/py_errors.hpp"

#include <cstdio>
#include <string>

#include "errors/py_ref.hpp"

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

// The Python exception type of each code: the arguments' own checks give ValueError, everything
// met while reading or writing files RuntimeError (an I/O failure included, never OSError).
// Null for a code whose exception the binding has already set.
PyObject* exception_type(ErrorCode code) {
  switch (code) {
    case ErrorCode::kCutNotCreatedByHelpers:
    case ErrorCode::kCutMissingType:
    case ErrorCode::kCutTypeInvalid:
    case ErrorCode::kBlocksEndNotAfterStart:
    case ErrorCode::kSecondsEndNotAfterStart:
    case ErrorCode::kSecondsNotFinite:
    case ErrorCode::kSecondsNegative:
    case ErrorCode::kResampleHzNotPositive:
    case ErrorCode::kResampleHzTooHigh:
    case ErrorCode::kUnsupportedResampleMethod:
      return PyExc_ValueError;
    case ErrorCode::kRaisedByCaller:
      return nullptr;
    default:
      return PyExc_RuntimeError;
  }
}

}  // namespace

PyObject* raise_text(PyObject* type, std::string_view text) {
  PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_error(const CwaError& error) {
  // A signal's handler that raised while the failing call tidied up (a CSV output's last
  // write) has the last word: the user pressed Ctrl-C.
  if (PyErr_Occurred() != nullptr) return nullptr;
  PyObject* type = exception_type(error.code());
  if (type == nullptr) return nullptr;  // the callback's exception stays set
  return raise_text(type, error.display());
}

PyObject* error_object(const CwaError& error) {
  PyObject* type = exception_type(error.code());
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "velmora: an error raised by a callback has no object");
    return nullptr;
  }
  const std::string text = error.display();
  PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return nullptr;
  return PyObject_CallOneArg(type, message.get());
}

PyObject* raise_panic(std::string_view message, const char* file, int line) {
  std::fprintf(stderr, "velmora: internal fault: %.*s at %s:%d\n", static_cast<int>(message.size()),
               message.data(), file, line);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  return raise_text(type, message);
}

}  // namespace velmora::py
