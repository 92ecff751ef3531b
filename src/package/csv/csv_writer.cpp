// CSV output: the header and row texts, and the two ways of writing (a whole result, or
// planned blocks streamed packet by packet) through the buffered file writer.
#include "package/csv/csv_writer.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "errors/interrupt.hpp"
#include "errors/messages.hpp"
#include "package/csv/csv_file_writer.hpp"
#include "package/csv/csv_number.hpp"
#include "package/csv/csv_text_cache.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

namespace {

// Rows written between two checks for a pending signal: a few milliseconds of formatting.
constexpr size_t kRowsPerInterruptCheck = size_t{1} << 16;

// Longest data line: the time, twelve float texts, separators and the line end.
constexpr size_t kMaxLineChars = kTimeMaxChars + 12 * kFloat6MaxChars + 13;

// Longest text of the per-packet readings: three float texts with their separators.
constexpr size_t kReadingsMaxChars = 3 * FloatTextCache::kRoom;
// Room a line needs: the longest line, and slack for the fixed-size copies of cached texts.
constexpr size_t kLineRoom = kMaxLineChars + kReadingsMaxChars;

// What data lines are made of, kept across rows: a spare line for when the record buffer is
// nearly full, the time formatter that remembers the whole seconds of the previous row, and
// the cache of float texts.
struct RowText {
  std::array<char, kLineRoom> line;
  TimeFormatter time;
  FloatTextCache floats;
};

// The optional sensor columns of the output.
struct RowColumns {
  bool has_gyro;
  bool has_mag;
};

std::vector<std::string_view> csv_header(ChannelSelection channels, bool has_gyro, bool has_mag) {
  std::vector<std::string_view> names = {"time", "acc_x", "acc_y", "acc_z"};
  if (has_gyro) names.insert(names.end(), {"gyro_x", "gyro_y", "gyro_z"});
  if (has_mag) names.insert(names.end(), {"mag_x", "mag_y", "mag_z"});
  if (channels.include_temperature) names.emplace_back("temperature");
  if (channels.include_light) names.emplace_back("light");
  if (channels.include_battery) names.emplace_back("battery");
  return names;
}

// Writes the texts of the requested readings, each with its ',', and returns the end.
char* put_readings(FloatTextCache& floats, ChannelSelection channels, const PacketReadings& values,
                   char* out) {
  if (channels.include_temperature) out = floats.put(values.temperature, out);
  if (channels.include_light) out = floats.put(values.light, out);
  if (channels.include_battery) out = floats.put(values.battery, out);
  return out;
}

// Writes one data line as a record: the time, the sensor values (NaN for a sensor the sample
// lacks) and the readings' finished text. When the record buffer has room for the longest
// possible line, the text is assembled straight in it.
[[gnu::always_inline]] inline Status write_csv_row(CsvFileWriter& writer, RowText& text,
                                                   RowColumns columns, int64_t time,
                                                   const SampleData& sample,
                                                   std::string_view readings) {
  char* const direct = writer.record_space(kLineRoom);
  char* const start = direct != nullptr ? direct : text.line.data();
  FloatTextCache& floats = text.floats;
  char* out = text.time.format(time, start);
  *out++ = ',';
  out = floats.put(sample.acc_x, out);
  out = floats.put(sample.acc_y, out);
  out = floats.put(sample.acc_z, out);
  if (columns.has_gyro) {
    out = floats.put(sample.has_gyro ? sample.gyro_x : kMissingValue, out);
    out = floats.put(sample.has_gyro ? sample.gyro_y : kMissingValue, out);
    out = floats.put(sample.has_gyro ? sample.gyro_z : kMissingValue, out);
  }
  if (columns.has_mag) {
    out = floats.put(sample.has_mag ? sample.mag_x : kMissingValue, out);
    out = floats.put(sample.has_mag ? sample.mag_y : kMissingValue, out);
    out = floats.put(sample.has_mag ? sample.mag_z : kMissingValue, out);
  }
  // A fixed-size copy where the room allows it; kLineRoom leaves that much slack.
  if (readings.size() > FloatTextCache::kRoom) {
    std::memcpy(out, readings.data(), readings.size());
  } else if (!readings.empty()) {
    std::memcpy(out, readings.data(), FloatTextCache::kRoom);
  }
  out += readings.size();
  out[-1] = '\n';  // the last separator becomes the line end
  const auto size = static_cast<size_t>(out - start);
  if (direct != nullptr) {
    writer.commit_record(size);
    return {};
  }
  return writer.write_record(std::string_view(start, size));
}

// Writes the header record.
Status write_header(CsvFileWriter& writer, ChannelSelection channels, bool has_gyro, bool has_mag) {
  std::string line;
  for (const std::string_view name : csv_header(channels, has_gyro, has_mag)) {
    line.append(name);
    line.push_back(',');
  }
  line.back() = '\n';
  return writer.write_record(line);
}

// Subtracts the offset with wrap-around: no input makes it overflow, and none may make it UB.
int64_t minus_offset(int64_t time, int64_t offset_us) {
  return static_cast<int64_t>(static_cast<uint64_t>(time) - static_cast<uint64_t>(offset_us));
}

// Reads the planned blocks' headers without decoding samples: which optional columns exist.
Status prescan_formats(OpenedBlocks& opened, bool include_magnetometer, bool& has_gyro,
                       bool& has_mag) {
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  for (uint64_t block = opened.first_block; block < opened.end_block; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) return fail(ErrorCode::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (!meta) continue;
    const uint8_t format = (*packet)[packet_offset::kSampleFormat];
    if (format >= 0x60) has_gyro = true;
    if ((format & 0xF0) == 0x90 && include_magnetometer) has_mag = true;
  }
  return {};
}

// Returns the value of an optional column, NaN for a column the result lacks.
float column_value(const OptionalColumn& column, size_t i) {
  return column ? (*column)[i] : kMissingValue;
}

}  // namespace

// Fails when the output path names the open input file itself (also through a link):
// creating the output would truncate the recording before it is read.
Status check_output_is_not_input(const CwaFile& input, std::string_view output_path) {
  // A path with a NUL names no file; creating the output reports it.
  if (output_path.find('\0') != std::string_view::npos) return {};
  struct stat input_stat {};
  struct stat output_stat {};
  if (::fstat(input.fd(), &input_stat) != 0) return {};
  if (::stat(std::string(output_path).c_str(), &output_stat) != 0) return {};
  if (input_stat.st_dev == output_stat.st_dev && input_stat.st_ino == output_stat.st_ino) {
    return fail(ErrorCode::kOutputIsInput);
  }
  return {};
}

Status write_data_result_csv(std::string_view output_path, const CwaDataResult& data,
                             ChannelSelection channels, int64_t offset_us) {
  CsvFileWriter writer;
  VELMORA_TRY(writer.create(output_path));
  const RowColumns columns = {.has_gyro = data.gyro_x.has_value(),
                              .has_mag = data.mag_x.has_value()};
  VELMORA_TRY(write_header(writer, channels, columns.has_gyro, columns.has_mag));
  // A requested reading the result lacks fails before any of the first row is written.
  if (data.rows() > 0) {
    if (channels.include_temperature && !data.temperature)
      return fail(ErrorCode::kTemperatureUnavailable);
    if (channels.include_light && !data.light) return fail(ErrorCode::kLightUnavailable);
    if (channels.include_battery && !data.battery) return fail(ErrorCode::kBatteryUnavailable);
  }
  const auto text = std::make_unique<RowText>();
  std::array<char, kReadingsMaxChars + FloatTextCache::kRoom> readings;
  for (size_t i = 0; i < data.rows(); ++i) {
    // Nothing is read here, and a resampled result can be far longer than its input.
    if (i % kRowsPerInterruptCheck == 0) check_interrupt();
    const SampleData sample = {
        .acc_x = data.acc_x[i],
        .acc_y = data.acc_y[i],
        .acc_z = data.acc_z[i],
        .has_gyro = columns.has_gyro,
        .gyro_x = column_value(data.gyro_x, i),
        .gyro_y = column_value(data.gyro_y, i),
        .gyro_z = column_value(data.gyro_z, i),
        .has_mag = columns.has_mag,
        .mag_x = column_value(data.mag_x, i),
        .mag_y = column_value(data.mag_y, i),
        .mag_z = column_value(data.mag_z, i),
    };
    const PacketReadings values = {.temperature = column_value(data.temperature, i),
                                   .light = column_value(data.light, i),
                                   .battery = column_value(data.battery, i)};
    char* const readings_end = put_readings(text->floats, channels, values, readings.data());
    VELMORA_TRY(write_csv_row(writer, *text, columns, minus_offset(data.timestamps[i], offset_us),
                              sample, std::string_view(readings.data(), readings_end)));
  }
  return writer.finish();
}

Status write_streamed_csv(std::string_view input_path, BlockSelection selection,
                          std::string_view output_path, ChannelSelection channels,
                          int64_t offset_us) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input_path, selection));
  VELMORA_TRY(check_output_is_not_input(opened.file, output_path));
  RowColumns columns = {.has_gyro = false, .has_mag = false};
  VELMORA_TRY(
      prescan_formats(opened, channels.include_magnetometer, columns.has_gyro, columns.has_mag));
  VELMORA_TRY(opened.file.seek(kMetadataBytes + kPacketBytes * opened.first_block));

  // Created only now: a failure above leaves an existing output file untouched.
  CsvFileWriter writer;
  VELMORA_TRY(writer.create(output_path));
  VELMORA_TRY(write_header(writer, channels, columns.has_gyro, columns.has_mag));
  const auto text = std::make_unique<RowText>();
  // The readings are the same for every sample of a packet: formatted once per packet.
  std::array<char, kReadingsMaxChars + FloatTextCache::kRoom> readings;
  PacketStream stream(std::move(opened), channels.include_magnetometer);
  for (;;) {
    Result<const DecodedPacket*> next = stream.next();
    if (!next) return fail(std::move(next).error());
    const DecodedPacket* const packet = *next;
    if (packet == nullptr) break;
    const std::string_view readings_text(
        readings.data(), put_readings(text->floats, channels, packet->readings, readings.data()));
    for (size_t i = 0; i < packet->count; ++i) {
      VELMORA_TRY(write_csv_row(writer, *text, columns,
                                minus_offset(packet->timestamps[i], offset_us), packet->samples[i],
                                readings_text));
    }
  }
  return writer.finish();
}

}  // namespace velmora
