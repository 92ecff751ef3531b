// Helper-thread page population: every page of every range ends up backed, and nothing already
// written, before or while the helper runs, is lost.
#include "package/page_populator.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "package/column.hpp"

namespace velmora {
namespace {

size_t page_bytes() { return static_cast<size_t>(::sysconf(_SC_PAGESIZE)); }

// Counts the pages of [start, start + bytes) that are not resident.
size_t missing_pages(const void* start, size_t bytes) {
  const size_t page = page_bytes();
  std::vector<unsigned char> resident((bytes + page - 1) / page);
  EXPECT_EQ(::mincore(const_cast<void*>(start), bytes, resident.data()), 0);
  size_t missing = 0;
  for (unsigned char flags : resident) missing += (flags & 1) == 0 ? 1 : 0;
  return missing;
}

uint64_t mark(size_t column, size_t row) { return (uint64_t{column} << 40) | row; }

// Ranges of odd sizes, so that the last chunk of each is partial and they end at different
// chunks; one is empty and one is null.
TEST(page_populator, backs_every_page_and_keeps_earlier_writes) {
  for (const size_t scale : {size_t{1}, size_t{64}}) {  // below and above the thread threshold
    const size_t rows[] = {scale * 65536 + 7, scale * 200000 + 3, scale * 1234};
    std::vector<Column<uint64_t>> columns;
    std::vector<PageRange> ranges;
    for (size_t c = 0; c < std::size(rows); ++c) {
      columns.emplace_back(rows[c]);
      ranges.push_back({columns[c].data(), rows[c] * sizeof(uint64_t)});
    }
    ranges.push_back({columns[0].data(), 0});
    ranges.push_back({nullptr, 4096});
    // Marks written before population must survive it.
    for (size_t c = 0; c < columns.size(); ++c) {
      for (size_t row = 0; row < rows[c]; row += 1000) columns[c].data()[row] = mark(c, row);
    }
    PagePopulator populator;
    populator.start(ranges);
    populator.wait();
    for (size_t c = 0; c < columns.size(); ++c) {
      SCOPED_TRACE(testing::Message() << "scale " << scale << " column " << c);
      EXPECT_EQ(missing_pages(columns[c].data(), rows[c] * sizeof(uint64_t)), 0u);
      for (size_t row = 0; row < rows[c]; ++row) {
        const uint64_t expected = row % 1000 == 0 ? mark(c, row) : 0;
        if (columns[c].data()[row] != expected) {
          ADD_FAILURE() << "row " << row << " holds " << columns[c].data()[row];
          break;
        }
      }
    }
  }
}

// The rows are written while the helper faults the same pages in, then the helper is stopped
// wherever it is and the columns are unmapped.
TEST(page_populator, writes_during_population_survive_and_stop_lets_go) {
  constexpr size_t kRows = size_t{12} << 20;
  for (int round = 0; round < 3; ++round) {
    Column<uint64_t> first(kRows), second(kRows);
    const PageRange ranges[] = {{first.data(), kRows * sizeof(uint64_t)},
                                {second.data(), kRows * sizeof(uint64_t)}};
    PagePopulator populator;
    populator.start(ranges);
    const size_t written = round == 0 ? kRows : kRows / (4 * static_cast<size_t>(round));
    for (size_t row = 0; row < written; ++row) {
      first.data()[row] = mark(1, row);
      second.data()[row] = mark(2, row);
    }
    populator.stop();
    for (size_t row = 0; row < written; ++row) {
      if (first.data()[row] != mark(1, row) || second.data()[row] != mark(2, row)) {
        ADD_FAILURE() << "round " << round << " row " << row;
        break;
      }
    }
  }
}

}  // namespace
}  // namespace velmora
