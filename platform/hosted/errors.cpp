// The thread's last-error value.
#include "hosted.h"

namespace {
thread_local DWORD t_lastError = 0;
bool g_clobber = false;
}  // namespace

namespace hosted {
void SetClobberLastErrorOnSuccess(bool on) { g_clobber = on; }
void ClobberLastErrorAfterSuccess() {
    if (g_clobber) t_lastError = kClobberedLastError;
}
}  // namespace hosted

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
