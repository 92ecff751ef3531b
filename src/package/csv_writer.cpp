// CSV output: the file writer with its record and file buffers, the header and row texts, and
// the two ways of writing (a whole result, or planned blocks streamed packet by packet).
#include "package/csv_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "errors/messages.hpp"
#include "package/csv_number.hpp"
#include "package/opened_blocks.hpp"
#include "package/packet_stream.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

namespace {

constexpr size_t kRecordBufferBytes = 8192;
constexpr size_t kFileBufferBytes = size_t{16} << 20;
// Longest data line: the time, twelve float texts, separators and the line end.
constexpr size_t kMaxLineChars = kTimeMaxChars + 12 * kFloat6MaxChars + 13;

// Writes the CSV records of one output file. Bytes pass a record buffer, then a file buffer,
// then the file; a failed write while a record is written is reported without the "IO error: "
// prefix, a failure at creation or at the final flush with it. A writer dropped without a
// successful finish() still hands everything it holds to the file, ignoring errors, so that an
// interrupted call leaves what was written so far.
//
// Both buffers share one allocation: the record buffer is the window right behind the file
// buffer's contents, so passing a record on moves no bytes, only the boundary between them.
class CsvFileWriter {
 public:
  CsvFileWriter() = default;
  CsvFileWriter(const CsvFileWriter&) = delete;
  CsvFileWriter& operator=(const CsvFileWriter&) = delete;
  ~CsvFileWriter() {
    if (fd_ < 0) return;
    if (!finished_) {
      (void)pass_record_on();
      (void)flush_file_buffer();
    }
    ::close(fd_);
  }

  // Creates or truncates the file (mode 0666 before the umask).
  Status create(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
      return fail(CwaError::io(CwaError::IoKind::kNulInPath));
    }
    const std::string terminated(path);
    int fd;
    do {
      fd = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(CwaError::io_errno(errno));
    fd_ = fd;
    buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferBytes + kRecordBufferBytes);
    return {};
  }

  // Writes one record, `line` holding its fields, separators and line end.
  Status write_record(std::string_view line) {
    if (line.size() <= kRecordBufferBytes - record_used_) [[likely]] {
      std::memcpy(record_end(), line.data(), line.size());
      record_used_ += line.size();
      return {};
    }
    return put(line.data(), line.size());
  }

  // Returns room for a record of up to `max_size` bytes right in the record buffer, or nullptr
  // when the buffer has less room left; commit_record() then takes the bytes written there.
  char* record_space(size_t max_size) {
    return max_size <= kRecordBufferBytes - record_used_ ? record_end() : nullptr;
  }
  void commit_record(size_t size) { record_used_ += size; }

  // Hands both buffers to the file; the writer is done afterwards.
  Status finish() {
    if (const int error = pass_record_on(); error != 0) return fail(CwaError::io_errno(error));
    if (const int error = flush_file_buffer(); error != 0) return fail(CwaError::io_errno(error));
    finished_ = true;
    return {};
  }

 private:
  char* record_end() { return buffer_.get() + file_used_ + record_used_; }

  // Copies into the record buffer, passing it on only when more bytes meet a full buffer.
  Status put(const char* data, size_t size) {
    while (size > 0) {
      if (record_used_ == kRecordBufferBytes) {
        if (const int error = pass_record_on(); error != 0) {
          return fail(CwaError::message(CwaError::io_errno(error).io_text()));
        }
      }
      const size_t count = std::min(size, kRecordBufferBytes - record_used_);
      std::memcpy(record_end(), data, count);
      record_used_ += count;
      data += count;
      size -= count;
    }
    return {};
  }

  // Moves the record buffer into the file buffer, first writing the file buffer out when the
  // record does not fit; returns 0 or an errno. Keeps the record on failure, so that nothing is
  // lost or repeated when it is passed on again.
  int pass_record_on() {
    if (record_used_ == 0) return 0;
    if (record_used_ > kFileBufferBytes - file_used_) {
      if (const int error = flush_file_buffer(); error != 0) return error;
    }
    file_used_ += record_used_;
    record_used_ = 0;
    return 0;
  }

  // Writes the file buffer out; returns 0 or an errno. Keeps the unwritten rest on failure.
  int flush_file_buffer() {
    size_t written = 0;
    int error = 0;
    while (written < file_used_) {
      const ssize_t count = ::write(fd_, buffer_.get() + written, file_used_ - written);
      if (count > 0) {
        written += static_cast<size_t>(count);
      } else if (count == 0) {
        error = EIO;
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
    if (written > 0) {
      // The record window moves along with the unwritten rest.
      std::memmove(buffer_.get(), buffer_.get() + written, file_used_ - written + record_used_);
      file_used_ -= written;
    }
    return error;
  }

  int fd_ = -1;
  bool finished_ = false;
  std::unique_ptr<char[]> buffer_;  // file buffer, then room for one full record buffer
  size_t file_used_ = 0;            // bytes of the file buffer, at the start of buffer_
  size_t record_used_ = 0;          // bytes of the record buffer, right behind them
};

// The values of one data line; absent optionals are values a sample or result lacks.
struct CsvRow {
  int64_t time;  // microseconds, offset already subtracted
  float acc_x, acc_y, acc_z;
  std::optional<float> gyro_x, gyro_y, gyro_z;
  std::optional<float> mag_x, mag_y, mag_z;
  std::optional<float> temperature, light, battery;
};

// The text of one line, reused for every row (formatting into it allocates nothing), and the
// time formatter that remembers the whole seconds of the previous row.
struct RowText {
  std::array<char, kMaxLineChars> line;
  TimeFormatter time;
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

char* put_value(char* out, float value) {
  out = format_float6(value, out);
  *out = ',';
  return out + 1;
}

char* put_optional(char* out, std::optional<float> value) {
  return put_value(out, value ? *value : kMissingValue);
}

// Fills the row text in header order and writes it as one record. A row lacking a requested
// reading fails before anything of it is written. When the record buffer has room for the
// longest possible line, the text is formatted straight into it.
Status write_csv_row(CsvFileWriter& writer, RowText& text, ChannelSelection channels, bool has_gyro,
                     bool has_mag, const CsvRow& row) {
  if (channels.include_temperature && !row.temperature) return fail(msg::kTemperatureUnavailable);
  if (channels.include_light && !row.light) return fail(msg::kLightUnavailable);
  if (channels.include_battery && !row.battery) return fail(msg::kBatteryUnavailable);
  char* const direct = writer.record_space(kMaxLineChars);
  char* const start = direct != nullptr ? direct : text.line.data();
  char* out = text.time.format(row.time, start);
  *out++ = ',';
  out = put_value(out, row.acc_x);
  out = put_value(out, row.acc_y);
  out = put_value(out, row.acc_z);
  if (has_gyro) {
    out = put_optional(out, row.gyro_x);
    out = put_optional(out, row.gyro_y);
    out = put_optional(out, row.gyro_z);
  }
  if (has_mag) {
    out = put_optional(out, row.mag_x);
    out = put_optional(out, row.mag_y);
    out = put_optional(out, row.mag_z);
  }
  if (channels.include_temperature) out = put_value(out, *row.temperature);
  if (channels.include_light) out = put_value(out, *row.light);
  if (channels.include_battery) out = put_value(out, *row.battery);
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

std::optional<float> column_value(const OptionalColumn& column, size_t i) {
  if (!column) return std::nullopt;
  return (*column)[i];
}

// Reads the planned blocks' headers without decoding samples: which optional columns exist.
Status prescan_formats(OpenedBlocks& opened, bool include_magnetometer, bool& has_gyro,
                       bool& has_mag) {
  SectorReader reader(opened.file, planned_chunk_bytes(opened.first_block, opened.end_block));
  for (uint64_t block = opened.first_block; block < opened.end_block; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) return fail(msg::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (!meta) continue;
    const uint8_t format = (*packet)[packet_offset::kSampleFormat];
    if (format >= 0x60) has_gyro = true;
    if ((format & 0xF0) == 0x90 && include_magnetometer) has_mag = true;
  }
  return {};
}

}  // namespace

Status write_data_result_csv(std::string_view output_path, const CwaDataResult& data,
                             ChannelSelection channels, int64_t offset_us) {
  CsvFileWriter writer;
  VELMORA_TRY(writer.create(output_path));
  const bool has_gyro = data.gyro_x.has_value();
  const bool has_mag = data.mag_x.has_value();
  VELMORA_TRY(write_header(writer, channels, has_gyro, has_mag));
  RowText text;
  for (size_t i = 0; i < data.rows(); ++i) {
    const CsvRow row = {
        .time = minus_offset(data.timestamps[i], offset_us),
        .acc_x = data.acc_x[i],
        .acc_y = data.acc_y[i],
        .acc_z = data.acc_z[i],
        .gyro_x = column_value(data.gyro_x, i),
        .gyro_y = column_value(data.gyro_y, i),
        .gyro_z = column_value(data.gyro_z, i),
        .mag_x = column_value(data.mag_x, i),
        .mag_y = column_value(data.mag_y, i),
        .mag_z = column_value(data.mag_z, i),
        .temperature = column_value(data.temperature, i),
        .light = column_value(data.light, i),
        .battery = column_value(data.battery, i),
    };
    VELMORA_TRY(write_csv_row(writer, text, channels, has_gyro, has_mag, row));
  }
  return writer.finish();
}

Status write_streamed_csv(std::string_view input_path, BlockSelection selection,
                          std::string_view output_path, ChannelSelection channels,
                          int64_t offset_us) {
  VELMORA_ASSIGN_OR_RETURN(OpenedBlocks opened, open_cwa_data_blocks(input_path, selection));
  bool has_gyro = false;
  bool has_mag = false;
  VELMORA_TRY(prescan_formats(opened, channels.include_magnetometer, has_gyro, has_mag));
  VELMORA_TRY(opened.file.seek(kMetadataBytes + kPacketBytes * opened.first_block));

  // Created only now: a failure above leaves an existing output file untouched.
  CsvFileWriter writer;
  VELMORA_TRY(writer.create(output_path));
  VELMORA_TRY(write_header(writer, channels, has_gyro, has_mag));
  RowText text;
  PacketStream stream(std::move(opened), channels.include_magnetometer);
  for (;;) {
    VELMORA_ASSIGN_OR_RETURN(const DecodedPacket* packet, stream.next());
    if (packet == nullptr) break;
    const PacketReadings& readings = packet->readings;
    for (size_t i = 0; i < packet->count; ++i) {
      const SampleData& sample = packet->samples[i];
      const auto gyro = [&](float value) -> std::optional<float> {
        return sample.has_gyro ? std::optional<float>(value) : std::nullopt;
      };
      const auto mag = [&](float value) -> std::optional<float> {
        return sample.has_mag ? std::optional<float>(value) : std::nullopt;
      };
      const CsvRow row = {
          .time = minus_offset(packet->timestamps[i], offset_us),
          .acc_x = sample.acc_x,
          .acc_y = sample.acc_y,
          .acc_z = sample.acc_z,
          .gyro_x = gyro(sample.gyro_x),
          .gyro_y = gyro(sample.gyro_y),
          .gyro_z = gyro(sample.gyro_z),
          .mag_x = mag(sample.mag_x),
          .mag_y = mag(sample.mag_y),
          .mag_z = mag(sample.mag_z),
          .temperature = readings.temperature,
          .light = readings.light,
          .battery = readings.battery,
      };
      VELMORA_TRY(write_csv_row(writer, text, channels, has_gyro, has_mag, row));
    }
  }
  return writer.finish();
}

}  // namespace velmora
