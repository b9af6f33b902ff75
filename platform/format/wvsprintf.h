// The host formatter with its arguments taken from anywhere: wvsprintfA takes
// them from a va_list; the emulated image's import takes them from the
// argument list that the image built in its own memory.
#ifndef B64FILTER_WVSPRINTF_H
#define B64FILTER_WVSPRINTF_H

#include "platform/platform.h"

// Gives the argument of each conversion in turn: a string for "%s" (null
// prints as "(null)"), a DWORD for "%lu".
struct FormatArguments {
    const char *(*nextString)(void *source);
    DWORD (*nextDword)(void *source);
    void *source;
};

// wvsprintfA, with the arguments from `arguments`.
int FormatWith(LPSTR lpOutput, LPCSTR lpFmt, const FormatArguments *arguments);

#endif
