// Columns refuse growth that the machine's physical memory cannot hold, with a text that says
// how many rows were asked for.
#include "errors/memory_limit.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "package/read/column.hpp"

namespace velmora {
namespace {

std::string refusal(size_t rows) {
  try {
    Column<int64_t> column;
    column.reserve(rows);
  } catch (const MemoryLimitExceeded& error) {
    return error.what();
  }
  return "no refusal";
}

TEST(Column, refuses_rows_beyond_physical_memory_with_their_count) {
  const size_t too_many = physical_memory_bytes() / sizeof(int64_t) + 1;
  const std::string text = refusal(too_many);
  EXPECT_TRUE(text.starts_with("Cannot hold " + std::to_string(too_many) + " rows of 8 bytes ("))
      << text;
  EXPECT_NE(text.find(") in a column: more than this machine's "), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with(" GiB of physical memory")) << text;
  // Rows whose byte count overflows are refused, not wrapped into a small mapping.
  EXPECT_TRUE(refusal(std::numeric_limits<size_t>::max()).starts_with("Cannot hold "));
}

TEST(Column, is_a_bad_alloc_for_callers_that_only_know_that) {
  Column<float> column;
  EXPECT_THROW(column.reserve(std::numeric_limits<size_t>::max() / 2), std::bad_alloc);
  column.reserve(1000);  // still usable afterwards
  column.push_back(1.0f);
  EXPECT_EQ(column.size(), 1u);
}

}  // namespace
}  // namespace velmora
