// Pieces of the POSIX layer that its tests reach beyond the Win32 interface.
#ifndef B64FILTER_POSIX_PLATFORM_H
#define B64FILTER_POSIX_PLATFORM_H

#include "platform/platform.h"

#ifdef __cplusplus
extern "C"
#endif
    // The error code that GetLastError gives for a failed call's errno.
    DWORD
    ErrorCodeFromErrno(int error);

#endif
