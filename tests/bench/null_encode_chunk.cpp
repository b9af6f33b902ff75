// The null filter's EncodeChunk: the line length the real one returns for n
// bytes, 4 * ceil(n / 3) + 2, and no encoding. Linked with the filter's own
// FilterMain and the POSIX layer, it gives a program with the filter's exact
// calls (read 57, write one line per read), so that the filter's time over
// this one's is the cost of encoding alone.
#include "filter/encode_chunk.h"

DWORD EncodeChunk(BYTE input[INPUT_BUFFER_BYTES], DWORD count, char line[LINE_BUFFER_BYTES])
{
    (void)input;
    // What is written should be defined bytes, not stale stack; the line
    // buffer stays where it is for the whole run, so it is filled only when
    // it is new.
    static const char *filled;
    if (line != filled) {
        for (DWORD i = 0; i < LINE_BUFFER_BYTES; i++)
            line[i] = 'A';
        filled = line;
    }
    return 4 * ((count + 2) / 3) + 2;
}
