// The cryptographic code's host in the kernel-mode test driver: a raise
// becomes SimKernelRaise, which raises the status in the kernel and never
// returns, whatever the flags. The driver carries no random generator (its
// randomness comes from SimKernelEntropy), so it reads no clock for the
// crypto code and crypto_host_read_clock is not defined here.
#include "crypto_host.h"

#include "host.h"

void crypto_host_raise(uint32_t code, uint32_t flags) {
    (void)flags;
    SimKernelRaise(code);
}
