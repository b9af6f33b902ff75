// The filter's six KERNEL32 functions over POSIX descriptors.
//
// A HANDLE is the descriptor's value. Each ReadFile or WriteFile is one
// read() or write(): short counts are reported as they come, since joining
// reads would break one line per read. The Windows calls are synchronous, so
// an interrupted call is retried and a non-blocking descriptor is waited for.
#include "platform/posix/posix_platform.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

// The code of the last failed call, as GetLastError gives it.
static DWORD lastError;

// Codes above this bit are ours: errno values with no Windows counterpart.
#define APPLICATION_ERROR_BIT 0x20000000UL

extern "C" DWORD ErrorCodeFromErrno(int error)
{
    switch (error) {
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EPIPE:
        return ERROR_NO_DATA;
    case EISDIR:
        return ERROR_INVALID_FUNCTION;
    case EIO:
        return ERROR_IO_DEVICE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return APPLICATION_ERROR_BIT | (DWORD)error;
    }
}

static BOOL FailWithErrno(void)
{
    lastError = ErrorCodeFromErrno(errno);
    return FALSE;
}

static int DescriptorOf(HANDLE handle)
{
    return (int)(intptr_t)handle;
}

// Waits until fd is ready for events, after a non-blocking call found it not
// ready. False when poll itself fails (errno tells why).
static bool AwaitDescriptor(int fd, short events)
{
    struct pollfd request = {fd, events, 0};
    for (;;) {
        if (poll(&request, 1, -1) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

static bool IsWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    // Open or not, the descriptor is what the process holds, as on Windows.
    switch (nStdHandle) {
    case STD_INPUT_HANDLE:
        return (HANDLE)(intptr_t)STDIN_FILENO;
    case STD_OUTPUT_HANDLE:
        return (HANDLE)(intptr_t)STDOUT_FILENO;
    case STD_ERROR_HANDLE:
        return (HANDLE)(intptr_t)STDERR_FILENO;
    default:
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    *lpNumberOfBytesRead = 0;
    int fd = DescriptorOf(hFile);
    for (;;) {
        ssize_t got = read(fd, lpBuffer, nNumberOfBytesToRead);
        if (got >= 0) {
            *lpNumberOfBytesRead = (DWORD)got;
            return TRUE;
        }
        if (errno == EINTR)
            continue;
        if (IsWouldBlock(errno) && AwaitDescriptor(fd, POLLIN))
            continue;
        return FailWithErrno();
    }
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    *lpNumberOfBytesWritten = 0;
    int fd = DescriptorOf(hFile);
    for (;;) {
        ssize_t put = write(fd, lpBuffer, nNumberOfBytesToWrite);
        if (put >= 0) {
            *lpNumberOfBytesWritten = (DWORD)put;
            return TRUE;
        }
        if (errno == EINTR)
            continue;
        if (IsWouldBlock(errno) && AwaitDescriptor(fd, POLLOUT))
            continue;
        return FailWithErrno();
    }
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    // On Linux the descriptor is gone even when close reports EINTR, so a
    // retry could close a descriptor opened meanwhile; EINTR counts as closed.
    if (close(DescriptorOf(hObject)) == 0 || errno == EINTR)
        return TRUE;
    return FailWithErrno();
}

extern "C" DWORD WINAPI GetLastError(void)
{
    return lastError;
}

extern "C" void WINAPI ExitProcess(DWORD uExitCode)
{
    // The shell sees 8 bits: a larger code must not wrap to success, so it
    // becomes 255 (the message has carried the full code).
    _exit(uExitCode < 256 ? (int)uExitCode : 255);
}
