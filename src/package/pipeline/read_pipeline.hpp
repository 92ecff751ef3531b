// The two reading entry points of the core, read_cwa_file and write_cwa_csv: every step from the
// request to the columns or the CSV file. The binding converts arguments into a ReadRequest and
// the outcome back; GoogleTest and the fuzzers call these directly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "package/read/cut_config.hpp"
#include "package/read/data_result.hpp"

namespace velmora {

struct ReadRequest {
  std::string file_path;
  CutConfig cut;  // as given; validated first
  ChannelSelection channels;
  std::optional<double> resample_hz;  // absent: no resampling
  std::string resample_method = "cubic";
  // Gives the fixed UTC offset in microseconds. Called once, after the plan is resolved, so that
  // a file's error comes before the time zone's. Empty: times stay on the device clock.
  std::function<Result<int64_t>()> utc_offset_us;
};

struct ReadOutput {
  CwaDataResult data;
  bool utc = false;  // the timestamps were moved to UTC
};

// Validates the cut and the resampling options, resolves the plan, obtains the offset, and reads
// the planned samples (trimmed to the time bounds, or resampled) with their times moved to UTC.
Result<ReadOutput> read_cwa_file(const ReadRequest& request);

// The same steps, written as CSV to `output_path`. Without resampling and time bounds, packets
// are streamed straight into lines, so memory stays flat however long the recording is.
Status write_cwa_csv(const ReadRequest& request, std::string_view output_path);

}  // namespace velmora
