// read_metadata and sampling_consistency_report: core results converted into Python dicts.
#include "header/py_metadata.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "header/consistency_report.hpp"
#include "header/cwa_header.hpp"
#include "header/data_timing.hpp"
#include "header/timestamp_text.hpp"

namespace velmora::py {

namespace {

PyRef none() { return PyRef::borrow(Py_None); }

PyRef to_py(const std::string& text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}
PyRef to_py(uint64_t value) { return PyRef(PyLong_FromUnsignedLongLong(value)); }
PyRef to_py(double value) { return PyRef(PyFloat_FromDouble(value)); }
PyRef to_py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

template <class T>
PyRef to_py(const std::optional<T>& value) {
  if (!value) return none();
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, double>) {
    return to_py(*value);
  } else {
    return to_py(static_cast<uint64_t>(*value));
  }
}

// Inserts one entry; false with the Python error set when the value or the insertion failed.
bool put(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* read_metadata(const std::string& file_path) {
  Result<FileMetadata> metadata = read_file_metadata(file_path);
  if (!metadata) return raise_error(metadata.error());
  return metadata_dict(*metadata);
}

PyObject* sampling_consistency_report(const std::string& file_path) {
  Result<ConsistencyReport> report = velmora::sampling_consistency_report(file_path);
  if (!report) return raise_error(report.error());
  return report_dict(*report);
}

PyObject* metadata_dict(const FileMetadata& metadata) {
  const CwaHeader& h = metadata.header;
  const DataTiming* timing = &metadata.timing;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "packet_header", to_py(h.packet_header)) &&
                  put(d, "packet_length", to_py(uint64_t{h.packet_length})) &&
                  put(d, "hardware_type", to_py(h.hardware_type)) &&
                  put(d, "device_id", to_py(uint64_t{h.device_id})) &&
                  put(d, "session_id", to_py(uint64_t{h.session_id})) &&
                  put(d, "upper_device_id", to_py(uint64_t{h.upper_device_id})) &&
                  put(d, "logging_start_time_raw", to_py(raw_text(h.logging_start_time))) &&
                  put(d, "logging_end_time_raw", to_py(raw_text(h.logging_end_time))) &&
                  put(d, "last_change_time_raw", to_py(raw_text(h.last_change_time))) &&
                  put(d, "start_from_data_raw", to_py(raw_text(timing->first_sample_us))) &&
                  put(d, "end_from_data_raw", to_py(raw_text(timing->last_sample_us))) &&
                  put(d, "flash_led", to_py(uint64_t{h.flash_led})) &&
                  put(d, "sensor_config", to_py(uint64_t{h.sensor_config})) &&
                  put(d, "sample_rate_hz", to_py(h.sample_rate_hz)) &&
                  put(d, "accel_range", to_py(uint64_t{h.accel_range})) &&
                  put(d, "firmware_revision", to_py(uint64_t{h.firmware_revision})) &&
                  put(d, "annotation", to_py(h.annotation)) &&
                  put(d, "gyro_range", to_py(h.gyro_range)) &&
                  put(d, "magnetometer_enabled", to_py_bool(h.magnetometer_enabled));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* report_dict(const ConsistencyReport& r) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "start_from_header_raw", to_py(r.start_from_header_raw)) &&
                  put(d, "end_from_header_raw", to_py(r.end_from_header_raw)) &&
                  put(d, "duration_s_from_header", to_py(r.duration_s_from_header)) &&
                  put(d, "start_from_data_raw", to_py(r.start_from_data_raw)) &&
                  put(d, "end_from_data_raw", to_py(r.end_from_data_raw)) &&
                  put(d, "duration_s_from_data", to_py(r.duration_s_from_data)) &&
                  put(d, "samplingrate_hz_from_header", to_py(r.samplingrate_hz_from_header)) &&
                  put(d, "samplingrate_hz_from_data", to_py(r.samplingrate_hz_from_data));
  if (!ok) return nullptr;
  return dict.release();
}

}  // namespace velmora::py
