// Argument matching and conversion for the module functions, with the interpreter's own
// TypeError texts for misplaced, missing and unexpected arguments.
#include "module/py_call.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "errors/py_errors.hpp"
#include "errors/py_ref.hpp"
#include "header/py_metadata.hpp"
#include "module/py_convert.hpp"
#include "module/py_read_request.hpp"
#include "package/python/py_bodies.hpp"

namespace velmora::py {

namespace {

struct Parameter {
  const char* name;
  bool required;      // only leading positional parameters are required
  bool keyword_only;  // keyword-only parameters follow every positional one
};

// Takes the raised exception as a normalised instance and clears the indicator.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

// Raises an exception again as it stands.
void raise_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Puts "argument '<name>': " in front of a TypeError's message, keeping its cause; other
// exception types, subclasses of TypeError included, stay as they are.
void prefix_type_error(const char* parameter) {
  PyRef error = take_exception();
  if (!error) return;
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    raise_exception(std::move(error));
    return;
  }
  PyRef text(PyObject_Str(error.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
  // Raised like any new exception, so a handled exception becomes its context.
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

// Joins names as 'a', 'a' and 'b', or 'a', 'b' and 'c'.
std::string quoted_list(std::span<const char* const> names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

template <size_t N>
class Signature {
 public:
  constexpr Signature(const char* function, std::array<Parameter, N> parameters)
      : function_(function), parameters_(parameters) {}

  const char* name(size_t index) const { return parameters_[index].name; }

  // Fills `slots` with borrowed arguments (null when absent); false with TypeError set.
  bool match(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
             std::array<PyObject*, N>& slots) {
    if (!intern_names()) return false;
    const size_t positional = positional_count();
    const auto given = static_cast<size_t>(PyVectorcall_NARGS(static_cast<size_t>(nargsf)));
    if (given > positional) return too_many_positional(positional, given);
    for (size_t i = 0; i < given; ++i) slots[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      const std::optional<size_t> index = find(keyword);
      if (!index) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function_,
                     keyword);
        return false;
      }
      if (slots[*index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function_,
                     parameters_[*index].name);
        return false;
      }
      slots[*index] = args[given + static_cast<size_t>(k)];
    }
    return no_missing(slots);
  }

 private:
  bool intern_names() {
    if (interned_[N - 1] != nullptr) return true;
    for (size_t i = 0; i < N; ++i) {
      if (interned_[i] != nullptr) continue;
      interned_[i] = PyUnicode_InternFromString(parameters_[i].name);
      if (interned_[i] == nullptr) return false;
    }
    return true;
  }

  size_t positional_count() const {
    size_t count = 0;
    while (count < N && !parameters_[count].keyword_only) ++count;
    return count;
  }

  size_t required_count() const {
    size_t count = 0;
    while (count < N && parameters_[count].required) ++count;
    return count;
  }

  std::optional<size_t> find(PyObject* keyword) const {
    // Keyword names from call sites are interned, so identity almost always decides.
    for (size_t i = 0; i < N; ++i) {
      if (keyword == interned_[i]) return i;
    }
    for (size_t i = 0; i < N; ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, parameters_[i].name) == 0) return i;
    }
    return std::nullopt;
  }

  bool too_many_positional(size_t positional, size_t given) const {
    const char* verb = given == 1 ? "was" : "were";
    const size_t required = required_count();
    if (required == positional) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", function_,
                   positional, given, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zu %s given", function_,
                   required, positional, given, verb);
    }
    return false;
  }

  bool no_missing(const std::array<PyObject*, N>& slots) const {
    std::array<const char*, N> missing{};
    size_t count = 0;
    for (size_t i = 0; i < required_count(); ++i) {
      if (slots[i] == nullptr) missing[count++] = parameters_[i].name;
    }
    if (count == 0) return true;
    const std::string names = quoted_list(std::span(missing.data(), count));
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", function_,
                 count, count == 1 ? "" : "s", names.c_str());
    return false;
  }

  const char* function_;  // name with "()", as the messages show it
  std::array<Parameter, N> parameters_;
  std::array<PyObject*, N> interned_{};  // parameter names, interned on first call
};

constexpr Parameter required(const char* name) { return {name, true, false}; }
constexpr Parameter optional(const char* name) { return {name, false, false}; }
constexpr Parameter keyword_only(const char* name) { return {name, false, true}; }

Signature<1> read_metadata_signature("read_metadata()", {required("file_path")});
Signature<1> report_signature("sampling_consistency_report()", {required("file_path")});
Signature<2> seconds_signature("seconds()", {optional("start"), optional("end")});
Signature<2> blocks_signature("blocks()", {optional("start"), optional("end")});
Signature<9> read_signature("read_cwa_file()",
                            {required("file_path"), optional("cut"),
                             optional("include_magnetometer"), optional("include_temperature"),
                             optional("include_light"), optional("include_battery"),
                             optional("resample_hz"), optional("resample_method"),
                             keyword_only("fixed_utc_offset_timezone")});
Signature<10> write_signature("write_cwa_csv()",
                              {required("file_path"), required("output_path"), optional("cut"),
                               optional("include_magnetometer"), optional("include_temperature"),
                               optional("include_light"), optional("include_battery"),
                               optional("resample_hz"), optional("resample_method"),
                               keyword_only("fixed_utc_offset_timezone")});

// Converts a passed argument; an absent one keeps its default. A failed conversion names the
// parameter when it is a TypeError.
template <class Convert>
bool convert(PyObject* value, const char* parameter, Convert&& conversion) {
  if (value == nullptr || conversion(value)) return true;
  prefix_type_error(parameter);
  return false;
}

// As convert, for parameters whose default None may also be passed explicitly.
template <class Convert>
bool convert_unless_none(PyObject* value, const char* parameter, Convert&& conversion) {
  return convert(value == Py_None ? nullptr : value, parameter, conversion);
}

bool convert_text(PyObject* value, const char* parameter, std::string& out) {
  return convert(value, parameter, [&](PyObject* object) { return to_utf8(object, out); });
}

bool convert_flag(PyObject* value, const char* parameter, bool& out) {
  return convert(value, parameter, [&](PyObject* object) { return to_flag(object, out); });
}

// Converts a number parameter whose default is None.
template <class Number>
bool convert_number(PyObject* value, const char* parameter, std::optional<Number>& out,
                    bool (*to_number)(PyObject*, Number&)) {
  return convert_unless_none(value, parameter, [&](PyObject* object) {
    Number number{};
    if (!to_number(object, number)) return false;
    out = number;
    return true;
  });
}

bool convert_f64(PyObject* value, const char* parameter, std::optional<double>& out) {
  return convert_number(value, parameter, out, to_f64);
}

bool convert_u64(PyObject* value, const char* parameter, std::optional<uint64_t>& out) {
  return convert_number(value, parameter, out, to_u64);
}

// Converts the parameters from `cut` (at index `cut`) on, which read_cwa_file and write_cwa_csv
// share.
template <size_t N>
bool convert_read_options(const Signature<N>& signature, const std::array<PyObject*, N>& slots,
                          size_t cut, ReadRequest& out) {
  const auto slot = [&](size_t offset) { return slots[cut + offset]; };
  const auto name = [&](size_t offset) { return signature.name(cut + offset); };
  PyObject* const cut_object = slot(0) == Py_None ? nullptr : slot(0);
  ChannelSelection& selection = out.channels;
  if (!convert_flag(slot(1), name(1), selection.include_magnetometer)) return false;
  if (!convert_flag(slot(2), name(2), selection.include_temperature)) return false;
  if (!convert_flag(slot(3), name(3), selection.include_light)) return false;
  if (!convert_flag(slot(4), name(4), selection.include_battery)) return false;
  if (!convert_f64(slot(5), name(5), out.resample_hz)) return false;
  if (!convert_text(slot(6), name(6), out.resample_method)) return false;
  PyObject* tz = nullptr;
  const bool converted = convert_unless_none(slot(7), name(7), [&](PyObject* object) {
    if (!check_tzinfo(object)) return false;
    tz = object;
    return true;
  });
  // The cut is read back once every argument has its type.
  if (!converted || !parse_cut_config(cut_object, out.cut)) return false;
  set_utc_offset(out, tz);
  return true;
}

template <class Body>
PyObject* file_call(Signature<1>& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, Body body) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!signature.match(args, nargsf, kwnames, slots)) return nullptr;
    std::string file_path;
    if (!convert_text(slots[0], signature.name(0), file_path)) return nullptr;
    return body(file_path);
  });
}

template <class Value, class Converter, class Body>
PyObject* cut_call(Signature<2>& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, Converter converter, Body body) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 2> slots{};
    if (!signature.match(args, nargsf, kwnames, slots)) return nullptr;
    std::optional<Value> start;
    std::optional<Value> end;
    if (!converter(slots[0], signature.name(0), start)) return nullptr;
    if (!converter(slots[1], signature.name(1), end)) return nullptr;
    return body(start, end);
  });
}

}  // namespace

PyObject* call_read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return file_call(read_metadata_signature, args, nargsf, kwnames,
                   [](const std::string& path) { return read_metadata(path); });
}

PyObject* call_sampling_consistency_report(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                           PyObject* kwnames) {
  return file_call(report_signature, args, nargsf, kwnames,
                   [](const std::string& path) { return sampling_consistency_report(path); });
}

PyObject* call_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return cut_call<double>(
      seconds_signature, args, nargsf, kwnames, convert_f64,
      [](std::optional<double> start, std::optional<double> end) { return seconds(start, end); });
}

PyObject* call_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return cut_call<uint64_t>(blocks_signature, args, nargsf, kwnames, convert_u64,
                            [](std::optional<uint64_t> start, std::optional<uint64_t> end) {
                              return blocks(start, end);
                            });
}

PyObject* call_read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 9> slots{};
    if (!read_signature.match(args, nargsf, kwnames, slots)) return nullptr;
    ReadRequest request;
    if (!convert_text(slots[0], read_signature.name(0), request.file_path)) return nullptr;
    if (!convert_read_options(read_signature, slots, 1, request)) return nullptr;
    return py::read_cwa_file(request);
  });
}

PyObject* call_write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 10> slots{};
    if (!write_signature.match(args, nargsf, kwnames, slots)) return nullptr;
    ReadRequest request;
    request.channels = {.include_magnetometer = true,
                        .include_temperature = false,
                        .include_light = false,
                        .include_battery = false};
    std::string output_path;
    if (!convert_text(slots[0], write_signature.name(0), request.file_path)) return nullptr;
    if (!convert_text(slots[1], write_signature.name(1), output_path)) return nullptr;
    if (!convert_read_options(write_signature, slots, 2, request)) return nullptr;
    return py::write_cwa_csv(request, output_path);
  });
}

}  // namespace velmora::py
