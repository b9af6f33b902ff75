#include "filter/filter_main.h"

#include "filter/encode_chunk.h"
#include "platform/platform.h"
#include "process/process_life.h"

// One read, one line, one write, until end of input or the first failure.
// Returns the exit code.
static DWORD CopyLoop(HANDLE inputHandle, HANDLE outputHandle, HANDLE errorHandle,
                      BYTE input[INPUT_BUFFER_BYTES], char line[LINE_BUFFER_BYTES])
{
    for (;;) {
        DWORD bytesRead, exitCode;
        if (!ReadOrReport(inputHandle, errorHandle, input, CHUNK_BYTES, &bytesRead, &exitCode))
            return exitCode;
        if (bytesRead == 0)
            return 0;

        DWORD length = EncodeChunk(input, bytesRead, line);
        if (!WriteOrReport(outputHandle, errorHandle, line, length, &exitCode))
            return exitCode;
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

    RunOnStdStreams([&](HANDLE inputHandle, HANDLE outputHandle, HANDLE errorHandle) {
        return CopyLoop(inputHandle, outputHandle, errorHandle, input, line);
    });
}
