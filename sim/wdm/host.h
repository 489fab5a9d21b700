/* The boundary between the driver's kernel glue (driver.c, written in C
 * against the DDK headers) and the C++ side that carries the simulated
 * devices (host.cpp), which the Windows-side tests also link to compare
 * the driver with. Callers hold the driver's lock around every call. */
#ifndef CELLVARO_SIM_WDM_HOST_H
#define CELLVARO_SIM_WDM_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device kinds: the misc device, or battery i as SIM_DEVICE_BATTERY0 + i. */
#define SIM_DEVICE_MISC 0u
#define SIM_DEVICE_BATTERY0 1u

typedef struct SimReply {
    uint32_t result;     /* 1: the call succeeds */
    uint32_t last_error; /* the Win32 error the caller sees when result is 0 */
    uint32_t bytes;      /* bytes written to the output buffer */
} SimReply;

/* Once, from DriverEntry: constructs the misc device with the defaults. */
void SimHostInitialize(void);

/* Takes the notebook blob read from the registry. A blob with a new
 * sequence number replaces the devices' description and starts a fresh
 * misc device and log; the same sequence again changes nothing. A blob
 * that does not decode is ignored. */
void SimHostLoadNotebook(const uint8_t *blob, uint32_t size);

/* An open of a device: the battery devices refuse it when their
 * description says so (absent, failing open, no such index). Journaled. */
SimReply SimHostOpen(uint32_t device);
void SimHostClose(uint32_t device);

/* One buffered control request. in and out may be the same buffer: the
 * input is copied before the device sees it. open_error is the error of a
 * refused open on the same handle (0: the open succeeded); the request
 * then fails with it without reaching the device. */
SimReply SimHostControl(uint32_t device, uint32_t code, const uint8_t *in, uint32_t in_size,
                        uint8_t *out, uint32_t out_capacity, uint32_t open_error);

/* The log, encoded for the registry value "Log"; returns its size. */
uint32_t SimHostLogSize(void);
const uint8_t *SimHostEncodeLog(void);

/* Provided by driver.c. */
void SimKernelEntropy(uint8_t out[16]);       /* performance counter and system time */
void *SimKernelAllocate(uint32_t size);       /* non-paged pool, or null */
void SimKernelFree(void *block);
__attribute__((noreturn)) void SimKernelRaise(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif
