// The block scan's columns as bytes objects: one copy of a few bytes per block, which NumPy
// then reads in place, instead of one Python object per block.
#include "package/python/py_block_scan.hpp"

#include <vector>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "header/cwa_header.hpp"
#include "packet/block_scan.hpp"

namespace velmora::py {

namespace {

template <class T>
PyRef as_bytes(const std::vector<T>& column) {
  // x86-64 and every target we build for are little-endian, the byte order NumPy is told.
  return PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                         static_cast<Py_ssize_t>(column.size() * sizeof(T))));
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef reason_list(const std::vector<std::string>& reasons) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(reasons.size())));
  if (!list) return list;
  for (size_t i = 0; i < reasons.size(); ++i) {
    PyObject* text =
        PyUnicode_FromStringAndSize(reasons[i].data(), static_cast<Py_ssize_t>(reasons[i].size()));
    if (text == nullptr) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

}  // namespace

PyObject* scan_blocks(const std::string& file_path) {
  const Result<BlockScan> scanned = velmora::scan_blocks(file_path);
  if (!scanned) return raise_runtime_error(scanned.error());
  const BlockScan& scan = *scanned;
  // The range tells where samples clip; a metadata block that does not parse has none.
  const Result<CwaHeader> header = read_cwa_header(file_path);
  PyRef accel_range = header ? PyRef(PyLong_FromLong(header->accel_range)) : PyRef::borrow(Py_None);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool built =
      set_item(d, "file_bytes", PyRef(PyLong_FromUnsignedLongLong(scan.file_bytes))) &&
      set_item(d, "accel_range", std::move(accel_range)) &&
      set_item(d, "reasons", reason_list(scan.reasons)) &&
      set_item(d, "kind", as_bytes(scan.kind)) && set_item(d, "reason", as_bytes(scan.reason)) &&
      set_item(d, "checksum_ok", as_bytes(scan.checksum_ok)) &&
      set_item(d, "start_us", as_bytes(scan.start_us)) &&
      set_item(d, "end_us", as_bytes(scan.end_us)) &&
      set_item(d, "samples", as_bytes(scan.samples)) &&
      set_item(d, "rate_hz", as_bytes(scan.rate_hz)) && set_item(d, "axes", as_bytes(scan.axes)) &&
      set_item(d, "sequence_id", as_bytes(scan.sequence_id));
  return built ? dict.release() : nullptr;
}

}  // namespace velmora::py
