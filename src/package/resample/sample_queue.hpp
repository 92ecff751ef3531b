// The resampler's recent input samples, kept one array per field so that grid rows can be
// interpolated several at a time with vector loads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/read/data_result.hpp"
#include "package/resample/filled_span.hpp"

namespace velmora {

// The queue's channel order, from the table: first the channels every row has (the axes every
// packet carries, then the readings), then the motion channels. The vector rows interpolate the
// common ones as one run, and may store the readings of a steady run as they are.
constexpr int queue_group(const ChannelRow& row) {
  if (!in_every_packet(row)) return 2;
  return row.reading ? 1 : 0;
}
constexpr std::array<size_t, kChannelCount> queue_order() {
  std::array<size_t, kChannelCount> rows{};
  size_t channel = 0;
  for (int group = 0; group < 3; ++group) {
    for (size_t c = 0; c < kChannelCount; ++c) {
      if (queue_group(kChannels[c]) == group) rows[channel++] = c;
    }
  }
  return rows;
}
// The table row of each queue channel.
inline constexpr std::array<size_t, kChannelCount> kQueueRows = queue_order();
// The queue channel of each table row.
inline constexpr std::array<size_t, kChannelCount> kQueueChannelOf = [] {
  std::array<size_t, kChannelCount> channels{};
  for (size_t channel = 0; channel < kChannelCount; ++channel) {
    channels[kQueueRows[channel]] = channel;
  }
  return channels;
}();
inline constexpr size_t kResampledChannels = kChannelCount;
// Where the readings start among the queue's channels, and where the motion channels start.
inline constexpr size_t kFirstQueueReading = [] {
  size_t count = 0;
  for (const ChannelRow& row : kChannels) count += queue_group(row) == 0 ? 1u : 0u;
  return count;
}();
inline constexpr size_t kCommonChannels = kFirstQueueReading + kReadingCount;

// Where a caller writes the fields of entries it stages. Values are floats widened to double
// once here, since each is read by up to four rows. A motion value the sample lacks is NaN.
struct StagedEntries {
  double* time;
  std::array<double*, kResampledChannels> value;
  uint8_t* motion;  // the sensor_bit of each motion sensor the sample has
};

// A double-ended queue addressed by slot. Entries are staged behind the pushed ones, then pushed
// (or dropped); removal at the front moves the head. Slot numbers stay valid until make_room, so
// rows may refer to entries by slot until then. Both ends are constant-time on average, and
// steady streaming allocates nothing.
class SampleQueue {
 public:
  SampleQueue() { make_room(0); }

  // Readable slots on either side of the stored entries, so that a window of four entries around
  // any interval, or the sixteen that the vector rows load from one before an interval's start,
  // can be loaded without bounds checks (the values there are meaningless).
  static constexpr size_t kSlotsBefore = 1;
  static constexpr size_t kSlotsAfter = 13;

  size_t head() const { return head_; }  // slot of the oldest entry
  size_t end() const { return end_; }    // slot after the newest pushed entry
  size_t size() const { return end_ - head_; }
  size_t capacity() const { return capacity_; }  // slots before the storage must grow or move

  const double* times() const { return times_.data() + kSlotsBefore; }
  const double* values(size_t channel) const {
    return values_.data() + channel * stride_ + kSlotsBefore;
  }
  const uint8_t* motion() const { return motion_.data() + kSlotsBefore; }
  // The number of each entry's run: a run is a stretch of entries with the same readings that
  // interpolation may take as they are; any other entry is a run of its own. Numbers never
  // decrease from slot to slot, so two entries with the same number hold one run between them.
  // Unlike slots, the numbers stay when entries move, and a run that goes on keeps its number, so
  // its entries mostly find it in their slots already.
  const int64_t* run_ids() const { return run_id_.data() + kSlotsBefore; }

  // How set_runs places the entries [from, to).
  enum class Run { kContinue, kStart, kSingles };
  // Puts the entries [from, to) into the run of the entry before `from` (kContinue), into a new
  // run starting at `from` (kStart), or each into a run of its own (kSingles).
  void set_runs(size_t from, size_t to, Run run);

  // Stages n entries after the pushed ones, replacing any staged before; the returned slots stay
  // writable and readable until the next call. Moves the live entries first when n do not fit.
  // With `shared_readings` the readings' slots are not handed out (null): fill_reading writes
  // them.
  StagedEntries stage(size_t n, bool shared_readings = false);
  // Writes `value` as reading j (a queue channel from kFirstQueueReading on) of the staged
  // entries [from, to), skipping the slots that hold it from an earlier fill already.
  void fill_reading(size_t j, size_t from, size_t to, double value);
  void push_staged(size_t count) { end_ += count; }
  void pop_to(size_t slot) { head_ = slot; }
  // Starts keeping motion values: until this call they are neither read nor moved. Sets those
  // of the entries in slots [from, to) to NaN.
  void begin_motion(size_t from, size_t to);

 private:
  void make_room(size_t n);

  size_t head_ = 0;
  size_t end_ = 0;
  size_t capacity_ = 0;  // slots, not counting the readable margins
  size_t stride_ = 0;    // capacity_ plus the margins
  bool motion_kept_ = false;
  std::vector<double> times_;
  std::vector<double> values_;  // channel c at [c * stride_, (c + 1) * stride_)
  std::vector<uint8_t> motion_;
  std::vector<int64_t> run_id_;
  int64_t next_run_id_ = 0;
  FilledSpan run_span_;
  // Slots are reused every few packets while readings seldom change, so most packets find
  // their readings' slots filled already.
  std::array<FilledSpan, kReadingCount> reading_spans_{};
};

}  // namespace velmora
