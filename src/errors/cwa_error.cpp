// Display texts of CwaError.
#include "errors/cwa_error.hpp"

#include <cstring>

#include "errors/messages.hpp"

namespace velmora {

CwaError CwaError::io_errno(int error_number) {
  CwaError error;
  error.is_io_ = true;
  error.io_kind_ = IoKind::kOs;
  error.os_error_ = error_number;
  return error;
}

CwaError CwaError::io(IoKind kind) {
  CwaError error;
  error.is_io_ = true;
  error.io_kind_ = kind;
  return error;
}

CwaError CwaError::message(std::string text) {
  CwaError error;
  error.text_ = std::move(text);
  return error;
}

std::string CwaError::io_text() const {
  if (!is_io_) return text_;
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
  const char* description = strerror_r(os_error_, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(os_error_) + ")";
}

std::string CwaError::display() const {
  if (!is_io_) return text_;
  return std::string(msg::kIoErrorPrefix) + io_text();
}

}  // namespace velmora
