// Zeroing of key material that the compiler may not remove as a dead
// store.
#pragma once

#include <stddef.h>

// Writes n zero bytes at p (nothing when p is null), then reads them back
// through a volatile pointer so that the writes must take place.
void secure_wipe(void *p, size_t n);
