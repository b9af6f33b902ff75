// Pieces of the POSIX layer beyond the Win32 interface: what the host's main
// calls, and what its tests reach.
#ifndef B64FILTER_POSIX_PLATFORM_H
#define B64FILTER_POSIX_PLATFORM_H

#include "platform/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

// The error code that GetLastError gives for a failed call's errno.
DWORD ErrorCodeFromErrno(int error);

// Sets the process up before FilterMain: the signals a failing write raises
// are ignored, so that the write fails with a code instead of killing it.
void IgnoreWriteSignals(void);

#ifdef __cplusplus
}
#endif

#endif
