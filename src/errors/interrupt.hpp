// Letting a pending signal end a call, whether it waits in a blocking system call or works
// through a long loop. The core cannot ask Python whether a signal's handler wants the call to
// stop, so the binding installs a check for the duration of each call.
#pragma once

namespace velmora {

// Thrown when the installed check reports that a signal's handler raised; the binding has then
// already set the exception to raise. Not a std::exception, so only the boundary catches it.
struct CallInterrupted {};

// Run after a system call failed with EINTR, and every few thousand packets or rows of a long
// loop, so that Ctrl-C ends any call within a fraction of a second. interrupt_requested() tells
// whether the signal ends the call (for code that must tidy up first); check_interrupt() throws
// CallInterrupted then. Without an installed check the system call is simply retried.
bool interrupt_requested();
void check_interrupt();

// Installs `stop_requested` for this thread until destroyed. It runs the signal handlers that
// are due and returns true when one of them asks the call to stop.
class InterruptCheckScope {
 public:
  using Check = bool (*)();
  explicit InterruptCheckScope(Check stop_requested);
  InterruptCheckScope(const InterruptCheckScope&) = delete;
  InterruptCheckScope& operator=(const InterruptCheckScope&) = delete;
  ~InterruptCheckScope();

 private:
  Check previous_;
};

}  // namespace velmora
