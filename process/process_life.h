// What the encoder and the decoder do alike around their work: take the
// standard handles, read and write them, report a failed call, and close the
// handles again. Both loops read and write through ReadOrReport and
// WriteOrReport, so a failure reads alike, in the same words and exit code,
// whichever program meets it.
#ifndef B64FILTER_PROCESS_LIFE_H
#define B64FILTER_PROCESS_LIFE_H

#include "diagnostics/messages.h"
#include "diagnostics/print_format.h"
#include "platform/platform.h"

// The exit code for a failure whose code is error. A failure must never exit
// as success: when the system gave no code, the fault code of the call's kind
// stands in for it (the message still prints the 0 it gave).
static DWORD ExitCodeOf(DWORD error, DWORD fault)
{
    return error ? error : fault;
}

// One read of at most size bytes. FALSE when it failed, with the failure
// reported and its exit code in *exitCode. The writing end of a pipe closing
// is no failure but the end of input, as a read of 0 bytes is.
static BOOL ReadOrReport(HANDLE inputHandle, HANDLE errorHandle, LPVOID buffer, DWORD size, DWORD *bytesRead,
                         DWORD *exitCode)
{
    if (ReadFile(inputHandle, buffer, size, bytesRead, 0))
        return TRUE;
    DWORD error = GetLastError();
    // A failed read's count means nothing, whatever the platform put there.
    *bytesRead = 0;
    if (error == ERROR_BROKEN_PIPE)
        return TRUE;
    PrintFormat(errorHandle, MSG_READFILE, error);
    *exitCode = ExitCodeOf(error, ERROR_READ_FAULT);
    return FALSE;
}

// One write of all length bytes. FALSE when it failed, with the failure
// reported and its exit code in *exitCode: a write that takes less than all
// of them is a failure of its own.
static BOOL WriteOrReport(HANDLE outputHandle, HANDLE errorHandle, LPCVOID buffer, DWORD length,
                          DWORD *exitCode)
{
    DWORD bytesWritten = 0;
    if (!WriteFile(outputHandle, buffer, length, &bytesWritten, 0)) {
        DWORD error = GetLastError();
        PrintFormat(errorHandle, MSG_WRITEFILE, error);
        *exitCode = ExitCodeOf(error, ERROR_WRITE_FAULT);
        return FALSE;
    }
    if (bytesWritten != length) {
        PrintFormat(errorHandle, MSG_SHORT_WRITE, bytesWritten, length);
        *exitCode = ERROR_WRITE_FAULT;
        return FALSE;
    }
    return TRUE;
}

// A failed close is reported but changes nothing else: the exit code stays,
// and the closes after it still happen.
static void CloseAndReport(HANDLE handle, HANDLE errorHandle)
{
    if (!CloseHandle(handle))
        PrintFormat(errorHandle, MSG_CLOSEHANDLE, GetLastError());
}

// The whole life of either process around its work: the handles taken error,
// output, input; work(input, output, error) run when all three are there and
// its exit code kept; the handles closed in reverse order; ExitProcess.
// Without an error handle there is nowhere to report, and nothing is held.
// Of output and input, the first one missing is reported, nothing is read,
// and only the handles given are closed.
template <typename Work>
__attribute__((always_inline, noreturn)) static inline void RunOnStdStreams(Work work)
{
    HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    if (errorHandle == INVALID_HANDLE_VALUE)
        ExitProcess(ExitCodeOf(GetLastError(), ERROR_INVALID_HANDLE));

    DWORD exitCode;
    HANDLE outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE inputHandle = INVALID_HANDLE_VALUE;
    LPCSTR missing = NAME_STD_OUTPUT_HANDLE;
    if (outputHandle != INVALID_HANDLE_VALUE) {
        inputHandle = GetStdHandle(STD_INPUT_HANDLE);
        missing = NAME_STD_INPUT_HANDLE;
    }
    if (inputHandle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        PrintFormat(errorHandle, MSG_GETSTDHANDLE, missing, error);
        exitCode = ExitCodeOf(error, ERROR_INVALID_HANDLE);
    } else {
        exitCode = work(inputHandle, outputHandle, errorHandle);
        CloseAndReport(inputHandle, errorHandle);
    }
    if (outputHandle != INVALID_HANDLE_VALUE)
        CloseAndReport(outputHandle, errorHandle);
    // A failure to close the error handle is reported on that same handle.
    CloseAndReport(errorHandle, errorHandle);
    ExitProcess(exitCode);
}

#endif
