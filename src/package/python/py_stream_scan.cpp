// The stream is pulled by Python's own readinto(), so that gzip (or any other file object)
// unpacks it, in chunks of one buffer that the scan reads as they come.
#include "package/python/py_stream_scan.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "header/consistency_report.hpp"
#include "header/py_metadata.hpp"
#include "package/python/py_block_scan.hpp"
#include "package/read/stream_scan.hpp"

namespace velmora::py {

namespace {

// Large enough that the per-call costs of readinto() vanish, small enough to stay in cache.
constexpr Py_ssize_t kChunkBytes = Py_ssize_t{1} << 20;

// Returns the byte count a readinto() call reported; -1 with an exception set when it is no
// count of bytes that the buffer can hold (None, as a non-blocking stream says "no data yet",
// included).
Py_ssize_t read_count(PyObject* returned, PyObject* buffer) {
  if (returned == Py_None || !PyLong_Check(returned)) {
    PyErr_Format(PyExc_TypeError, "readinto() returned %s, not a byte count",
                 Py_TYPE(returned)->tp_name);
    return -1;
  }
  const Py_ssize_t count = PyLong_AsSsize_t(returned);
  if (count == -1 && PyErr_Occurred() != nullptr) return -1;
  if (count < 0 || count > PyByteArray_GET_SIZE(buffer)) {
    PyErr_Format(PyExc_ValueError, "readinto() returned %zd for a buffer of %zd bytes", count,
                 PyByteArray_GET_SIZE(buffer));
    return -1;
  }
  return count;
}

// Sets `key` to the value, or to the error object when there is none.
template <class T, class ToDict>
bool put_outcome(PyObject* dict, const char* key, Result<T>& outcome, ToDict&& to_dict) {
  PyRef value(outcome ? to_dict(*outcome) : error_object(outcome.error()));
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* scan_stream(PyObject* readable) {
  PyRef readinto(PyObject_GetAttrString(readable, "readinto"));
  if (!readinto) return nullptr;
  // A bytearray rather than a view of C++ memory: a reader that keeps what it was given keeps
  // a live object, never a dangling view.
  PyRef buffer(PyByteArray_FromStringAndSize(nullptr, kChunkBytes));
  if (!buffer) return nullptr;
  StreamScan scan;
  for (;;) {
    PyRef returned(PyObject_CallOneArg(readinto.get(), buffer.get()));
    if (!returned) return nullptr;
    const Py_ssize_t count = read_count(returned.get(), buffer.get());
    if (count < 0) return nullptr;
    if (count == 0) break;
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(buffer.get()));
    scan.feed(std::span(bytes, static_cast<size_t>(count)));
  }
  StreamFacts facts = std::move(scan).finish();
  Result<ConsistencyReport> report = std::unexpected(CwaError(ErrorCode::kRaisedByCaller));
  if (facts.metadata) {
    report = make_consistency_report(facts.metadata->header, facts.metadata->timing);
  } else {
    report = std::unexpected(facts.metadata.error());
  }
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool built = put_outcome(d, "metadata", facts.metadata, metadata_dict) &&
                     put_outcome(d, "report", report, report_dict) &&
                     put_outcome(d, "scan", facts.blocks, [&](BlockScan& blocks) {
                       return scan_dict(blocks, facts.header);
                     });
  return built ? dict.release() : nullptr;
}

}  // namespace velmora::py
