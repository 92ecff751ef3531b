// The queue's shared readings and run numbers: slots that a fill skips because they hold the value
// already must hold exactly what storing it would have left there, across moves, growth and
// direct writes.
#include "package/resample/sample_queue.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>

namespace velmora {
namespace {

TEST(sample_queue, shared_readings_and_runs_read_back_as_if_stored_every_time) {
  std::mt19937_64 rng(7);
  // Few distinct values, so that fills meet slots with their own value, the other zero and NaN.
  const double kValues[] = {21.5, 0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), 3.25};
  SampleQueue queue;
  std::deque<std::array<uint64_t, kReadingCount>> model;  // the live entries' readings, as bits
  std::deque<int> model_runs;                             // and their runs
  std::array<double, kReadingCount> current{};
  int run = 0;
  bool run_open = false;
  for (int packet = 0; packet < 20000; ++packet) {
    // Mostly packet-sized pushes, now and then many at once (the storage grows) or a single one.
    const size_t n = rng() % 50 == 0 ? 700 + rng() % 900 : rng() % 9 == 0 ? 1 : 120;
    const bool shared = rng() % 8 != 0;
    const StagedEntries staged = queue.stage(n, shared);
    const size_t from = queue.end();
    bool changed = false;
    for (size_t j = 0; j < kReadingCount; ++j) {
      if (rng() % 30 == 0) {
        current[j] = kValues[rng() % std::size(kValues)];
        changed = true;
      }
    }
    const bool goes_on = shared && run_open && !changed;
    for (size_t i = 0; i < n; ++i) {
      std::array<uint64_t, kReadingCount> bits{};
      for (size_t j = 0; j < kReadingCount; ++j) {
        const double value = shared ? current[j] : kValues[rng() % std::size(kValues)];
        if (!shared) staged.value[kFirstQueueReading + j][i] = value;
        bits[j] = std::bit_cast<uint64_t>(value);
      }
      model.push_back(bits);
      if (!goes_on && (!shared || i == 0)) ++run;
      model_runs.push_back(run);
    }
    if (shared) {
      for (size_t j = 0; j < kReadingCount; ++j) {
        EXPECT_EQ(staged.value[kFirstQueueReading + j], nullptr);
        queue.fill_reading(j, from, from + n, current[j]);
      }
    }
    queue.set_runs(from, from + n,
                   !shared   ? SampleQueue::Run::kSingles
                   : goes_on ? SampleQueue::Run::kContinue
                             : SampleQueue::Run::kStart);
    run_open = shared;
    queue.push_staged(n);
    const int64_t* ids = queue.run_ids() + queue.head();
    for (size_t k = 0; k + 1 < model.size(); ++k) {
      ASSERT_LE(ids[k], ids[k + 1]) << packet << " " << k;
      ASSERT_EQ(ids[k] == ids[k + 1], model_runs[k] == model_runs[k + 1]) << packet << " " << k;
    }
    for (size_t k = 0; k < model.size(); ++k) {
      for (size_t j = 0; j < kReadingCount; ++j) {
        ASSERT_EQ(std::bit_cast<uint64_t>(queue.values(kFirstQueueReading + j)[queue.head() + k]),
                  model[k][j])
            << packet << " " << k << " " << j;
      }
    }
    // Keep a few entries, as the resampler does, or sometimes many.
    const size_t keep = std::min(queue.size(), rng() % 20 == 0 ? size_t{400} : 2 + rng() % 4);
    queue.pop_to(queue.end() - keep);
    while (model.size() > keep) {
      model.pop_front();
      model_runs.pop_front();
    }
  }
}

}  // namespace
}  // namespace velmora
