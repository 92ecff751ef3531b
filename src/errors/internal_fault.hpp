// Internal faults: violated invariants that no file or argument can cause. They travel as a C++
// exception to the Python boundary, which raises PanicException instead of crashing.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace velmora {

class InternalFault : public std::exception {
 public:
  InternalFault(std::string_view message, const char* file, int line)
      : message_(message), file_(file), line_(line) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const char* file() const { return file_; }
  int line() const { return line_; }

 private:
  std::string message_;
  const char* file_;
  int line_;
};

[[noreturn]] void raise_internal_fault(std::string_view message, const char* file, int line);

}  // namespace velmora

// Checks an internal invariant; a violation becomes an InternalFault in every build type.
#define VELMORA_EXPECT(condition, message)                            \
  do {                                                                \
    if (!(condition)) [[unlikely]]                                    \
      ::velmora::raise_internal_fault((message), __FILE__, __LINE__); \
  } while (0)
