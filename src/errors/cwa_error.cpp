// Display texts of CwaError.
#include "errors/cwa_error.hpp"

#include <cstring>

namespace velmora {

CwaError CwaError::io_errno(int error_number) {
  CwaError error(ErrorCode::kIo);
  error.number_ = error_number;
  return error;
}

CwaError CwaError::io(IoKind kind) {
  CwaError error(ErrorCode::kIo);
  error.io_kind_ = kind;
  return error;
}

CwaError CwaError::csv_write(int error_number) {
  CwaError error(ErrorCode::kCsvWrite);
  error.number_ = error_number;
  return error;
}

CwaError CwaError::unsupported_sample_format(uint8_t sample_format) {
  CwaError error(ErrorCode::kUnsupportedSampleFormat);
  error.number_ = sample_format;
  return error;
}

CwaError CwaError::unsupported_resample_method(std::string_view method) {
  CwaError error(ErrorCode::kUnsupportedResampleMethod);
  error.text_ = method;
  return error;
}

std::string CwaError::io_text() const {
  switch (io_kind_) {
    case IoKind::kUnexpectedEof:
      return std::string(msg::kFailedToFillWholeBuffer);
    case IoKind::kNulInPath:
      return std::string(msg::kNulInFileName);
    case IoKind::kOs:
      break;
  }
  // strerror_r (GNU form) is thread-safe; the buffer is only used for unknown numbers.
  char buffer[256];
  const char* description = strerror_r(number_, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(number_) + ")";
}

std::string CwaError::display() const {
  std::string text(error_text(code_));
  switch (code_) {
    case ErrorCode::kIo:
    case ErrorCode::kCsvWrite:
      return text + io_text();
    case ErrorCode::kUnsupportedSampleFormat:
      return text + std::to_string(number_ >> 4) + std::string(msg::kSampleFormatPacking) +
             std::to_string(number_ & 0x0F);
    case ErrorCode::kUnsupportedResampleMethod:
      return text + text_ + std::string(msg::kUnsupportedMethodSuffix);
    default:
      return text;
  }
}

}  // namespace velmora
