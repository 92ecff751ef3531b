// The bodies of seconds, blocks, read_cwa_file and write_cwa_csv, called by the call wrapper
// with converted arguments. Each returns a new reference, or nullptr with a Python exception
// set; InternalFault and std::bad_alloc are left to the wrapper's guard.
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

PyObject* seconds(std::optional<double> start, std::optional<double> end);
PyObject* blocks(std::optional<uint64_t> start, std::optional<uint64_t> end);
PyObject* read_cwa_file(const ReadArguments& arguments);
PyObject* write_cwa_csv(const ReadArguments& arguments, const std::string& output_path);

}  // namespace velmora::py
