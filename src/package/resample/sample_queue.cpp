// SampleQueue: staging behind the pushed entries and moving the few live ones to the front.
#include "package/resample/sample_queue.hpp"

#include <algorithm>
#include <limits>

#include "package/kernels/column_kernels.hpp"

namespace velmora {

namespace {

// Room for four packets of 120 samples: the live entries move to the front once every four
// packets instead of every other one, and the storage still fits in the first-level cache.
constexpr size_t kInitialSlots = 512;

// Moves the `live` entries at base[from..] to base[0..]. Usually a handful, every other packet:
// a loop, where library calls cost more than the copying. Front to back, since the target never
// lies after the source.
template <class T>
void move_to_front(T* base, size_t from, size_t live) {
  for (size_t i = 0; i < live; ++i) base[i] = base[from + i];
}

}  // namespace

StagedEntries SampleQueue::stage(size_t n, bool shared_readings) {
  if (end_ + n > capacity_) make_room(n);
  StagedEntries staged;
  staged.time = times_.data() + kSlotsBefore + end_;
  for (size_t channel = 0; channel < kResampledChannels; ++channel) {
    staged.value[channel] = values_.data() + channel * stride_ + kSlotsBefore + end_;
  }
  for (size_t j = 0; j < kReadingCount; ++j) {
    if (shared_readings) {
      staged.value[kFirstQueueReading + j] = nullptr;
    } else {
      // The caller may write these slots.
      reading_spans_[j].overwritten(end_, end_ + n);
    }
  }
  staged.motion = motion_.data() + kSlotsBefore + end_;
  return staged;
}

void SampleQueue::fill_reading(size_t j, size_t from, size_t to, double value) {
  double* column = values_.data() + (kFirstQueueReading + j) * stride_ + kSlotsBefore;
  reading_spans_[j].fill(column, from, to, value);
}

void SampleQueue::make_room(size_t n) {
  const size_t live = size();
  // Moving is cheap while the live entries fill at most half the storage; else double it.
  size_t capacity = std::max(kInitialSlots, capacity_);
  while (live * 2 > capacity || live + n > capacity) capacity *= 2;
  const size_t stride = capacity + kSlotsBefore + kSlotsAfter;
  const size_t moved_channels = motion_kept_ ? kResampledChannels : kCommonChannels;
  if (capacity_ == 0) {
    times_.resize(stride);
    values_.resize(kResampledChannels * stride);
    motion_.resize(stride);
    run_id_.resize(stride);
    capacity_ = capacity;
    stride_ = stride;
  } else if (capacity != capacity_) {
    std::vector<double> times(stride);
    std::vector<double> values(kResampledChannels * stride);
    std::vector<uint8_t> motion(stride);
    std::vector<int64_t> run_id(stride);
    std::copy_n(this->times() + head_, live, times.data() + kSlotsBefore);
    for (size_t channel = 0; channel < moved_channels; ++channel) {
      std::copy_n(this->values(channel) + head_, live,
                  values.data() + channel * stride + kSlotsBefore);
    }
    std::copy_n(this->motion() + head_, live, motion.data() + kSlotsBefore);
    std::copy_n(run_ids() + head_, live, run_id.data() + kSlotsBefore);
    times_ = std::move(times);
    values_ = std::move(values);
    motion_ = std::move(motion);
    run_id_ = std::move(run_id);
    capacity_ = capacity;
    stride_ = stride;
    for (FilledSpan& span : reading_spans_) span.forget();
    run_span_.forget();
  } else {
    move_to_front(times_.data() + kSlotsBefore, head_, live);
    for (size_t channel = 0; channel < moved_channels; ++channel) {
      move_to_front(values_.data() + channel * stride_ + kSlotsBefore, head_, live);
    }
    move_to_front(motion_.data() + kSlotsBefore, head_, live);
    move_to_front(run_id_.data() + kSlotsBefore, head_, live);
    for (FilledSpan& span : reading_spans_) span.overwritten(0, live);
    run_span_.overwritten(0, live);
  }
  head_ = 0;
  end_ = live;
}

void SampleQueue::set_runs(size_t from, size_t to, Run run) {
  int64_t* ids = run_id_.data() + kSlotsBefore;
  if (run == Run::kSingles) {
    for (size_t slot = from; slot < to; ++slot) ids[slot] = next_run_id_++;
    run_span_.overwritten(from, to);
    return;
  }
  const int64_t id = run == Run::kContinue && from > 0 ? ids[from - 1] : next_run_id_++;
  run_span_.fill(ids, from, to, id);
}

void SampleQueue::begin_motion(size_t from, size_t to) {
  motion_kept_ = true;
  for (size_t channel = kCommonChannels; channel < kResampledChannels; ++channel) {
    double* base = values_.data() + channel * stride_ + kSlotsBefore;
    std::fill(base + from, base + to, std::numeric_limits<double>::quiet_NaN());
  }
}

}  // namespace velmora
