# Stops the configure step with one plain line when the compiler or its standard library lacks
# what the code uses, instead of pages of errors from the first source that uses it.
include(CheckCXXSourceCompiles)

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_velmora_compiler "g++")
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "AppleClang")
  set(_velmora_compiler "Apple clang")
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(_velmora_compiler "clang")
else()
  set(_velmora_compiler "${CMAKE_CXX_COMPILER_ID}")
endif()
string(REGEX MATCH "^[0-9]+\\.[0-9]+" _velmora_version "${CMAKE_CXX_COMPILER_VERSION}")
set(_velmora_needs "velmora needs a C++23 compiler with std::expected: g++ 12+ or clang 16+ with \
libc++ 17+; found ${_velmora_compiler} ${_velmora_version}")
# An indented message is printed as it stands; CMake would wrap a plain one over two lines.

# A compiler without any C++23 mode cannot even run the check below.
if(NOT "cxx_std_23" IN_LIST CMAKE_CXX_COMPILE_FEATURES)
  message(FATAL_ERROR " ${_velmora_needs}")
endif()

# The library features the sources rely on: std::expected, fixed-precision std::to_chars of
# doubles (the CSV numbers), std::bit_cast and std::span.
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([=[
#include <bit>
#include <charconv>
#include <cstdint>
#include <expected>
#include <span>
std::expected<int, double> half(int value) {
  if (value % 2 != 0) return std::unexpected(0.5);
  return value / 2;
}
int main() {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, 2.5, std::chars_format::fixed, 6);
  const std::span<const char> digits(text, written.ptr);
  return half(std::bit_cast<std::int64_t>(1.0) > 0 ? 4 : 2).value_or(0) +
         static_cast<int>(digits.size());
}
]=] VELMORA_HAS_CXX23_LIBRARY)
unset(CMAKE_REQUIRED_QUIET)
if(NOT VELMORA_HAS_CXX23_LIBRARY)
  # The result is cached; a failed check is not, so the next configure checks again.
  unset(VELMORA_HAS_CXX23_LIBRARY CACHE)
  message(FATAL_ERROR " ${_velmora_needs}")
endif()
