// Fuzz target: resampled reads of any bytes under a rate and seconds window taken from the
// input's first bytes, and the resampler itself on arbitrary sample times.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "package//decode/sample_times.hpp"
#include "package/pipeline/read_pipeline.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "package/read/read_plan.hpp"
#include "package/resample/resampled_read.hpp"
#include "package/resample/resampler.hpp"
#include "reference_decode.hpp"

namespace {

using namespace velmora;
using namespace velmora::fuzz;

constexpr double kMaxGridPoints = 200000.0;

constexpr std::array<double, 8> kRates = {
    0.1, 1.0, 3.7, 30.0, 100.0, 1000.0, 10000.0, std::numeric_limits<double>::denorm_min()};

// Checks equal column lengths and a grid that never goes backwards.
void check_output(const CwaDataResult& out) {
  const size_t rows = out.rows();
  check_equal_lengths(out);
  for (size_t i = 1; i < rows; ++i) check(out.timestamps[i - 1] <= out.timestamps[i]);
}

// Feeds sample times made of the input's bytes straight into a resampler; the queue must stay
// a handful of entries whatever the order of the times.
void resample_raw_times(const uint8_t* data, size_t size, double hz) {
  const ChannelSelection readings = {.include_temperature = true, .include_light = false};
  StreamingResampler resampler(std::nullopt, std::nullopt, readings, hz);
  TimedSample sample{};
  for (size_t at = 0; at + 4 <= size && !resampler.finished(); at += 4) {
    int32_t raw;
    std::memcpy(&raw, data + at, sizeof raw);
    sample.time_s = static_cast<double>(1600000000000000 + static_cast<int64_t>(raw)) / 1000000.0;
    sample.sample.acc_x = static_cast<float>(raw & 0xFF);
    sample.sample.has_gyro = (raw & 0x100) != 0;
    sample.sample.gyro_x = static_cast<float>(raw >> 9);
    push_sample(resampler, sample);
    check(resampler.queued() <= 4);
  }
  resampler.emit_ready(true);
  check_output(resampler.output());
}

// Bounds the grid length of a read by the time span of the samples it can reach (up to a
// failing packet): a few bytes can name years apart, and the fuzzer must stay fast.
double grid_points(const std::string& path, BlockSelection selection, double hz) {
  auto opened = open_cwa_data_blocks(path, selection);
  if (!opened) return 0.0;
  PacketStream stream(std::move(*opened), ChannelSelection{.include_magnetometer = false});
  std::optional<int64_t> low;
  std::optional<int64_t> high;
  for (;;) {
    auto packet = stream.next();
    if (!packet || *packet == nullptr) break;
    for (size_t i = 0; i < (*packet)->count; ++i) {
      const int64_t t = (*packet)->timestamps[i];
      low = low ? std::min(*low, t) : t;
      high = high ? std::max(*high, t) : t;
    }
  }
  if (!low) return 0.0;
  return static_cast<double>(*high - *low) / 1000000.0 * hz;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const double hz = kRates[data[0] & 7];
  // Window bounds in quarter seconds after the first sample; 0xFF leaves a bound unset.
  std::optional<double> start;
  std::optional<double> end;
  if (data[1] != 0xFF) start = data[1] / 4.0;
  if (data[2] != 0xFF) end = data[2] / 4.0 + (start ? *start : 0.0);
  const ChannelSelection channels{(data[3] & 1) != 0, (data[3] & 2) != 0, (data[3] & 4) != 0,
                                  (data[3] & 8) != 0};
  if ((data[3] & 0x80) != 0) {
    resample_raw_times(data + 4, size - 4, kRates[(data[0] >> 3) & 3]);
    return 0;
  }
  const MemoryFile file(data + 4, size - 4);
  if (!file.ok()) return 0;
  const std::string path = file.path();
  CutConfig cut = WholeCut{};
  if (start || end) cut = SecondsCut{start, end};
  if (end && start && *end <= *start) cut = WholeCut{};
  auto plan = resolve_read_plan(path, cut);
  if (!plan) return 0;
  if (grid_points(path, plan->block_selection(), hz) > kMaxGridPoints) return 0;
  ReadRequest request;
  request.file_path = path;
  request.cut = cut;
  request.channels = channels;
  request.resample_hz = hz;
  auto read = read_cwa_file(request);
  if (!read) return 0;
  const CwaDataResult* out = &read->data;
  check(out->rows() > 0);
  check_output(*out);
  check(out->temperature.has_value() == channels.include_temperature);
  check(!out->mag_x || channels.include_magnetometer);
  if (plan->range_end_time) {
    check(out->timestamps[out->rows() - 1] <= seconds_to_us(*plan->range_end_time));
  }
  return 0;
}
