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
#include "package/decode/packet_samples.hpp"
#include "package/read/opened_blocks.hpp"
#include "package/read/packet_stream.hpp"
#include "package/read/utc_offset.hpp"
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
  const bool readings[] = {channels.include_temperature, channels.include_light,
                           channels.include_battery};
  std::vector<std::string_view> names = {"time"};
  for (const AccelerometerColumnField& field : kAccelerometerColumns) names.push_back(field.name);
  for (size_t i = 0; i < kOptionalColumns.size(); ++i) {
    const OptionalColumnField& field = kOptionalColumns[i];
    const bool written = field.kind == ChannelKind::kGyroscope ? has_gyro
                         : field.kind == ChannelKind::kMagnetometer
                             ? has_mag
                             : readings[i - kFirstReadingColumn];
    if (written) names.push_back(field.name);
  }
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

// Where the sensor values of rows come from: one array per axis in AxisValues order, indexed by
// row. The axes of a column the output lacks are not read.
using AxisSources = std::array<const float*, kSensorAxes>;

// Writes one data line as a record: the time, the sensor values of row i and the readings'
// finished text. When the record buffer has room for the longest possible line, the text is
// assembled straight in it.
[[gnu::always_inline]] inline Status write_csv_row(CsvFileWriter& writer, RowText& text,
                                                   RowColumns columns, int64_t time,
                                                   const AxisSources& axes, size_t i,
                                                   std::string_view readings) {
  char* const direct = writer.record_space(kLineRoom);
  char* const start = direct != nullptr ? direct : text.line.data();
  FloatTextCache& floats = text.floats;
  char* out = text.time.format(time, start);
  *out++ = ',';
  for (size_t axis = 0; axis < 3; ++axis) out = floats.put(axes[axis][i], out);
  if (columns.has_gyro) {
    for (size_t axis = 3; axis < 6; ++axis) out = floats.put(axes[axis][i], out);
  }
  if (columns.has_mag) {
    for (size_t axis = 6; axis < 9; ++axis) out = floats.put(axes[axis][i], out);
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

// Reads the planned blocks' headers without decoding samples: which optional columns exist.
Status prescan_formats(OpenedBlocks& opened, bool include_magnetometer, bool& has_gyro,
                       bool& has_mag) {
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  for (uint64_t block = opened.first_block; block < opened.end_block; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) return fail(ErrorCode::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (!meta) continue;
    const SampleFormat& format = accepted_format(packet->data());
    if (format.gyro) has_gyro = true;
    if (format.mag && include_magnetometer) has_mag = true;
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
Status check_output_is_not_input(std::optional<FileIdentity> input, std::string_view output_path) {
  // A path with a NUL names no file; creating the output reports it.
  if (!input || output_path.find('\0') != std::string_view::npos) return {};
  struct stat output_stat {};
  if (::stat(std::string(output_path).c_str(), &output_stat) != 0) return {};
  const FileIdentity output{static_cast<uint64_t>(output_stat.st_dev),
                            static_cast<uint64_t>(output_stat.st_ino)};
  if (output == *input) return fail(ErrorCode::kOutputIsInput);
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
  const auto column_data = [](const OptionalColumn& column) {
    return column ? column->data() : nullptr;
  };
  const AxisSources axes = {
      data.acc_x.data(),        data.acc_y.data(),        data.acc_z.data(),
      column_data(data.gyro_x), column_data(data.gyro_y), column_data(data.gyro_z),
      column_data(data.mag_x),  column_data(data.mag_y),  column_data(data.mag_z)};
  for (size_t i = 0; i < data.rows(); ++i) {
    // Nothing is read here, and a resampled result can be far longer than its input.
    if (i % kRowsPerInterruptCheck == 0) check_interrupt();
    const PacketReadings values = {.temperature = column_value(data.temperature, i),
                                   .light = column_value(data.light, i),
                                   .battery = column_value(data.battery, i)};
    char* const readings_end = put_readings(text->floats, channels, values, readings.data());
    VELMORA_TRY(write_csv_row(writer, *text, columns, to_utc_us(data.timestamps[i], offset_us),
                              axes, i, std::string_view(readings.data(), readings_end)));
  }
  return writer.finish();
}

Status write_streamed_csv(InputFile& input, BlockSelection selection, std::string_view output_path,
                          ChannelSelection channels, int64_t offset_us) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input, selection));
  VELMORA_TRY(check_output_is_not_input(opened.file.identity(), output_path));
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
  std::array<float, kMaxSamplesPerPacket> missing;
  missing.fill(kMissingValue);
  for (;;) {
    Result<const DecodedPacket*> next = stream.next();
    if (!next) return fail(std::move(next).error());
    const DecodedPacket* const packet = *next;
    if (packet == nullptr) break;
    const std::string_view readings_text(
        readings.data(), put_readings(text->floats, channels, packet->readings, readings.data()));
    AxisSources axes;
    for (size_t axis = 0; axis < kSensorAxes; ++axis) axes[axis] = packet->values[axis].data();
    // A sensor the packet lacks is NaN in its columns.
    if (!packet->has_gyro) std::fill_n(axes.begin() + 3, 3, missing.data());
    if (!packet->has_mag) std::fill_n(axes.begin() + 6, 3, missing.data());
    for (size_t i = 0; i < packet->count; ++i) {
      VELMORA_TRY(write_csv_row(writer, *text, columns, to_utc_us(packet->timestamps[i], offset_us),
                                axes, i, readings_text));
    }
  }
  return writer.finish();
}

}  // namespace velmora
