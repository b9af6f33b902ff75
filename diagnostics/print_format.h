// Messages on the standard error handle.
#ifndef B64FILTER_PRINT_FORMAT_H
#define B64FILTER_PRINT_FORMAT_H

#include "platform/platform.h"

// Formats with wvsprintfA ("%s" takes a zero-terminated string, "%lu" a
// DWORD) and writes the result to handle. TRUE only when the whole text was
// written; an empty text is not written at all.
BOOL PrintFormat(HANDLE handle, LPCSTR format, ...);

#endif
