// HostServices.h: the host's two service functions that a HostContext carries, serving
// every page, tag, registration, preference and database selector for a HostRequest.
#ifndef VELQUOR_HOST_HOST_SERVICES_H
#define VELQUOR_HOST_HOST_SERVICES_H

#include "module/HostInterface.h"

#include <cstdint>

extern "C" {

// Call conventions, for every output buffer: the size argument holds the capacity on
// entry. An answer of n bytes needs n + 1 bytes (it is written with a terminating NUL);
// when it fits, the bytes are written and the size becomes n; otherwise nothing is written,
// the size becomes n + 1 and the answer is 'MBtS'. Other failures set the size to 0.
// Input texts come with a count of length + 1 (WriteText: the exact length); a count that
// does not match the text, or a missing pointer, is answered with 'MIPV' and recorded as a
// protocol violation. An unknown selector answers 'MUnF'. hostRef must name a live
// HostRequest; anything else answers 'MGen'. No exception leaves these functions.
int32_t HostServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3, void *a4,
                            void *a5);
int32_t HostDatabaseServiceCallback(uintptr_t hostRef, uint32_t selector, void *a1, void *a2, void *a3,
                                    void *a4, void *a5, void *a6);
}

#endif
