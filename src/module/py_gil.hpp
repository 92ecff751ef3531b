// Releasing the interpreter lock around the core's work, which touches no Python object, so that
// other Python threads run meanwhile: a study can read files on a thread pool.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora::py {

// Runs `work` without the interpreter lock and takes the lock back before returning, or before
// an exception leaves (the entry point's guard then raises it). `work` must not touch Python.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  class Reacquire {
   public:
    explicit Reacquire(PyThreadState* state) : state_(state) {}
    Reacquire(const Reacquire&) = delete;
    Reacquire& operator=(const Reacquire&) = delete;
    ~Reacquire() { PyEval_RestoreThread(state_); }

   private:
    PyThreadState* state_;
  } reacquire(PyEval_SaveThread());
  return std::forward<Work>(work)();
}

}  // namespace velmora::py
