// fixed_timezone_offset_us through the datetime C API.
#include "package/python/py_timezone.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include "errors/py_convert.hpp"
#include "errors/py_ref.hpp"

namespace velmora::py {

bool ensure_datetime_api() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
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
  // A custom tzinfo may return a timedelta of millions of days; wrap instead of overflowing.
  const uint64_t total =
      (static_cast<uint64_t>(days) * 86400u + static_cast<uint64_t>(seconds)) * 1000000u +
      static_cast<uint64_t>(micros);
  offset_us = static_cast<int64_t>(total);
  return true;
}

}  // namespace velmora::py
