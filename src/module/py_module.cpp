// PyInit_velmora: creates the velmora module once per process and registers its six functions.
#include <Python.h>

#include <array>
#include <cstdint>

#include "errors/py_ref.hpp"
#include "module/py_call.hpp"

namespace velmora::py {

namespace {

// Passes a vectorcall function through the PyCFunction slot of a method definition.
template <class Function>
PyCFunction as_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

constexpr const char* kReadMetadataDoc =
    "read_metadata(file_path)\n"
    "--\n"
    "\n"
    "Read CWA header and sample timing metadata without timezone conversion.\n"
    "Scans packet metadata without decoding sensor values.\n"
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`\n"
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,\n"
    "or None when unset. Convert them to UTC or local time for most analysis.\n"
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual\n"
    "sample timestamps, including packet sample offsets and continuity correction,\n"
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.\n"
    "`last_change_time_raw` records the last metadata write, which need not be\n"
    "the last clock synchronization; check your configuration software.";

constexpr const char* kReportDoc =
    "sampling_consistency_report(file_path)\n"
    "--\n"
    "\n"
    "Return a sampling consistency report for a CWA file.\n"
    "\n"
    "The returned dictionary contains:\n"
    "\n"
    "- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or\n"
    "  `None` when either header timestamp is unavailable.\n"
    "- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data\n"
    "  packets, using the same packet timestamp, `timestampOffset`, and continuity\n"
    "  correction as `read_cwa_file`.\n"
    "- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data\n"
    "  packets, using the same timestamp calculation as `read_cwa_file`.\n"
    "- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is\n"
    "  the inclusive first-sample-to-last-sample span, not the half-open packet end.\n"
    "- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata\n"
    "  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.\n"
    "- `samplingrate_hz_from_data`: effective sampling rate calculated as\n"
    "  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two\n"
    "  samples or no positive data duration are available.\n"
    "\n"
    "All timestamp strings preserve the raw device clock without a timezone.\n"
    "Convert them to UTC or local time before analysis using the clock-sync offset.\n"
    "This method accepts no UTC offset or timezone.";

// Nothing follows the signature, so the interpreter leaves __doc__ as None.
constexpr const char* kSecondsDoc = "seconds(start=None, end=None)\n--\n\n";
constexpr const char* kBlocksDoc = "blocks(start=None, end=None)\n--\n\n";

constexpr const char* kReadCwaFileDoc =
    "read_cwa_file(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\", *, "
    "fixed_utc_offset_timezone=None)\n"
    "--\n"
    "\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.\n"
    "Its fixed offset is subtracted throughout and the index is UTC-aware.\n"
    "Otherwise the index is naive. Determine any named timezone's offset in Python\n"
    "at clock synchronization, rather than at recording start.\n"
    "Numeric channel columns retain their float32 dtype.\n"
    "\n"
    "Gyro and magnetometer columns are included only when present in the selected\n"
    "samples. Recorded zero measurements remain present; missing samples in a\n"
    "present channel are NaN.\n"
    "\n"
    "Optional resampling parameters:\n"
    "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
    "- `resample_method`: currently supports `\"cubic\"`.";

constexpr const char* kWriteCwaCsvDoc =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\", *, fixed_utc_offset_timezone=None)\n"
    "--\n"
    "\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;\n"
    "with it, numeric `time` values are UTC Unix seconds.\n"
    "Otherwise they encode the device clock without assigning a timezone.";

// Registration order; it is also the order of __all__.
std::array<PyMethodDef, 6> functions = {{
    {"read_metadata", as_method(call_read_metadata), kFastcallKeywords, kReadMetadataDoc},
    {"sampling_consistency_report", as_method(call_sampling_consistency_report), kFastcallKeywords,
     kReportDoc},
    {"seconds", as_method(call_seconds), kFastcallKeywords, kSecondsDoc},
    {"blocks", as_method(call_blocks), kFastcallKeywords, kBlocksDoc},
    {"read_cwa_file", as_method(call_read_cwa_file), kFastcallKeywords, kReadCwaFileDoc},
    {"write_cwa_csv", as_method(call_write_cwa_csv), kFastcallKeywords, kWriteCwaCsvDoc},
}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velmora",
    "Python module that reads CWA accelerometer recordings into pandas and CSV.",
    0,        // no per-module state
    nullptr,  // functions are added one by one, bound to the module object
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int64_t first_interpreter = -1;     // the interpreter that first imported the module
PyObject* module_object = nullptr;  // created once, kept for the life of the process

// Returns the module's __all__ list (borrowed), creating it on first use.
PyObject* all_list(PyObject* module) {
  PyObject* attributes = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(attributes, "__all__");
  if (all != nullptr) return all;
  PyRef created(PyList_New(0));
  if (!created || PyDict_SetItemString(attributes, "__all__", created.get()) < 0) return nullptr;
  return created.get();  // the module dict keeps it alive
}

// Creates the function bound to the module, appends its __name__ to __all__ and sets the
// module attribute of that name.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  PyRef function(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return false;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  PyObject* all = all_list(module);
  if (all == nullptr || PyList_Append(all, name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* create_module() {
  PyRef module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& definition : functions) {
    if (!add_function(module.get(), module_name.get(), &definition)) return nullptr;
  }
  return module.release();
}

}  // namespace

}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora(void) {
  using velmora::py::first_interpreter;
  using velmora::py::module_object;
  // The import machinery calls this with the interpreter lock held, so the statics need no lock.
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  if (first_interpreter == -1) first_interpreter = interpreter;
  if (interpreter != first_interpreter) {
    PyErr_SetString(PyExc_ImportError, "velmora does not support sub-interpreters");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  module_object = velmora::py::create_module();
  return module_object == nullptr ? nullptr : Py_NewRef(module_object);
}
