// fixed_timezone_offset_us through the datetime C API.
#include "package/python/py_timezone.hpp"

// clang-format off
#include <datetime.h>
// clang-format on

#include "errors/internal_fault.hpp"
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
