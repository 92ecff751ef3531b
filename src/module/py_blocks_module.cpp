// PyInit__blocks: the private extension module of the study package (velmora_batch._blocks).
// It offers the block scan (of a file or of a stream), and the four file functions of velmora
// through a BlockMask: the very module functions, run while the file layer shows chosen blocks as
// non-data blocks.
#include <Python.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "errors/py_errors.hpp"
#include "module/py_call.hpp"
#include "module/py_convert.hpp"
#include "package/python/py_block_clipping.hpp"
#include "package/python/py_block_scan.hpp"
#include "package/python/py_stream_scan.hpp"
#include "packet/block_mask.hpp"

namespace velmora::py {

namespace {

template <class Function>
PyCFunction as_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Releases a buffer view on every path.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Reads the masked blocks (a bytes-like object of little-endian u64 block indices) and the
// visible file length (None or an int); nullopt with an exception set when they do not convert.
std::optional<BlockMask> to_block_mask(PyObject* blocks, PyObject* visible) {
  BufferView buffer;
  if (!buffer.get(blocks)) return std::nullopt;
  const auto bytes = static_cast<size_t>(buffer.view().len);
  if (bytes % sizeof(uint64_t) != 0) {
    PyErr_SetString(PyExc_ValueError, "masked blocks must be whole 64-bit block indices");
    return std::nullopt;
  }
  std::vector<uint64_t> indices(bytes / sizeof(uint64_t));
  if (bytes > 0) std::memcpy(indices.data(), buffer.view().buf, bytes);
  std::optional<uint64_t> visible_bytes;
  if (visible != Py_None) {
    uint64_t value = 0;
    if (!to_u64(visible, value)) return std::nullopt;
    visible_bytes = value;
  }
  return BlockMask(std::move(indices), visible_bytes);
}

// Runs one of the module's vectorcall functions with the first two arguments as the mask.
PyObject* masked_call(const char* name, PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames,
                      PyObject* (*call)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  const Py_ssize_t given = PyVectorcall_NARGS(static_cast<size_t>(nargsf));
  if (given < 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes the masked blocks and the visible length first",
                 name);
    return nullptr;
  }
  std::optional<BlockMask> mask;
  if (guard([&]() -> PyObject* {
        mask = to_block_mask(args[0], args[1]);
        return mask ? Py_None : nullptr;
      }) == nullptr) {
    return nullptr;
  }
  const BlockMaskScope scope(*mask);
  return call(module, args + 2, given - 2, kwnames);
}

PyObject* call_masked_read(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return masked_call("read_cwa_file", module, args, nargsf, kwnames, call_read_cwa_file);
}

PyObject* call_masked_write(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  return masked_call("write_cwa_csv", module, args, nargsf, kwnames, call_write_cwa_csv);
}

PyObject* call_masked_metadata(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return masked_call("read_metadata", module, args, nargsf, kwnames, call_read_metadata);
}

PyObject* call_masked_report(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return masked_call("sampling_consistency_report", module, args, nargsf, kwnames,
                     call_sampling_consistency_report);
}

PyObject* call_scan_blocks(PyObject*, PyObject* file_path) {
  return guard([&]() -> PyObject* {
    std::string path;
    if (!to_utf8(file_path, path)) return nullptr;
    return scan_blocks(path);
  });
}

PyObject* call_scan_stream(PyObject*, PyObject* readable) {
  return guard([&]() -> PyObject* { return scan_stream(readable); });
}

PyObject* call_count_at_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* { return count_at_limit(args, nargs); });
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"scan_blocks", call_scan_blocks, METH_O,
     "scan_blocks(file_path)\n--\n\nEvery block's kind, reason and header facts, packed."},
    {"scan_stream", call_scan_stream, METH_O,
     "scan_stream(readable)\n--\n\n"
     "read_metadata, sampling_consistency_report and scan_blocks of the bytes read from a binary "
     "file object to its end, in one pass; each a dict, or the RuntimeError it would raise."},
    {"count_at_limit", as_method(call_count_at_limit), METH_FASTCALL,
     "count_at_limit(acc_x, acc_y, acc_z, limit)\n--\n\n"
     "Samples with an axis whose magnitude is at least limit, of three float32 arrays."},
    {"read_cwa_file", as_method(call_masked_read), kFastcallKeywords,
     "read_cwa_file(masked_blocks, visible_bytes, file_path, ...)\n--\n\n"
     "velmora.read_cwa_file with the masked blocks read as non-data blocks and the file ending "
     "at visible_bytes (None: its own end)."},
    {"read_metadata", as_method(call_masked_metadata), kFastcallKeywords,
     "read_metadata(masked_blocks, visible_bytes, file_path)\n--\n\n"
     "velmora.read_metadata through the same mask."},
    {"sampling_consistency_report", as_method(call_masked_report), kFastcallKeywords,
     "sampling_consistency_report(masked_blocks, visible_bytes, file_path)\n--\n\n"
     "velmora.sampling_consistency_report through the same mask."},
    {"write_cwa_csv", as_method(call_masked_write), kFastcallKeywords,
     "write_cwa_csv(masked_blocks, visible_bytes, file_path, output_path, ...)\n--\n\n"
     "velmora.write_cwa_csv through the same mask."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velmora_batch._blocks",
    "Block scan and masked reads for velmora_batch; private.",
    0,  // no per-module state
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velmora::py

PyMODINIT_FUNC PyInit__blocks(void) {
  return PyModule_Create2(&velmora::py::module_definition, PYTHON_API_VERSION);
}
