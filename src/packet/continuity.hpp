// The continuity rule that joins a packet to the one before it, in the one form every reader,
// the read plan and the header-only timing scan share.
#pragma once

namespace velmora {

// Gaps shorter than this (and overlaps) join a packet to the previous one.
inline constexpr double kContinuityThresholdS = 1.0;

// Returns where a packet's samples start: the previous packet's natural end when the packet's
// natural start lies less than a second after it (or before it), else the natural start. A NaN
// difference compares false and keeps the natural start.
inline double continuous_start(double natural_start, double prev_end) {
  return natural_start - prev_end < kContinuityThresholdS ? prev_end : natural_start;
}

}  // namespace velmora
