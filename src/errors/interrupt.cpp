// The per-thread interrupt check: set only while a call runs, so no state outlives a call.
#include "errors/interrupt.hpp"

namespace velmora {

namespace {

thread_local InterruptCheckScope::Check installed_check = nullptr;

}  // namespace

bool interrupt_requested() { return installed_check != nullptr && installed_check(); }

void check_interrupt() {
  if (interrupt_requested()) throw CallInterrupted{};
}

InterruptCheckScope::InterruptCheckScope(Check stop_requested) : previous_(installed_check) {
  installed_check = stop_requested;
}

InterruptCheckScope::~InterruptCheckScope() { installed_check = previous_; }

}  // namespace velmora
