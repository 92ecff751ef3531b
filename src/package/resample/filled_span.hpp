// The stretch of a queue column's slots known to hold one value, so that a packet's shared
// reading, or the number of a run that goes on, need not be stored again into slots that a packet
// a few before already filled.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "package/kernels/column_kernels.hpp"

namespace velmora {

inline void fill_slots(double* out, size_t n, double value) { fill_doubles(out, n, value); }
inline void fill_slots(int64_t* out, size_t n, int64_t value) { fill_int64s(out, n, value); }

class FilledSpan {
 public:
  // Writes `value` to column[from, to), storing only into the slots not known to hold it.
  template <class T>
  void fill(T* column, size_t from, size_t to, T value) {
    static_assert(sizeof(T) == sizeof(uint64_t));
    const auto bits = std::bit_cast<uint64_t>(value);
    if (bits != bits_ || to < from_ || from > to_) {
      fill_slots(column + from, to - from, value);
      from_ = from;
      to_ = to;
      bits_ = bits;
      return;
    }
    if (from < from_) fill_slots(column + from, from_ - from, value);
    if (to > to_) fill_slots(column + to_, to - to_, value);
    from_ = std::min(from_, from);
    to_ = std::max(to_, to);
  }

  // Slots [from, to) were written otherwise: the part of the span on one side of them stays.
  void overwritten(size_t from, size_t to) {
    if (to <= from_ || from >= to_) return;
    if (from <= from_) {
      from_ = std::min(to, to_);
    } else {
      to_ = from;
    }
  }

  // The storage was replaced: nothing is known.
  void forget() { from_ = to_ = 0; }

 private:
  size_t from_ = 0;  // the slots [from_, to_) hold the value with bits bits_
  size_t to_ = 0;
  uint64_t bits_ = 0;
};

}  // namespace velmora
