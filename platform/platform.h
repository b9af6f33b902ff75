// The operating-system interface of the filter: the seven Win32 functions it
// calls, with their Win32 names, types and signatures, and the constants it
// uses. This is the only place they are declared.
//
// The Windows image links them from KERNEL32.dll and USER32.dll; the host
// build from platform/posix; the unit tests from platform/test.
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
#define ERROR_WRITE_FAULT 29UL
#define ERROR_INVALID_PARAMETER 87UL
#define ERROR_BROKEN_PIPE 109UL
#define ERROR_DISK_FULL 112UL
#define ERROR_FILE_TOO_LARGE 223UL
#define ERROR_NO_DATA 232UL
#define ERROR_IO_DEVICE 1117UL

#ifdef __cplusplus
extern "C" {
#endif

PLATFORM_IMPORT HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
PLATFORM_IMPORT BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
PLATFORM_IMPORT BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
PLATFORM_IMPORT BOOL WINAPI CloseHandle(HANDLE hObject);
PLATFORM_IMPORT DWORD WINAPI GetLastError(void);
PLATFORM_IMPORT __attribute__((noreturn)) void WINAPI ExitProcess(DWORD uExitCode);
PLATFORM_IMPORT int WINAPI wvsprintfA(LPSTR lpOutput, LPCSTR lpFmt, va_list arglist);

#ifdef __cplusplus
}
#endif

#endif
