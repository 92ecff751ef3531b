// CSV output: the file writer with its record and file buffers, the header and row texts, and
// the two ways of writing (a whole result, or planned blocks streamed packet by packet).
#include "package/csv_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

// Writes the CSV records of one output file. Bytes pass a record buffer, then a file buffer,
// then the file; a failed write while a record is written is reported without the "IO error: "
// prefix, a failure at creation or at the final flush with it. A writer dropped without a
// successful finish() still hands everything it holds to the file, ignoring errors, so that an
// interrupted call leaves what was written so far.
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
    record_ = std::make_unique_for_overwrite<char[]>(kRecordBufferBytes);
    file_buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferBytes);
    return {};
  }

  // Writes the fields separated by "," and ended by "\n".
  Status write_record(std::span<const std::string> fields) {
    size_t total = fields.size();  // separators and the line end
    for (const std::string& field : fields) total += field.size();
    if (total <= kRecordBufferBytes - record_used_) [[likely]] {
      char* out = record_.get() + record_used_;
      for (size_t i = 0; i < fields.size(); ++i) {
        std::memcpy(out, fields[i].data(), fields[i].size());
        out += fields[i].size();
        *out++ = i + 1 < fields.size() ? ',' : '\n';
      }
      record_used_ += total;
      return {};
    }
    for (size_t i = 0; i < fields.size(); ++i) {
      VELMORA_TRY(put(fields[i].data(), fields[i].size()));
      VELMORA_TRY(put(i + 1 < fields.size() ? "," : "\n", 1));
    }
    return {};
  }

  // Hands both buffers to the file; the writer is done afterwards.
  Status finish() {
    if (const int error = pass_record_on(); error != 0) return fail(CwaError::io_errno(error));
    if (const int error = flush_file_buffer(); error != 0) return fail(CwaError::io_errno(error));
    finished_ = true;
    return {};
  }

 private:
  // Copies into the record buffer, passing it on only when more bytes meet a full buffer.
  Status put(const char* data, size_t size) {
    while (size > 0) {
      if (record_used_ == kRecordBufferBytes) {
        if (const int error = pass_record_on(); error != 0) return record_write_failure(error);
      }
      const size_t count = std::min(size, kRecordBufferBytes - record_used_);
      std::memcpy(record_.get() + record_used_, data, count);
      record_used_ += count;
      data += count;
      size -= count;
    }
    return {};
  }

  static std::unexpected<CwaError> record_write_failure(int error) {
    return fail(CwaError::message(CwaError::io_errno(error).io_text()));
  }

  // Moves the record buffer into the file buffer; returns 0 or an errno. Keeps the record
  // buffer on failure, so that nothing is lost or repeated when it is passed on again.
  int pass_record_on() {
    if (record_used_ == 0) return 0;
    if (record_used_ > kFileBufferBytes - file_used_) {
      if (const int error = flush_file_buffer(); error != 0) return error;
    }
    std::memcpy(file_buffer_.get() + file_used_, record_.get(), record_used_);
    file_used_ += record_used_;
    record_used_ = 0;
    return 0;
  }

  // Writes the file buffer out; returns 0 or an errno. Keeps the unwritten rest on failure.
  int flush_file_buffer() {
    size_t written = 0;
    int error = 0;
    while (written < file_used_) {
      const ssize_t count = ::write(fd_, file_buffer_.get() + written, file_used_ - written);
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
      std::memmove(file_buffer_.get(), file_buffer_.get() + written, file_used_ - written);
      file_used_ -= written;
    }
    return error;
  }

  int fd_ = -1;
  bool finished_ = false;
  std::unique_ptr<char[]> record_;       // kRecordBufferBytes
  size_t record_used_ = 0;               // bytes waiting in record_
  std::unique_ptr<char[]> file_buffer_;  // kFileBufferBytes
  size_t file_used_ = 0;                 // bytes waiting in file_buffer_
};

// The values of one data line; absent optionals are values a sample or result lacks.
struct CsvRow {
  int64_t time;  // microseconds, offset already subtracted
  float acc_x, acc_y, acc_z;
  std::optional<float> gyro_x, gyro_y, gyro_z;
  std::optional<float> mag_x, mag_y, mag_z;
  std::optional<float> temperature, light, battery;
};

std::vector<std::string> csv_header(ChannelSelection channels, bool has_gyro, bool has_mag) {
  std::vector<std::string> names = {"time", "acc_x", "acc_y", "acc_z"};
  if (has_gyro) names.insert(names.end(), {"gyro_x", "gyro_y", "gyro_z"});
  if (has_mag) names.insert(names.end(), {"mag_x", "mag_y", "mag_z"});
  if (channels.include_temperature) names.emplace_back("temperature");
  if (channels.include_light) names.emplace_back("light");
  if (channels.include_battery) names.emplace_back("battery");
  return names;
}

void append_optional(std::string& text, std::optional<float> value) {
  append_float6(text, value ? *value : kMissingValue);
}

Status append_required(std::string& text, std::optional<float> value, std::string_view missing) {
  if (!value) return fail(missing);
  append_float6(text, *value);
  return {};
}

// Fills the reused row texts in header order and writes them as one record. A row lacking a
// requested reading fails before anything of it is written.
Status write_csv_row(CsvFileWriter& writer, std::span<std::string> texts, ChannelSelection channels,
                     bool has_gyro, bool has_mag, const CsvRow& row) {
  for (std::string& text : texts) text.clear();
  size_t field = 0;
  append_time_us(texts[field++], row.time);
  append_float6(texts[field++], row.acc_x);
  append_float6(texts[field++], row.acc_y);
  append_float6(texts[field++], row.acc_z);
  if (has_gyro) {
    append_optional(texts[field++], row.gyro_x);
    append_optional(texts[field++], row.gyro_y);
    append_optional(texts[field++], row.gyro_z);
  }
  if (has_mag) {
    append_optional(texts[field++], row.mag_x);
    append_optional(texts[field++], row.mag_y);
    append_optional(texts[field++], row.mag_z);
  }
  if (channels.include_temperature) {
    VELMORA_TRY(append_required(texts[field++], row.temperature, msg::kTemperatureUnavailable));
  }
  if (channels.include_light) {
    VELMORA_TRY(append_required(texts[field++], row.light, msg::kLightUnavailable));
  }
  if (channels.include_battery) {
    VELMORA_TRY(append_required(texts[field++], row.battery, msg::kBatteryUnavailable));
  }
  return writer.write_record(texts.first(field));
}

// Writes the header record and returns the row texts sized to it.
Result<std::vector<std::string>> write_header(CsvFileWriter& writer, ChannelSelection channels,
                                              bool has_gyro, bool has_mag) {
  std::vector<std::string> header = csv_header(channels, has_gyro, has_mag);
  VELMORA_TRY(writer.write_record(header));
  return std::vector<std::string>(header.size());
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
  VELMORA_ASSIGN_OR_RETURN(std::vector<std::string> texts,
                           write_header(writer, channels, has_gyro, has_mag));
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
    VELMORA_TRY(write_csv_row(writer, texts, channels, has_gyro, has_mag, row));
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
  VELMORA_ASSIGN_OR_RETURN(std::vector<std::string> texts,
                           write_header(writer, channels, has_gyro, has_mag));
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
      VELMORA_TRY(write_csv_row(writer, texts, channels, has_gyro, has_mag, row));
    }
  }
  return writer.finish();
}

}  // namespace velmora
