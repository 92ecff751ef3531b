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

// Longest data line: the time, a float text per channel, separators and the line end.
constexpr size_t kMaxLineChars =
    kTimeMaxChars + kChannelCount * kFloat6MaxChars + kChannelCount + 1;

// Longest text of the per-packet readings: their float texts with their separators.
constexpr size_t kReadingsMaxChars = kReadingCount * FloatTextCache::kRoom;
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

// The sensors whose axes every output has; the motion sensors' axes only when found.
constexpr uint8_t kSensorsOfEveryPacket = static_cast<uint8_t>(~kMotionSensors);

// Whether the output has a channel: a reading when asked for, an axis when its sensor is among
// the output's `sensors`.
constexpr bool written(const ChannelRow& row, ChannelSelection channels, uint8_t sensors) {
  return row.reading ? channels.includes(row.flag) : (sensors & sensor_bit(row.sensor)) != 0;
}

std::vector<std::string_view> csv_header(ChannelSelection channels, uint8_t sensors) {
  std::vector<std::string_view> names = {"time"};
  for (const ChannelRow& row : kChannels) {
    if (written(row, channels, sensors)) names.push_back(row.name);
  }
  return names;
}

// The slots of the requested readings, in column order.
struct ReadingSlots {
  std::array<size_t, kReadingCount> slot{};
  size_t count = 0;
};

ReadingSlots requested_readings(ChannelSelection channels) {
  ReadingSlots readings;
  for (size_t c = kSensorAxes; c < kChannelCount; ++c) {
    if (channels.includes(kChannels[c].flag)) readings.slot[readings.count++] = kind_slot(c);
  }
  return readings;
}

// Writes the texts of the requested readings, each with its ',', and returns the end.
char* put_readings(FloatTextCache& floats, const ReadingSlots& requested,
                   const PacketReadings& values, char* out) {
  for (size_t k = 0; k < requested.count; ++k) out = floats.put(values[requested.slot[k]], out);
  return out;
}

// Where the values of lines come from: one array per column by table row, indexed by row, and
// the sensors whose axes the lines have.
struct LineSources {
  std::array<const float*, kChannelCount> column{};
  uint8_t sensors = 0;
};

// The sources of a decoded packet's lines; the axes of a sensor the packet lacks are NaN.
LineSources packet_sources(const DecodedPacket& packet, uint8_t sensors, const float* missing) {
  LineSources in;
  in.sensors = sensors;
  for (size_t axis = 0; axis < kSensorAxes; ++axis) {
    const uint8_t sensor = sensor_bit(kChannels[axis].sensor);
    in.column[axis] = (packet.sensors & sensor) != 0 ? packet.values[axis].data() : missing;
  }
  return in;
}

// Writes one data line as a record: the time, the values of row i and the readings' finished
// text; with kReadingColumns, the readings come from their columns instead (those set). When
// the record buffer has room for the longest possible line, the text is assembled straight in
// it.
template <bool kReadingColumns>
[[gnu::always_inline]] inline Status write_csv_row(CsvFileWriter& writer, RowText& text,
                                                   int64_t time, const LineSources& in, size_t i,
                                                   std::string_view readings) {
  char* const direct = writer.record_space(kLineRoom);
  char* const start = direct != nullptr ? direct : text.line.data();
  FloatTextCache& floats = text.floats;
  char* out = text.time.format(time, start);
  *out++ = ',';
  // The GNU spelling: placed after the parameters, clang reads [[gnu::always_inline]] as the
  // lambda type's attribute and ignores it.
  for_each_channel([&](auto c) __attribute__((always_inline)) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (row.reading) {
      if constexpr (kReadingColumns) {
        if (in.column[c] != nullptr) out = floats.put(in.column[c][i], out);
      }
    } else if (in_every_packet(row) || (in.sensors & sensor_bit(row.sensor)) != 0) {
      out = floats.put(in.column[c][i], out);
    }
  });
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
Status write_header(CsvFileWriter& writer, ChannelSelection channels, uint8_t sensors) {
  std::string line;
  for (const std::string_view name : csv_header(channels, sensors)) {
    line.append(name);
    line.push_back(',');
  }
  line.back() = '\n';
  return writer.write_record(line);
}

// Reads the planned blocks' headers without decoding samples: the sensors of the output.
Status prescan_formats(OpenedBlocks& opened, ChannelSelection channels, uint8_t& sensors) {
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  for (uint64_t block = opened.first_block; block < opened.end_block; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) return fail(ErrorCode::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (!meta) continue;
    sensors |= present_sensors(accepted_format(packet->data()), channels);
  }
  return {};
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
  // A sensor's columns are written when the result has every one of them.
  LineSources in;
  in.sensors = 0xFF;
  for (size_t axis = 0; axis < kSensorAxes; ++axis) {
    const OptionalColumn& column = data.*kChannels[axis].member;
    if (column) {
      in.column[axis] = column->data();
    } else {
      in.sensors &= static_cast<uint8_t>(~sensor_bit(kChannels[axis].sensor));
    }
  }
  VELMORA_TRY(write_header(writer, channels, in.sensors));
  // A requested reading the result lacks fails before any of the first row is written. The
  // readings of a whole result are columns like the axes.
  for (size_t c = kSensorAxes; c < kChannelCount; ++c) {
    const ChannelRow& row = kChannels[c];
    const OptionalColumn& column = data.*row.member;
    if (!channels.includes(row.flag)) continue;
    if (column) {
      in.column[c] = column->data();
    } else if (data.rows() > 0) {
      return fail(row.missing);
    }
  }
  const auto text = std::make_unique<RowText>();
  for (size_t i = 0; i < data.rows(); ++i) {
    // Nothing is read here, and a resampled result can be far longer than its input.
    if (i % kRowsPerInterruptCheck == 0) check_interrupt();
    VELMORA_TRY(
        write_csv_row<true>(writer, *text, to_utc_us(data.timestamps[i], offset_us), in, i, {}));
  }
  return writer.finish();
}

Status write_streamed_csv(InputFile& input, BlockSelection selection, std::string_view output_path,
                          ChannelSelection channels, int64_t offset_us) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input, selection));
  VELMORA_TRY(check_output_is_not_input(opened.file.identity(), output_path));
  uint8_t sensors = kSensorsOfEveryPacket;
  VELMORA_TRY(prescan_formats(opened, channels, sensors));
  VELMORA_TRY(opened.file.seek(kMetadataBytes + kPacketBytes * opened.first_block));

  // Created only now: a failure above leaves an existing output file untouched.
  CsvFileWriter writer;
  VELMORA_TRY(writer.create(output_path));
  VELMORA_TRY(write_header(writer, channels, sensors));
  const auto text = std::make_unique<RowText>();
  // The readings are the same for every sample of a packet: formatted once per packet.
  std::array<char, kReadingsMaxChars + FloatTextCache::kRoom> readings;
  PacketStream stream(std::move(opened), channels);
  const ReadingSlots requested = requested_readings(channels);
  std::array<float, kMaxSamplesPerPacket> missing;
  missing.fill(kMissingValue);
  for (;;) {
    Result<const DecodedPacket*> next = stream.next();
    if (!next) return fail(std::move(next).error());
    const DecodedPacket* const packet = *next;
    if (packet == nullptr) break;
    const std::string_view readings_text(
        readings.data(), put_readings(text->floats, requested, packet->readings, readings.data()));
    const LineSources in = packet_sources(*packet, sensors, missing.data());
    for (size_t i = 0; i < packet->count; ++i) {
      VELMORA_TRY(write_csv_row<false>(writer, *text, to_utc_us(packet->timestamps[i], offset_us),
                                       in, i, readings_text));
    }
  }
  return writer.finish();
}

}  // namespace velmora
