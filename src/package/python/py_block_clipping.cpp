// The clipping count over float32 buffers given by Python (the frame's columns, not copied).
#include "package/python/py_block_clipping.hpp"

#include <array>
#include <string_view>

#include "package/kernels/clip_count.hpp"

namespace velmora::py {

namespace {

// Holds a contiguous float32 buffer view; released on every path.
class FloatView {
 public:
  FloatView() = default;
  FloatView(const FloatView&) = delete;
  FloatView& operator=(const FloatView&) = delete;
  ~FloatView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
    if (!held_) return false;
    if (view_.itemsize != sizeof(float) || view_.format == nullptr ||
        std::string_view(view_.format) != "f") {
      PyErr_SetString(PyExc_ValueError, "accelerometer columns must be float32");
      return false;
    }
    return true;
  }
  const float* data() const { return static_cast<const float*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len) / sizeof(float); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace

PyObject* count_at_limit(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "count_at_limit() takes acc_x, acc_y, acc_z and the limit");
    return nullptr;
  }
  std::array<FloatView, 3> axes;
  for (size_t i = 0; i < axes.size(); ++i) {
    if (!axes[i].get(args[i])) return nullptr;
  }
  const size_t rows = axes[0].size();
  if (axes[1].size() != rows || axes[2].size() != rows) {
    PyErr_SetString(PyExc_ValueError, "accelerometer columns must have equal lengths");
    return nullptr;
  }
  const double limit = PyFloat_AsDouble(args[3]);
  if (limit == -1.0 && PyErr_Occurred()) return nullptr;
  const size_t count = velmora::count_at_limit(axes[0].data(), axes[1].data(), axes[2].data(), rows,
                                               static_cast<float>(limit));
  return PyLong_FromSize_t(count);
}

}  // namespace velmora::py
