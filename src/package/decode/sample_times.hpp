// Sample timestamps: packets spread evenly over their bounds, joined by continuity correction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "errors/cwa_error.hpp"
#include "package/decode/data_block.hpp"
#include "packet/packet_meta.hpp"
#include "packet/time_units.hpp"

namespace velmora {

// Writes the timestamps of the first n samples of `block` to out[0..n) and returns the
// packet's natural end, which the caller passes as `prev_end` for the next packet.
Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, size_t n,
                                                         std::optional<double> prev_end,
                                                         std::span<int64_t> out);

// The timestamps of a packet with a validated block timestamp and at least one sample, given
// the block time's whole seconds; returns the natural end.
double write_packet_timestamps(const PacketMeta& meta, int64_t whole_seconds,
                               std::optional<double> prev_end, int64_t* out);

// The same timestamps in seconds, each converted to double and divided by 1e6, as the
// resampler queues them.
double write_packet_seconds(const PacketMeta& meta, int64_t whole_seconds,
                            std::optional<double> prev_end, double* out);

// The same from the packet's timing fields alone, with n = meta.sample_count; out must hold n.
Result<double> packet_sample_timestamps(const PacketMeta& meta, std::optional<double> prev_end,
                                        int64_t* out);

}  // namespace velmora
