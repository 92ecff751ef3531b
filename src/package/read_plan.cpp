// resolve_read_plan: blocks and whole cuts as they stand; a seconds cut located among the data
// packets by one pass over their headers, then widened by one data packet on each side.
#include "package/read_plan.hpp"

#include <vector>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "package/opened_blocks.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

namespace {

struct BlockTimeSpan {
  uint64_t block_index;
  double start_time;  // after continuity correction
  double end_time;    // natural end
};

// Reads every packet header of the file into spans; `first_data_time` is the first natural start.
Result<std::vector<BlockTimeSpan>> scan_spans(std::string_view path, double& first_data_time) {
  VELMORA_ASSIGN_OR_RETURN(CheckedCwaFile checked, open_checked_cwa_file(path));
  CwaFile& file = checked.file;
  const uint64_t blocks = checked.total_blocks;
  if (blocks == 0) return fail(msg::kStartBlockBeyondFile);
  VELMORA_TRY(file.seek(kMetadataBytes));

  std::vector<BlockTimeSpan> spans;
  spans.reserve(static_cast<size_t>(blocks));
  SectorReader reader(file);
  std::optional<double> prev_end;
  for (uint64_t block = 0; block < blocks; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) return fail(msg::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (!meta) continue;
    const PacketBounds bounds = meta->natural_bounds();
    double start = bounds.start;
    if (!prev_end) {
      first_data_time = bounds.start;
    } else if (bounds.start - *prev_end < 1.0) {
      start = *prev_end;
    }
    spans.push_back(BlockTimeSpan{block, start, bounds.end});
    prev_end = bounds.end;
  }
  if (spans.empty()) return fail(msg::kNoSampleData);
  return spans;
}

Result<ReadPlan> resolve_seconds(std::string_view path, const SecondsCut& cut) {
  double first_data_time = 0.0;
  VELMORA_ASSIGN_OR_RETURN(const std::vector<BlockTimeSpan> spans,
                           scan_spans(path, first_data_time));
  ReadPlan plan;
  plan.has_block_range = true;
  if (cut.start) plan.range_start_time = *cut.start + first_data_time;
  if (cut.end) plan.range_end_time = *cut.end + first_data_time;

  std::optional<size_t> first_selected;
  std::optional<size_t> last_selected;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (plan.range_start_time && spans[i].end_time <= *plan.range_start_time) continue;
    if (plan.range_end_time && spans[i].start_time >= *plan.range_end_time) break;
    if (!first_selected) first_selected = i;
    last_selected = i;
  }
  if (!first_selected) return fail(msg::kNoSamplesAfterSecondsCut);
  VELMORA_EXPECT(last_selected.has_value(), msg::kFaultLastIndexExists);

  const size_t plan_first = *first_selected == 0 ? 0 : *first_selected - 1;
  const size_t plan_last = *last_selected + 1 < spans.size() ? *last_selected + 1 : *last_selected;
  plan.start_block = spans[plan_first].block_index;
  plan.block_count = spans[plan_last].block_index - plan.start_block + 1;
  return plan;
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
