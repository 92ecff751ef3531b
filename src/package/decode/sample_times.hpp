// Sample timestamps: packets spread evenly over their bounds, joined by continuity correction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "errors/cwa_error.hpp"
#include "packet/packet_meta.hpp"
#include "packet/time_units.hpp"

namespace velmora {

// The timestamps of a packet with a validated block timestamp and at least one sample, given
// the block time's whole seconds; returns the natural end.
double write_packet_timestamps(const PacketMeta& meta, int64_t whole_seconds,
                               std::optional<double> prev_end, int64_t* out);

// The same timestamps in seconds, each converted to double and divided by 1e6, as the
// resampler queues them.
double write_packet_seconds(const PacketMeta& meta, int64_t whole_seconds,
                            std::optional<double> prev_end, double* out);

}  // namespace velmora
