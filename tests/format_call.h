// wvsprintfA takes its arguments as a va_list; tests call it with a list.
#ifndef B64FILTER_TESTS_FORMAT_CALL_H
#define B64FILTER_TESTS_FORMAT_CALL_H

#include <stdarg.h>

#include "platform/platform.h"

inline int FormatCall(char *buffer, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(buffer, format, args);
    va_end(args);
    return n;
}

#endif
