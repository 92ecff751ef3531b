// Refusing a column growth that the machine cannot hold: raised at once as a MemoryError that
// says what was asked for, instead of growing until the system runs out of memory.
#pragma once

#include <cstddef>
#include <new>
#include <string>

namespace velmora {

class MemoryLimitExceeded : public std::bad_alloc {
 public:
  explicit MemoryLimitExceeded(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The machine's physical memory in bytes; SIZE_MAX when the system does not say.
size_t physical_memory_bytes();

// Throws MemoryLimitExceeded for `rows` rows of `row_bytes` bytes (over all of `what`, for
// example "a column"), which exceed the physical memory, or, with `refused`, which the system
// would not map.
[[noreturn]] void refuse_rows(size_t rows, size_t row_bytes, const char* what, bool refused);

}  // namespace velmora
