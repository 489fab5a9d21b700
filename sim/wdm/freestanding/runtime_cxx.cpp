// The one C++ runtime function the driver's code calls: the big-number
// code's end when nothing may continue.
#include <exception>

#include "host.h"

namespace {
constexpr uint32_t kStatusIntegerOverflow = 0xC0000095u;
}

namespace std {
void terminate() noexcept { SimKernelRaise(kStatusIntegerOverflow); }
}  // namespace std
