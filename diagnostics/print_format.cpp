#include "diagnostics/print_format.h"

// wvsprintfA stores at most 1024 characters and a terminating zero.
#define MESSAGE_BUFFER_BYTES 1025

BOOL PrintFormat(HANDLE handle, LPCSTR format, ...)
{
    char message[MESSAGE_BUFFER_BYTES];
    va_list arguments;
    va_start(arguments, format);
    int length = wvsprintfA(message, format, arguments);
    va_end(arguments);
    if (length <= 0)
        return FALSE;

    DWORD written = 0;
    if (!WriteFile(handle, message, (DWORD)length, &written, 0))
        return FALSE;
    return written == (DWORD)length;
}
