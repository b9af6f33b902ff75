// The formatter behind every message, for builds without USER32.dll. Like
// the Windows one it stores at most 1024 characters and a terminating zero,
// and returns the count stored. It knows the conversions the messages use:
// "%s" (a zero-terminated string), "%lu" (a DWORD in decimal) and "%%".
#include "platform/format/wvsprintf.h"

#define FORMAT_MAX_CHARS 1024

struct FormatOutput {
    char *buffer;
    int count;
};

static void PutChar(FormatOutput *out, char c)
{
    if (out->count < FORMAT_MAX_CHARS)
        out->buffer[out->count++] = c;
}

static void PutString(FormatOutput *out, const char *s)
{
    if (!s)
        s = "(null)";
    while (*s && out->count < FORMAT_MAX_CHARS)
        PutChar(out, *s++);
}

static void PutUnsigned(FormatOutput *out, DWORD value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (n > 0)
        PutChar(out, digits[--n]);
}

int FormatWith(LPSTR lpOutput, LPCSTR lpFmt, const FormatArguments *arguments)
{
    FormatOutput out = {lpOutput, 0};
    for (const char *p = lpFmt; *p && out.count < FORMAT_MAX_CHARS; p++) {
        if (*p != '%') {
            PutChar(&out, *p);
            continue;
        }
        p++;
        if (*p == 's') {
            PutString(&out, arguments->nextString(arguments->source));
        } else if (p[0] == 'l' && p[1] == 'u') {
            PutUnsigned(&out, arguments->nextDword(arguments->source));
            p++;
        } else if (*p) {
            // "%%", and any conversion it does not know, stand for the character itself.
            PutChar(&out, *p);
        } else {
            break;
        }
    }
    out.buffer[out.count] = 0;
    return out.count;
}

// The arguments of a va_list, read through a copy so that the caller's list
// is read exactly as passed on every ABI.
struct ListSource {
    va_list list;
};

static const char *NextListString(void *source)
{
    return va_arg(((ListSource *)source)->list, const char *);
}

static DWORD NextListDword(void *source)
{
    return va_arg(((ListSource *)source)->list, DWORD);
}

extern "C" int WINAPI wvsprintfA(LPSTR lpOutput, LPCSTR lpFmt, va_list arglist)
{
    ListSource source;
    va_copy(source.list, arglist);
    FormatArguments arguments = {NextListString, NextListDword, &source};
    int count = FormatWith(lpOutput, lpFmt, &arguments);
    va_end(source.list);
    return count;
}
