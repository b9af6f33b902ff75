#include "filter/filter_main.h"

#include "diagnostics/messages.h"
#include "diagnostics/print_format.h"
#include "filter/encode_chunk.h"
#include "platform/platform.h"

// The exit code for a failure whose code is error. A failure must never exit
// as success: when the system gave no code, the fault code of the call's kind
// stands in for it (the message still prints the 0 it gave).
static DWORD ExitCodeOf(DWORD error, DWORD fault)
{
    return error ? error : fault;
}

// A failed close is reported but changes nothing else: the exit code stays,
// and the closes after it still happen.
static void CloseAndReport(HANDLE handle, HANDLE errorHandle)
{
    if (!CloseHandle(handle))
        PrintFormat(errorHandle, MSG_CLOSEHANDLE, GetLastError());
}

// One read, one line, one write, until end of input or the first failure.
// Returns the exit code.
static DWORD CopyLoop(HANDLE inputHandle, HANDLE outputHandle, HANDLE errorHandle,
                      BYTE input[INPUT_BUFFER_BYTES], char line[LINE_BUFFER_BYTES])
{
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(inputHandle, input, CHUNK_BYTES, &bytesRead, 0)) {
            DWORD error = GetLastError();
            // The writing end of a pipe has closed: an ordinary end of input.
            if (error == ERROR_BROKEN_PIPE)
                return 0;
            PrintFormat(errorHandle, MSG_READFILE, error);
            return ExitCodeOf(error, ERROR_READ_FAULT);
        }
        if (bytesRead == 0)
            return 0;

        DWORD length = EncodeChunk(input, bytesRead, line);
        DWORD bytesWritten = 0;
        if (!WriteFile(outputHandle, line, length, &bytesWritten, 0)) {
            DWORD error = GetLastError();
            PrintFormat(errorHandle, MSG_WRITEFILE, error);
            return ExitCodeOf(error, ERROR_WRITE_FAULT);
        }
        if (bytesWritten != length) {
            PrintFormat(errorHandle, MSG_SHORT_WRITE, bytesWritten, length);
            return ERROR_WRITE_FAULT;
        }
    }
}

extern "C" void FilterMain(void)
{
    BYTE input[INPUT_BUFFER_BYTES];
    char line[LINE_BUFFER_BYTES];
    // The word load of a short read's last group takes up to three bytes past
    // the data. They never reach the output, but before the first read they
    // would be uninitialised; zeroing once keeps every read defined.
    for (DWORD i = 0; i < INPUT_BUFFER_BYTES; i++)
        input[i] = 0;

    // Without an error handle there is nowhere to report, and nothing is held.
    HANDLE errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    if (errorHandle == INVALID_HANDLE_VALUE)
        ExitProcess(ExitCodeOf(GetLastError(), ERROR_INVALID_HANDLE));

    // Output, then input: the first one missing is reported, nothing is read,
    // and only the handles given are closed.
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
        exitCode = CopyLoop(inputHandle, outputHandle, errorHandle, input, line);
        CloseAndReport(inputHandle, errorHandle);
    }
    if (outputHandle != INVALID_HANDLE_VALUE)
        CloseAndReport(outputHandle, errorHandle);
    // A failure to close the error handle is reported on that same handle.
    CloseAndReport(errorHandle, errorHandle);
    ExitProcess(exitCode);
}
