// The bodies of the six module functions, called by the call wrapper with converted arguments.
// Each returns a new reference, or nullptr with a Python exception set. They may throw
// InternalFault or std::bad_alloc; the wrapper's guard turns those into exceptions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "package/read/data_result.hpp"

namespace velmora::py {

// Converted arguments shared by read_cwa_file and write_cwa_csv.
struct ReadArguments {
  std::string file_path;    // UTF-8 text of the str argument
  PyObject* cut = nullptr;  // borrowed; nullptr when absent or None
  ChannelSelection selection;
  std::optional<double> resample_hz;
  std::string resample_method = "cubic";
  PyObject* fixed_utc_offset_timezone = nullptr;  // borrowed tzinfo; nullptr when absent or None
};

PyObject* read_metadata(const std::string& file_path);
PyObject* sampling_consistency_report(const std::string& file_path);
PyObject* seconds(std::optional<double> start, std::optional<double> end);
PyObject* blocks(std::optional<uint64_t> start, std::optional<uint64_t> end);
PyObject* read_cwa_file(const ReadArguments& arguments);
PyObject* write_cwa_csv(const ReadArguments& arguments, const std::string& output_path);

}  // namespace velmora::py
