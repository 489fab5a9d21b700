// The busy retry's pause without the wait: the fuzz targets link with
// --wrap=Sleep, so the product's calls of Sleep come here and are counted.
#include "fuzz_support.h"

namespace fuzz {
uint32_t g_sleeps = 0;
uint32_t g_sleptMs = 0;
}  // namespace fuzz

extern "C" void WINAPI __wrap_Sleep(DWORD dwMilliseconds) {
    fuzz::g_sleeps++;
    fuzz::g_sleptMs += dwMilliseconds;
}
