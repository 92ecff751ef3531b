// NumPy's array C API, taken from the _ARRAY_API capsule without NumPy's headers, and the owner
// type whose instances keep a column mapping alive behind the arrays.
#include "package/python/py_numpy.hpp"

#include <atomic>
#include <charconv>
#include <string>
#include <string_view>
#include <utility>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "errors/py_ref.hpp"

namespace velmora::py {

namespace {

// Names the API table slots used here; NumPy 1.x and 2.x put them at the same indices.
constexpr size_t kSlotArrayType = 2;        // PyTypeObject PyArray_Type
constexpr size_t kSlotDescrFromType = 45;   // PyArray_Descr* (int type_num)
constexpr size_t kSlotNewFromDescr = 94;    // PyObject* (type, descr, nd, dims, strides, ...)
constexpr size_t kSlotSetBaseObject = 282;  // int (PyArrayObject*, PyObject*), steals the base

// Names the dtype numbers and flag used here; NPY_LONG is 64 bits wide on LP64 Linux.
constexpr int kTypeLong = 7;
constexpr int kTypeFloat = 11;
constexpr int kFlagWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

static_assert(sizeof(Py_ssize_t) == sizeof(intptr_t), "npy_intp is Py_ssize_t here");
static_assert(sizeof(long) == 8, "NPY_LONG must be 64 bits");

std::atomic<void**> api_table{nullptr};

// Frees an unowned region when an early return or exception leaves it behind.
struct RegionHolder {
  MappedRegion region;
  ~RegionHolder() { MappedRegion::unmap(region); }
  MappedRegion take() { return std::exchange(region, MappedRegion{}); }
};

[[noreturn]] void capsule_fault(std::string_view detail) {
  PyErr_Clear();
  std::string text(msg::kFaultNumpyCapsule);
  text += ": ";
  text += detail;
  raise_internal_fault(text, __FILE__, __LINE__);
}

// Thrown, with the Python exception left set, when the code that a lookup ran raised something
// other than "not there": a KeyboardInterrupt that ended `import numpy`, a MemoryError. That is
// NumPy's own exception and propagates unchanged; the next call looks the table up again.
struct LookupRaised {};

// Reports a failed import or attribute lookup: the fault when NumPy or a part of it is missing
// (ImportError, AttributeError), else LookupRaised.
[[noreturn]] void lookup_failed(std::string_view detail) {
  if (PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError)) {
    capsule_fault(detail);
  }
  throw LookupRaised{};
}

// Reads the major version from numpy.__version__ ("2.1.3" gives 2).
int numpy_major_version() {
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) lookup_failed("numpy cannot be imported");
  PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) lookup_failed("numpy.__version__ is missing");
  Py_ssize_t length = 0;
  const char* text =
      PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8AndSize(version.get(), &length) : nullptr;
  int major = 0;
  if (text == nullptr || std::from_chars(text, text + length, major).ec != std::errc{}) {
    capsule_fault("numpy.__version__ is not a version text");
  }
  return major;
}

void** load_api_table() {
  const char* module_name =
      numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef module(PyImport_ImportModule(module_name));
  if (!module) lookup_failed(module_name);
  PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) lookup_failed("_ARRAY_API");
  if (!PyCapsule_CheckExact(capsule.get())) capsule_fault("_ARRAY_API");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) capsule_fault("_ARRAY_API");
  // Keeps the bare pointer: NumPy holds the table for the life of the process.
  return static_cast<void**>(table);
}

// Looks the table up on first use; a failed lookup is tried again by the next call.
void** array_api() {
  void** table = api_table.load(std::memory_order_acquire);
  if (table == nullptr) {
    table = load_api_table();
    api_table.store(table, std::memory_order_release);
  }
  return table;
}

template <class Fn>
Fn api_function(void** table, size_t slot) {
  return reinterpret_cast<Fn>(table[slot]);
}

struct ColumnOwner {
  PyObject ob_base;     // the object header (what PyObject_HEAD declares)
  MappedRegion region;  // column mapping that the arrays point into
};

void column_owner_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  MappedRegion::unmap(std::exchange(reinterpret_cast<ColumnOwner*>(self)->region, {}));
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot column_owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_owner_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of one velmora column behind its arrays.")},
    {0, nullptr},
};

// Only this file creates owners: one made from Python would hold no mapping.
PyType_Spec column_owner_spec = {
    .name = "velmora.ColumnOwner",
    .basicsize = static_cast<int>(sizeof(ColumnOwner)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = column_owner_slots,
};

// Creates the owner type once per process; the interpreter lock serialises the first calls.
PyTypeObject* column_owner_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&column_owner_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// Returns a new owner holding the region, or nullptr with an exception set.
PyObject* new_column_owner(RegionHolder& holder) {
  PyTypeObject* type = column_owner_type();
  if (type == nullptr) return nullptr;
  PyObject* owner = type->tp_alloc(type, 0);
  if (owner == nullptr) return nullptr;
  reinterpret_cast<ColumnOwner*>(owner)->region = holder.take();
  return owner;
}

}  // namespace

PyObject* array_over_region(MappedRegion region, size_t rows, ArrayElement element) {
  RegionHolder holder{region};
  void** table = nullptr;
  try {
    table = array_api();
  } catch (const LookupRaised&) {
    return nullptr;
  }
  PyRef owner(new_column_owner(holder));
  if (!owner) return nullptr;

  const bool is_float = element == ArrayElement::kFloat32;
  PyObject* descr =
      api_function<DescrFromType>(table, kSlotDescrFromType)(is_float ? kTypeFloat : kTypeLong);
  if (descr == nullptr) return nullptr;
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(rows)};
  const Py_ssize_t strides[1] = {is_float ? Py_ssize_t{4} : Py_ssize_t{8}};
  // Steals the descriptor, also on failure.
  PyRef array(api_function<NewFromDescr>(table, kSlotNewFromDescr)(
      static_cast<PyTypeObject*>(table[kSlotArrayType]), descr, 1, dims, strides,
      reinterpret_cast<ColumnOwner*>(owner.get())->region.base, kFlagWriteable, nullptr));
  if (!array) return nullptr;
  // Steals the owner, also on failure.
  if (api_function<SetBaseObject>(table, kSlotSetBaseObject)(array.get(), owner.release()) != 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace velmora::py
