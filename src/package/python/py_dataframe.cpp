// DataFrame building: NumPy arrays over the columns, then pandas.DatetimeIndex and DataFrame.
#include "package/python/py_dataframe.hpp"

#include "errors/py_ref.hpp"
#include "package/python/py_numpy.hpp"

namespace velmora::py {

namespace {

// Sets dict[key] = value, taking over the new reference `value`; false with an exception set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool add_float_column(PyObject* columns, const char* name, Column<float>& column) {
  return set_item(columns, name, array_over_column(column));
}

// Builds {"acc_x": ..., ...} in output column order.
PyRef column_dict(CwaDataResult& data) {
  PyRef columns(PyDict_New());
  if (!columns) return columns;
  // The names are string literals, so data() is NUL-terminated.
  for (const ChannelRow& row : kChannels) {
    OptionalColumn& column = data.*row.member;
    if (!column) continue;
    if (!add_float_column(columns.get(), row.name.data(), *column)) return PyRef();
  }
  return columns;
}

PyRef call_with_options(PyObject* module, const char* name, PyObject* argument, PyObject* options) {
  PyRef callable(PyObject_GetAttrString(module, name));
  if (!callable) return callable;
  PyRef arguments(PyTuple_Pack(1, argument));
  if (!arguments) return arguments;
  return PyRef(PyObject_Call(callable.get(), arguments.get(), options));
}

}  // namespace

PyObject* build_dataframe(CwaDataResult data, bool utc) {
  PyRef columns = column_dict(data);
  if (!columns) return nullptr;

  // pandas comes in only now, so that a file error is reported before a missing pandas.
  PyRef pandas_name(PyUnicode_FromString("pandas"));
  if (!pandas_name) return nullptr;
  PyRef pandas(PyImport_Import(pandas_name.get()));
  if (!pandas) return nullptr;

  PyRef index_options(PyDict_New());
  if (!index_options || !set_item(index_options.get(), "name", PyUnicode_FromString("timestamp")) ||
      PyDict_SetItemString(index_options.get(), "copy", Py_False) != 0 ||
      !set_item(index_options.get(), "dtype",
                PyUnicode_FromString(utc ? "datetime64[us, UTC]" : "datetime64[us]"))) {
    return nullptr;
  }
  PyRef timestamps(array_over_column(data.timestamps));
  if (!timestamps) return nullptr;
  PyRef index =
      call_with_options(pandas.get(), "DatetimeIndex", timestamps.get(), index_options.get());
  if (!index) return nullptr;

  PyRef frame_options(PyDict_New());
  if (!frame_options || PyDict_SetItemString(frame_options.get(), "index", index.get()) != 0 ||
      PyDict_SetItemString(frame_options.get(), "copy", Py_False) != 0) {
    return nullptr;
  }
  return call_with_options(pandas.get(), "DataFrame", columns.get(), frame_options.get()).release();
}

}  // namespace velmora::py
