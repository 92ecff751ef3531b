// resolve_read_plan: blocks and whole cuts as they stand; a seconds cut located among the data
// packets by one pass over their headers, then widened by one data packet on each side.
#include "package/read/read_plan.hpp"

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "package/read/opened_blocks.hpp"
#include "packet/continuity.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"
#include "packet/packet_walk.hpp"

namespace velmora {

namespace {

// Seconds after which a packet surely ends: its block time plus (count - offset) / rate, with
// a margin far above what float rounding of the natural bounds can add (under 0.05 s even for
// the largest offset at the slowest rate). Needs no division.
double natural_end_upper_bound(const PacketMeta& meta, int64_t whole_seconds) {
  // The rate code widened first: a byte spilled and reloaded wider stalls the reload.
  const unsigned rate_code = meta.sample_rate_code;
  const double seconds_per_sample =
      static_cast<double>(1u << (15 - (rate_code & 0x0F))) * (1.0 / 3200.0);
  const double samples =
      static_cast<double>(meta.sample_count) - static_cast<double>(meta.timestamp_offset);
  return static_cast<double>(whole_seconds) + samples * seconds_per_sample + 2.0;
}

// Locates a seconds cut among the data packets while they are read, packet by packet, without
// keeping their spans. A span runs from the packet's continuity-corrected start to its natural
// end; the selection passes over spans that end by the range start and stops at the first other
// span that starts at or after the range end. The plan widens the selection by one span on each
// side. Spans that surely end by the range start are passed over without their exact bounds,
// and once the selection has stopped, later packets are only checked.
class SpanSelection {
 public:
  explicit SpanSelection(const SecondsCut& cut) : cut_(cut) { plan_.has_block_range = true; }

  void add(uint64_t block, const PacketMeta& meta) {
    if (stopped_) return;
    const int64_t whole_seconds = clock_.unix_seconds(meta.timestamp);
    const std::optional<double>& range_start = plan_.range_start_time;  // set from span 0 on
    if (range_start && natural_end_upper_bound(meta, whole_seconds) <= *range_start) {
      not_selected(block);
      remember(block, meta, whole_seconds, std::nullopt);
      return;
    }
    const PacketBounds bounds = meta.natural_bounds_at(whole_seconds);
    double start = bounds.start;
    if (!any_span_) {
      // Cut bounds count from the first packet's natural start.
      if (cut_.start) plan_.range_start_time = *cut_.start + bounds.start;
      if (cut_.end) plan_.range_end_time = *cut_.end + bounds.start;
    } else {
      start = continuous_start(bounds.start, latest_end());
    }
    const bool passed_over = range_start && bounds.end <= *range_start;
    if (!passed_over && plan_.range_end_time && start >= *plan_.range_end_time) stopped_ = true;
    if (passed_over || stopped_) {
      not_selected(block);
    } else {
      if (!first_planned_) first_planned_ = any_span_ ? latest_block_ : block;
      last_selected_ = block;
      after_last_.reset();
    }
    remember(block, meta, whole_seconds, bounds.end);
  }

  Result<ReadPlan> finish() {
    if (!any_span_) return fail(ErrorCode::kNoSampleData);
    if (!last_selected_) return fail(ErrorCode::kNoSamplesAfterSecondsCut);
    VELMORA_EXPECT(first_planned_.has_value(), msg::kFaultLastIndexExists);
    plan_.start_block = *first_planned_;
    plan_.block_count = after_last_.value_or(*last_selected_) - *first_planned_ + 1;
    return plan_;
  }

 private:
  void not_selected(uint64_t block) {
    if (last_selected_ && !after_last_) after_last_ = block;
  }
  void remember(uint64_t block, const PacketMeta& meta, int64_t whole_seconds,
                std::optional<double> end) {
    any_span_ = true;
    latest_block_ = block;
    latest_ = meta;
    latest_whole_seconds_ = whole_seconds;
    latest_end_ = end;
  }
  // The natural end of the latest span, worked out now if it was passed over unmeasured.
  double latest_end() {
    if (!latest_end_) latest_end_ = latest_.natural_bounds_at(latest_whole_seconds_).end;
    return *latest_end_;
  }

  const SecondsCut& cut_;
  ReadPlan plan_;
  BlockClock clock_;
  bool any_span_ = false;
  bool stopped_ = false;
  uint64_t latest_block_ = 0;  // block of the latest span
  PacketMeta latest_{};
  int64_t latest_whole_seconds_ = 0;
  std::optional<double> latest_end_;
  std::optional<uint64_t> first_planned_;  // the span before the first selected one, or it
  std::optional<uint64_t> last_selected_;
  std::optional<uint64_t> after_last_;  // the span after the last selected one
};

Result<ReadPlan> resolve_seconds(std::string_view path, const SecondsCut& cut) {
  VELMORA_ASSIGN_OR_RETURN(CheckedCwaFile checked, open_checked_cwa_file(path));
  CwaFile& file = checked.file;
  const uint64_t blocks = checked.total_blocks;
  if (blocks == 0) return fail(ErrorCode::kStartBlockBeyondFile);
  VELMORA_TRY(file.seek(kMetadataBytes));

  SectorReader reader(file);
  SpanSelection selection(cut);
  VELMORA_TRY(walk_sample_packets(reader, blocks, [&](uint64_t block, const uint8_t* packet) {
    selection.add(block, accepted_packet_meta(packet));
  }));
  return selection.finish();
}
}  // namespace

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut) {
  VELMORA_TRY(validate(cut));
  if (const auto* blocks = std::get_if<BlocksCut>(&cut)) {
    ReadPlan plan;
    plan.has_block_range = true;
    plan.start_block = blocks->start.value_or(0);
    if (blocks->end) plan.block_count = *blocks->end - plan.start_block;
    return plan;
  }
  if (const auto* seconds = std::get_if<SecondsCut>(&cut)) return resolve_seconds(path, *seconds);
  return ReadPlan{};
}

}  // namespace velmora
