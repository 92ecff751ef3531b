// The sampling consistency report: header timing beside the timing found in the data packets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "header/cwa_header.hpp"
#include "header/data_timing.hpp"

namespace velmora {

struct ConsistencyReport {
  std::optional<std::string> start_from_header_raw;
  std::optional<std::string> end_from_header_raw;
  std::optional<double> duration_s_from_header;
  std::optional<std::string> start_from_data_raw;
  std::optional<std::string> end_from_data_raw;
  std::optional<double> duration_s_from_data;
  double samplingrate_hz_from_header;
  std::optional<double> samplingrate_hz_from_data;
};

// Returns end - start in whole microseconds (calendar difference; header times have no fraction).
int64_t header_duration_us(const NaiveDateTime& start, const NaiveDateTime& end);

// Computes the report from a parsed header and a data timing scan.
ConsistencyReport make_consistency_report(const CwaHeader& header, const DataTiming& timing);

// Reads the header and scans the data packets of a file, then builds the report.
Result<ConsistencyReport> sampling_consistency_report(std::string_view file_path);

}  // namespace velmora
