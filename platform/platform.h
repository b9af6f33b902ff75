// The operating-system interface of the filter: the seven Win32 functions it
// calls, with their Win32 names, types and signatures, and the constants it
// uses. This is the only place they are declared, and the comments at the
// declarations below are the whole of what the filter relies on: every
// implementation keeps them.
//
// The Windows image links the functions from KERNEL32.dll and USER32.dll; the
// host build from platform/posix; the unit tests and the fuzzer from
// tests/scripted_platform, a scripted platform whose calls a test sets one by one.
//
// The formatter is the host's own library (platform/format/wvsprintf.cpp), apart
// from the POSIX calls: it touches no descriptor and holds no state, so there
// is nothing to script in it. The unit tests link it with the scripted
// platform, and the messages they check are the very bytes the host binary
// writes. The Windows image has USER32's instead.
#ifndef B64FILTER_PLATFORM_H
#define B64FILTER_PLATFORM_H

#include <stdarg.h>
#include <stdint.h>

#if defined(_WIN32)
#define WINAPI __stdcall
#define PLATFORM_IMPORT __declspec(dllimport)
#else
#define WINAPI
#define PLATFORM_IMPORT
#endif

// DWORD is 32 bits everywhere, as on Windows (where it is unsigned long);
// on LP64 hosts unsigned long is 64 bits, so it is spelled uint32_t.
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // NOLINT(bugprone-reserved-identifier): the Win32 name

#define FALSE 0
#define TRUE 1

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define ERROR_INVALID_FUNCTION 1UL
#define ERROR_ACCESS_DENIED 5UL
#define ERROR_INVALID_HANDLE 6UL
#define ERROR_INVALID_DATA 13UL
#define ERROR_WRITE_FAULT 29UL
#define ERROR_READ_FAULT 30UL
#define ERROR_HANDLE_EOF 38UL
#define ERROR_INVALID_PARAMETER 87UL
#define ERROR_BROKEN_PIPE 109UL
#define ERROR_DISK_FULL 112UL
#define ERROR_FILE_TOO_LARGE 223UL
#define ERROR_NO_DATA 232UL
#define ERROR_IO_DEVICE 1117UL

#ifdef __cplusplus
extern "C" {
#endif

// The handle of a standard stream, or INVALID_HANDLE_VALUE with a code for
// GetLastError when there is none to give. A stream that is closed need not
// fail here: Windows may give a null handle, the host gives the descriptor
// number anyway. The filter uses whatever handle it gets unchanged and lets
// the calls on it fail (on the host with EBADF, code 6).
PLATFORM_IMPORT HANDLE WINAPI GetStdHandle(DWORD nStdHandle);

// One synchronous read (lpOverlapped is always null) of at most
// nNumberOfBytesToRead bytes. A read of 0 bytes is the end of input, and so is
// a failure with ERROR_BROKEN_PIPE (the writer of a pipe has gone). Reads are
// never joined: each delivers what one read of the device gives. A failed read
// reports a count of 0, which the filter does not rely on.
PLATFORM_IMPORT BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);

// One synchronous write (lpOverlapped is always null): it takes the whole
// buffer or fails. A failure reports the bytes taken before it in
// *lpNumberOfBytesWritten; they stay written. A success may still report fewer
// bytes than offered when the device took no more, and the filter treats that
// as a failure of its own (ERROR_WRITE_FAULT).
PLATFORM_IMPORT BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);

// The filter closes each handle once and uses it no more, whatever the
// result: a failure only has a code to report.
PLATFORM_IMPORT BOOL WINAPI CloseHandle(HANDLE hObject);

// The code of the call that failed last. It is valid only right after that
// call: any platform call may change it, so the filter takes it before making
// another. A failure may come with a code of 0; the filter then prints 0 but
// exits with a fault code of the call's kind (6, 30 or 29), never with 0.
PLATFORM_IMPORT DWORD WINAPI GetLastError(void);

// Ends the process with uExitCode; it does not return. (A POSIX exit status
// has 8 bits: the host exits with 255 for a code of 256 or more.)
PLATFORM_IMPORT __attribute__((noreturn)) void WINAPI ExitProcess(DWORD uExitCode);

// Formats into lpOutput and returns the count of characters stored. It stores
// at most 1024 characters and a terminating zero, so a buffer of 1025 bytes
// always holds the result. The filter uses "%s" and "%lu" (a DWORD).
PLATFORM_IMPORT int WINAPI wvsprintfA(LPSTR lpOutput, LPCSTR lpFmt, va_list arglist);

#ifdef __cplusplus
}
#endif

#endif
