// Column buffers handed to NumPy without copying: the array C API table and the owner objects
// that unmap a buffer when its last array goes away.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "package/read/column.hpp"

namespace velmora::py {

enum class ArrayElement { kFloat32, kInt64 };

// Returns a new 1-D writeable array of `rows` elements over the region's memory, which the
// array's base object then owns; nullptr with an exception set on failure (the region is unmapped
// either way), also when importing NumPy raised. Throws InternalFault when NumPy's array C API
// cannot be obtained.
PyObject* array_over_region(MappedRegion region, size_t rows, ArrayElement element);

template <class T>
PyObject* array_over_column(Column<T>& column) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  const size_t rows = column.size();
  return array_over_region(column.release(), rows,
                           sizeof(T) == 4 ? ArrayElement::kFloat32 : ArrayElement::kInt64);
}

}  // namespace velmora::py
