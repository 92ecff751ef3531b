// CwaError: the one error type of the core, and the macros that propagate it.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

class CwaError {
 public:
  // What an I/O error carries instead of (or besides) an OS error number.
  enum class IoKind {
    kOs,             // errno from a failed system call
    kUnexpectedEof,  // a read of a fixed number of bytes hit the end of the file
    kNulInPath,      // a path held a NUL character
  };

  static CwaError io_errno(int error_number);
  static CwaError io(IoKind kind);
  static CwaError message(std::string text);
  static CwaError message(std::string_view text) { return message(std::string(text)); }
  static CwaError message(const char* text) { return message(std::string(text)); }

  bool is_io() const { return is_io_; }
  IoKind io_kind() const { return io_kind_; }
  int os_error() const { return os_error_; }

  // Returns the text shown to users: "IO error: <io text>" or the message unchanged.
  std::string display() const;
  // Returns the I/O error's own text without the "IO error: " prefix, or the message.
  std::string io_text() const;

  friend bool operator==(const CwaError&, const CwaError&) = default;

 private:
  CwaError() = default;

  bool is_io_ = false;
  IoKind io_kind_ = IoKind::kOs;
  int os_error_ = 0;
  std::string text_;  // message text of the Message variant
};

template <class T>
using Result = std::expected<T, CwaError>;
using Status = std::expected<void, CwaError>;

inline std::unexpected<CwaError> fail(std::string_view text) {
  return std::unexpected(CwaError::message(text));
}
inline std::unexpected<CwaError> fail(CwaError error) { return std::unexpected(std::move(error)); }

}  // namespace velmora

#define VELMORA_CONCAT_INNER(a, b) a##b
#define VELMORA_CONCAT(a, b) VELMORA_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing function.
#define VELMORA_TRY(expr)                                                \
  do {                                                                   \
    auto&& velmora_try_result = (expr);                                  \
    if (!velmora_try_result) [[unlikely]]                                \
      return ::std::unexpected(::std::move(velmora_try_result).error()); \
  } while (0)

#define VELMORA_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)   \
  auto tmp = (expr);                                    \
  if (!tmp) [[unlikely]]                                \
    return ::std::unexpected(::std::move(tmp).error()); \
  lhs = ::std::move(tmp).value()

// Declares or assigns `lhs` from a Result expression, returning its error instead.
#define VELMORA_ASSIGN_OR_RETURN(lhs, expr) \
  VELMORA_ASSIGN_OR_RETURN_IMPL(VELMORA_CONCAT(velmora_result_, __LINE__), lhs, expr)
