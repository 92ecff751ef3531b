# Configures the project with an old compiler and expects the refusal: one line that names the
# compiler and its version, and no compiler error at all.
if(NOT OLD_CXX OR NOT EXISTS "${OLD_CXX}")
  message(STATUS "no older compiler here (g++-11, g++-10, clang++-15, clang++-14)")
  return()
endif()

get_filename_component(name "${OLD_CXX}" NAME)
if(name MATCHES "^g\\+\\+-([0-9]+)$")
  set(expected_compiler "g\\+\\+ ${CMAKE_MATCH_1}")
elseif(name MATCHES "^clang\\+\\+-([0-9]+)$")
  set(expected_compiler "clang ${CMAKE_MATCH_1}")
else()
  message(FATAL_ERROR "cannot tell the version that ${OLD_CXX} should report")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR} -DCMAKE_CXX_COMPILER=${OLD_CXX}
          -DVELMORA_BUILD_TESTS=OFF
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(REMOVE_RECURSE "${WORK_DIR}")

if(result EQUAL 0)
  message(FATAL_ERROR "configuring with ${OLD_CXX} succeeded:\n${output}")
endif()
set(line "velmora needs a C\\+\\+23 compiler with std::expected: g\\+\\+ 12\\+ or clang 16\\+ \
with libc\\+\\+ 17\\+; found ${expected_compiler}\\.[0-9]+")
string(FIND "${output}" "velmora needs" first)
string(FIND "${output}" "velmora needs" last REVERSE)
# A leading newline lets the first line, too, be matched after a newline.
if(first EQUAL -1 OR NOT first EQUAL last OR NOT "\n${output}" MATCHES "\n +${line}\n")
  message(FATAL_ERROR "expected one line \"${line}\" from configuring with ${OLD_CXX}:\n${output}")
endif()
if(output MATCHES "error:")
  message(FATAL_ERROR "configuring with ${OLD_CXX} printed compiler errors:\n${output}")
endif()
message(STATUS "${OLD_CXX} refused in one line")
