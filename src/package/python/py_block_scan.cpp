// The block scan's records handed to NumPy without copying (as int64 words, which Python views
// as the record dtype), instead of one Python object per block.
#include "package/python/py_block_scan.hpp"

#include <vector>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "package/python/py_numpy.hpp"
namespace velmora::py {

namespace {

// Returns the records as a flat int64 array of four words per block; takes the column over.
PyRef as_words(Column<ScannedBlock>& blocks) {
  static_assert(sizeof(ScannedBlock) % sizeof(int64_t) == 0);
  const size_t words = blocks.size() * (sizeof(ScannedBlock) / sizeof(int64_t));
  return PyRef(array_over_region(blocks.release(), words, ArrayElement::kInt64));
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
  Result<BlockScan> scanned = velmora::scan_blocks(file_path);
  if (!scanned) return raise_error(scanned.error());
  return scan_dict(*scanned, read_cwa_header(file_path));
}

PyObject* scan_dict(BlockScan& scan, const Result<CwaHeader>& header) {
  // The range tells where samples clip; a metadata block that does not parse has none.
  PyRef accel_range = header ? PyRef(PyLong_FromLong(header->accel_range)) : PyRef::borrow(Py_None);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool built =
      set_item(d, "file_bytes", PyRef(PyLong_FromUnsignedLongLong(scan.file_bytes))) &&
      set_item(d, "accel_range", std::move(accel_range)) &&
      set_item(d, "reasons", reason_list(scan.reasons)) &&
      set_item(d, "blocks", as_words(scan.blocks));
  return built ? dict.release() : nullptr;
}

}  // namespace velmora::py
