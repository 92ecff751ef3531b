// The buffered writer of one CSV output file, with the error texts of its two kinds of failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "errors/cwa_error.hpp"

namespace velmora {

// Writes the CSV records of one output file. Bytes pass a record buffer, then a file buffer,
// then the file; a failed write while a record is written is reported without the "IO error: "
// prefix, a failure at creation or at the final flush with it. A writer dropped without a
// successful finish() removes the regular file it created or truncated, so that a failed call
// leaves no partial CSV that looks like a whole one. Other outputs (a FIFO, a terminal) cannot be
// taken back: they still get everything the writer holds, errors ignored, unless an exception
// (Ctrl-C, an internal fault) abandons the call, which must not wait for a FIFO's reader.
//
// The record buffer is the window right behind the file buffer's contents, so passing a record
// on moves no bytes, only the boundary between them.
//
// The file buffer is written out early, whenever kDrainBytes of it have gathered, so that the
// lines are formatted into memory that stays in the processor's cache and the system copies them
// from there; a 16 MiB buffer would make every line a trip to main memory, twice. Errors still
// surface where a full 16 MiB buffer would have been written: a failed early write is held, and
// the buffer keeps its bytes from then on, until that point reports it.
class CsvFileWriter {
 public:
  static constexpr size_t kRecordBufferBytes = 8192;
  static constexpr size_t kFileBufferBytes = size_t{16} << 20;
  static constexpr size_t kDrainBytes = size_t{512} << 10;

  CsvFileWriter() = default;
  CsvFileWriter(const CsvFileWriter&) = delete;
  CsvFileWriter& operator=(const CsvFileWriter&) = delete;
  ~CsvFileWriter();

  // Creates or truncates the file (mode 0666 before the umask).
  Status create(std::string_view path);

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
  Status finish();

 private:
  char* base() { return buffer_.get(); }
  char* record_end() { return base() + file_used_ + record_used_; }

  // Copies into the record buffer, passing it on only when more bytes meet a full buffer.
  Status put(const char* data, size_t size);
  // Moves the record buffer into the file buffer, first writing the file buffer out when the
  // record does not fit; returns 0 or an errno. Keeps the record on failure, so that nothing is
  // lost or repeated when it is passed on again.
  int pass_record_on();
  // Writes the file buffer out; returns 0 or an errno. Keeps the unwritten rest on failure, and
  // also when a signal ends the call, which then throws CallInterrupted (while closing, that
  // ends only the handing over: EINTR is returned, the handler's exception stays set).
  int flush_file_buffer();
  // Writes the file buffer out ahead of its turn, once kDrainBytes have gathered and no early
  // write has failed; a failure is held in held_error_.
  void drain();

  // Removes the created file if its path still leads to it.
  void remove_created_file() const;

  int fd_ = -1;
  bool finished_ = false;
  bool closing_ = false;  // the destructor hands the rest over: a signal ends that, not the call
  int uncaught_at_creation_ = std::uncaught_exceptions();
  std::string regular_path_;  // the path of a regular output file, else empty
  dev_t regular_device_ = 0;  // its device and inode, to find it again for removal
  ino_t regular_inode_ = 0;
  std::unique_ptr<char[]> buffer_;  // the file buffer, with room for the record buffer behind it
  size_t file_used_ = 0;            // bytes of the file buffer, at the start of base()
  size_t record_used_ = 0;          // bytes of the record buffer, right behind them
  size_t drained_ = 0;              // bytes written early since the file buffer's last turn
  int held_error_ = 0;              // errno of a failed early write, reported at the next turn
};

}  // namespace velmora
