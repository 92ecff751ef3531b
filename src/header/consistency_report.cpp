// Sampling consistency report computation.
#include "header/consistency_report.hpp"

#include "header/timestamp_text.hpp"

namespace velmora {

namespace {

constexpr double kMicrosPerSecond = 1'000'000.0;

}  // namespace

int64_t header_duration_us(const NaiveDateTime& start, const NaiveDateTime& end) {
  return (end.unix_seconds() - start.unix_seconds()) * 1'000'000;
}

ConsistencyReport make_consistency_report(const CwaHeader& header, const DataTiming& timing) {
  ConsistencyReport report{
      .start_from_header_raw = raw_text(header.logging_start_time),
      .end_from_header_raw = raw_text(header.logging_end_time),
      .duration_s_from_header = std::nullopt,
      .start_from_data_raw = raw_text(timing.first_sample_us),
      .end_from_data_raw = raw_text(timing.last_sample_us),
      .duration_s_from_data = std::nullopt,
      .samplingrate_hz_from_header = header.sample_rate_hz,
      .samplingrate_hz_from_data = std::nullopt,
  };
  if (header.logging_start_time && header.logging_end_time) {
    report.duration_s_from_header = static_cast<double>(header_duration_us(
                                        *header.logging_start_time, *header.logging_end_time)) /
                                    kMicrosPerSecond;
  }
  if (timing.first_sample_us && timing.last_sample_us) {
    // Packet times lie within days of 2000-2063, so the 64-bit difference cannot overflow.
    const double duration =
        static_cast<double>(*timing.last_sample_us - *timing.first_sample_us) / kMicrosPerSecond;
    report.duration_s_from_data = duration;
    if (timing.sample_total >= 2 && duration > 0.0) {
      report.samplingrate_hz_from_data = static_cast<double>(timing.sample_total - 1) / duration;
    }
  }
  return report;
}

Result<ConsistencyReport> sampling_consistency_report(std::string_view file_path) {
  VELMORA_ASSIGN_OR_RETURN(const FileMetadata metadata, read_file_metadata(file_path));
  return make_consistency_report(metadata.header, metadata.timing);
}

}  // namespace velmora
