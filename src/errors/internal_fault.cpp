// Out-of-line throw, so the check in VELMORA_EXPECT stays small at every call site.
#include "errors/internal_fault.hpp"

namespace velmora {

void raise_internal_fault(std::string_view message, const char* file, int line) {
  throw InternalFault(message, file, line);
}

}  // namespace velmora
