// The one place where C++ errors become Python exceptions: CwaError by its code, internal faults
// as PanicException, refused memory as MemoryError.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <new>
#include <string_view>

#include "errors/cwa_error.hpp"
#include "errors/internal_fault.hpp"
#include "errors/interrupt.hpp"
#include "errors/memory_limit.hpp"

namespace velmora::py {

// Raises the error's display text as the exception type of its code (exactly that type, no
// subclass); returns nullptr. A kRaisedByCaller error leaves the exception already set.
PyObject* raise_error(const CwaError& error);

// Returns a new exception object of the type and text raise_error would raise, for a caller
// that hands the error back instead of raising it; nullptr with an exception set when it cannot
// be made.
PyObject* error_object(const CwaError& error);

// Raises `type` with the UTF-8 text as its single argument; returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view text);

// Writes the fault and its location to stderr and raises PanicException; returns nullptr.
PyObject* raise_panic(std::string_view message, const char* file, int line);

// Runs an entry point's body; no C++ exception crosses into CPython. The one unwind let through
// is a thread's forced exit: an interpreter before 3.14 ends a daemon thread that asks for the
// lock back during finalization (say, inside pandas code that a body calls) with pthread_exit,
// whose unwind must pass or the process aborts. libstdc++ names that unwind
// abi::__forced_unwind. libc++abi hands it to catch (...) as a foreign exception that it cannot
// throw on, so a libc++ build has no catch (...): all the core throws is a std::exception or
// CallInterrupted.
// A signal's handler that raises during a blocking wait ends the call with its exception.
// That unwind carries no C++ object, so the catch binds its reference to null, which
// UndefinedBehaviorSanitizer would report on every such thread exit.
template <class Body>
__attribute__((no_sanitize("null"))) PyObject* guard(Body&& body) {
  const InterruptCheckScope interrupts([] { return PyErr_CheckSignals() != 0; });
  try {
    return body();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (const CallInterrupted&) {
    return nullptr;  // the handler's exception is set
  } catch (const InternalFault& fault) {
    return raise_panic(fault.message(), fault.file(), fault.line());
  } catch (const MemoryLimitExceeded& refused) {
    PyErr_SetString(PyExc_MemoryError, refused.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what(), __FILE__, __LINE__);
#if defined(__GLIBCXX__)
  } catch (...) {
    return raise_panic("unknown C++ exception", __FILE__, __LINE__);
#endif
  }
}

}  // namespace velmora::py
