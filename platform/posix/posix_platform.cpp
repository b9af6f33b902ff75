// The filter's six KERNEL32 functions over POSIX descriptors. They keep the
// contract written at the declarations in platform/platform.h; how is said
// here at each one.
//
// A HANDLE is the descriptor's value.
#include "platform/posix/posix_platform.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#ifdef __LLVM_INSTR_PROFILE_GENERATE
#include <profile/instr_prof_interface.h>
#endif

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

extern "C" void IgnoreWriteSignals(void)
{
    // A write to a pipe without a reader (SIGPIPE) or at the file-size limit
    // (SIGXFSZ) would otherwise kill the process before it can report and
    // close. Ignored, the write fails with EPIPE or EFBIG and has a code, as
    // the Windows call does.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
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

// Whether a call failed only because a non-blocking descriptor was not ready.
static bool IsNotReady(int error)
{
#if EAGAIN == EWOULDBLOCK
    // One code on Linux: comparing with both would be a test that never decides.
    return error == EAGAIN;
#else
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

// Waits until fd is ready for events. False when poll itself fails (errno
// tells why).
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

// One read() (events POLLIN) or write() (POLLOUT), made to behave as a
// synchronous Windows call, which has no signals to show and never refuses
// to wait: a call that a signal interrupts (EINTR) is made again, and so is
// one that a non-blocking descriptor refuses (EAGAIN, EWOULDBLOCK), once poll
// says the descriptor is ready. Returns the count, or -1 with errno set.
static ssize_t Transfer(int fd, short events, void *buffer, size_t count)
{
    for (;;) {
        ssize_t done = events == POLLIN ? read(fd, buffer, count) : write(fd, buffer, count);
        if (done >= 0)
            return done;
        if (errno == EINTR)
            continue;
        if (!IsNotReady(errno) || !AwaitDescriptor(fd, events))
            return -1;
    }
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
    // One read(), its count as it comes: joining reads would join lines.
    ssize_t got = Transfer(DescriptorOf(hFile), POLLIN, lpBuffer, nNumberOfBytesToRead);
    if (got < 0)
        return FailWithErrno();
    *lpNumberOfBytesRead = (DWORD)got;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    *lpNumberOfBytesWritten = 0;
    char *rest = (char *)lpBuffer;  // write() only reads it
    DWORD left = nNumberOfBytesToWrite;
    // write() may take part of the buffer: a signal after some bytes, room
    // for some in a pipe or socket, a file-size limit or a full disk inside
    // it. The rest is offered again until all is taken or a write fails;
    // what was taken stays counted. A write of nothing is still made, so that
    // a bad handle fails as it would on Windows.
    do {
        ssize_t put = Transfer(DescriptorOf(hFile), POLLOUT, rest, left);
        if (put < 0)
            return FailWithErrno();
        // A device that takes nothing now would take nothing when asked again.
        if (put == 0)
            break;
        rest += put;
        left -= (DWORD)put;
        *lpNumberOfBytesWritten += (DWORD)put;
    } while (left > 0);
    return TRUE;
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
    int status = uExitCode < 256 ? (int)uExitCode : 255;
#ifdef __LLVM_INSTR_PROFILE_GENERATE
    // _exit skips the exit handlers, and with them the one that writes the
    // coverage profile of an instrumented build; what runs after this call
    // is not counted.
    __llvm_profile_dump();
#endif
    _exit(status);
}
