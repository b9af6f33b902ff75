#include "unfilter/unfilter_main.h"

#include "platform/platform.h"
#include "process/process_life.h"
#include "unfilter/decode_chunk.h"

// One read, one write of the groups it completes, until end of input or the
// first failure. Returns the exit code. Nothing is held from one read to the
// next but the characters of an unfinished group and the bytes of a mark or
// a unit begun, so every whole group is on the output as soon as its read is.
static DWORD DecodeLoop(HANDLE inputHandle, HANDLE outputHandle, HANDLE errorHandle,
                        BYTE text[TEXT_BUFFER_BYTES], BYTE decoded[DECODED_BUFFER_BYTES])
{
    DecodeState state;
    StartDecoding(&state);
    for (;;) {
        DWORD bytesRead, exitCode;
        if (!ReadOrReport(inputHandle, errorHandle, text, TEXT_BUFFER_BYTES, &bytesRead, &exitCode))
            return exitCode;
        if (bytesRead == 0) {
            // Half a unit, or a mark begun, is an invalid character before the end.
            if (!EndDecoding(&state))
                break;
            if (state.characters == 0)
                return 0;
            // Text cut short is a failure: its last characters were lost.
            PrintFormat(errorHandle, MSG_ENDS_INSIDE_GROUP, state.groupLine, state.groupColumn);
            return ERROR_HANDLE_EOF;
        }

        // The groups before an invalid character are written all the same, so
        // nothing valid is lost; a failure to write them is the first failure.
        DWORD decodedCount;
        BOOL valid = DecodeChunk(&state, text, bytesRead, decoded, &decodedCount);
        if (decodedCount != 0 && !WriteOrReport(outputHandle, errorHandle, decoded, decodedCount, &exitCode))
            return exitCode;
        if (!valid)
            break;
    }
    PrintFormat(errorHandle, MSG_INVALID_INPUT, state.line, state.column);
    return ERROR_INVALID_DATA;
}

extern "C" void UnfilterMain(void)
{
    BYTE text[TEXT_BUFFER_BYTES];
    BYTE decoded[DECODED_BUFFER_BYTES];
    RunOnStdStreams([&](HANDLE inputHandle, HANDLE outputHandle, HANDLE errorHandle) {
        return DecodeLoop(inputHandle, outputHandle, errorHandle, text, decoded);
    });
}
