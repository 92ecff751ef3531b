// CsvFileWriter: creating the output, and the writes behind its two buffers.
#include "package/csv/csv_file_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "errors/interrupt.hpp"

namespace velmora {

namespace {

// Returned by write_all when a signal ends the call.
constexpr int kInterrupted = -1;

// Bytes per write(2): a write to a regular file cannot be interrupted, and on a busy machine the
// kernel can take half a second over 16 MiB, so a pending signal is checked between slices.
constexpr size_t kWriteSliceBytes = size_t{2} << 20;

// Writes `size` bytes at `data` to `fd`, adding to `written`; returns 0, an errno, or
// kInterrupted when a signal asks the call to stop.
int write_all(int fd, const char* data, size_t size, size_t& written) {
  while (written < size) {
    const ssize_t count = ::write(fd, data + written, std::min(size - written, kWriteSliceBytes));
    if (count > 0) {
      written += static_cast<size_t>(count);
      if (written < size && interrupt_requested()) return kInterrupted;
    } else if (count == 0) {
      return EIO;
    } else if (errno != EINTR) {
      return errno;
    } else if (interrupt_requested()) {
      return kInterrupted;
    }
  }
  return 0;
}

}  // namespace

CsvFileWriter::~CsvFileWriter() {
  if (fd_ < 0) return;
  const bool abandoned = std::uncaught_exceptions() > uncaught_at_creation_;
  if (!finished_ && regular_path_.empty() && !abandoned) {
    closing_ = true;  // nothing may throw from here
    held_error_ = 0;  // every byte is offered to the file once more
    (void)pass_record_on();
    (void)flush_file_buffer();
  }
  ::close(fd_);
  if (!finished_ && !regular_path_.empty()) remove_created_file();
}

void CsvFileWriter::remove_created_file() const {
  // Through the resolved path, so that an output named by a symbolic link loses its target,
  // the file that was written; a file put in its place meanwhile is left alone.
  char* const resolved = ::realpath(regular_path_.c_str(), nullptr);
  if (resolved == nullptr) return;
  struct stat info {};
  if (::lstat(resolved, &info) == 0 && info.st_dev == regular_device_ &&
      info.st_ino == regular_inode_) {
    ::unlink(resolved);
  }
  std::free(resolved);
}

Status CsvFileWriter::create(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(CwaError::io(CwaError::IoKind::kNulInPath));
  }
  const std::string terminated(path);
  for (;;) {
    // A FIFO's open waits for a reader; a signal must be able to end that wait.
    fd_ = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ >= 0) break;
    if (errno != EINTR) return fail(CwaError::io_errno(errno));
    check_interrupt();
  }
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
    regular_device_ = info.st_dev;
    regular_inode_ = info.st_ino;
    regular_path_ = terminated;
  }
  buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferBytes + kRecordBufferBytes);
  return {};
}

Status CsvFileWriter::finish() {
  if (const int error = pass_record_on(); error != 0) return fail(CwaError::io_errno(error));
  if (held_error_ != 0) return fail(CwaError::io_errno(held_error_));
  if (const int error = flush_file_buffer(); error != 0) return fail(CwaError::io_errno(error));
  finished_ = true;
  return {};
}

Status CsvFileWriter::put(const char* data, size_t size) {
  while (size > 0) {
    if (record_used_ == kRecordBufferBytes) {
      if (const int error = pass_record_on(); error != 0) {
        return fail(CwaError::csv_write(error));
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

int CsvFileWriter::pass_record_on() {
  if (record_used_ == 0) return 0;
  // The turn of a 16 MiB buffer, counting what went out early.
  if (record_used_ > kFileBufferBytes - (drained_ + file_used_)) {
    if (held_error_ != 0) return held_error_;
    const int error = flush_file_buffer();
    if (error != 0) return error;
    drained_ = 0;
  }
  file_used_ += record_used_;
  record_used_ = 0;
  if (file_used_ >= kDrainBytes && held_error_ == 0) drain();
  return 0;
}

void CsvFileWriter::drain() {
  const size_t before = file_used_;
  held_error_ = flush_file_buffer();
  drained_ += before - file_used_;
}

int CsvFileWriter::flush_file_buffer() {
  size_t written = 0;
  const int error = write_all(fd_, base(), file_used_, written);
  if (written > 0) {
    // The record window moves along with the unwritten rest.
    std::memmove(base(), base() + written, file_used_ - written + record_used_);
    file_used_ -= written;
  }
  if (error == kInterrupted) {
    if (closing_) return EINTR;
    throw CallInterrupted{};
  }
  return error;
}

}  // namespace velmora
