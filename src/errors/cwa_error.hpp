// CwaError: the one error type of the core, a code with what its text needs, and the macros
// that propagate it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "errors/messages.hpp"

namespace velmora {

class CwaError {
 public:
  // What an I/O error carries instead of (or besides) an OS error number.
  enum class IoKind : uint8_t {
    kOs,             // errno from a failed system call
    kUnexpectedEof,  // a read of a fixed number of bytes hit the end of the file
    kNulInPath,      // a path held a NUL character
  };

  // An error whose text is the code's text as it stands.
  explicit CwaError(ErrorCode code) : code_(code) {}

  static CwaError io_errno(int error_number);
  static CwaError io(IoKind kind);
  // A failed write of a CSV record: the I/O text alone, without "IO error: ".
  static CwaError csv_write(int error_number);
  static CwaError unsupported_sample_format(uint8_t sample_format);
  static CwaError unsupported_resample_method(std::string_view method);

  ErrorCode code() const { return code_; }

  // Returns the text shown to users.
  std::string display() const;

  friend bool operator==(const CwaError&, const CwaError&) = default;

 private:
  // The I/O error's own text: the fixed text of its kind, or the OS description and number.
  std::string io_text() const;

  ErrorCode code_;
  IoKind io_kind_ = IoKind::kOs;
  int number_ = 0;    // errno of an I/O error, or the unsupported sample format byte
  std::string text_;  // the unsupported resample method
};

template <class T>
using Result = std::expected<T, CwaError>;
using Status = std::expected<void, CwaError>;

inline std::unexpected<CwaError> fail(ErrorCode code) { return std::unexpected(CwaError(code)); }
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
