// The common channels of a cubic resampler row with 4-lane vectors, for processors with AVX2.
#pragma once

#include "package/resampler.hpp"

namespace velmora {

// Whether cubic_common_row can run on this processor.
bool wide_rows_supported();

// Interpolates the six common channels (acceleration, temperature, light, battery) of the grid
// point at `x` from the queue entries q[0..4) around it, into out[0..6), with the operations of
// the generic row lane for lane. Returns false, writing nothing, when a denominator is
// degenerate or a channel comes out NaN: those rows take the generic way.
bool cubic_common_row(const QueuedSample* q, double x, float* out);

}  // namespace velmora
