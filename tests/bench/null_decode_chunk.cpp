// The decoder's null filter's DecodeChunk: it counts the bytes the real one
// would write for valid text, and decodes nothing. Each group of four
// characters (CR and LF skipped, "=" counted) gives one byte less than it has
// characters that are not "=", as a decoded group does. Linked with the
// decoder's own UnfilterMain and the POSIX layer, it gives a program with the
// decoder's exact calls (read 4096, one write of the same length per read),
// so that the decoder's time over this one's is the cost of decoding alone.
// It takes any text as valid; it is measured on the filter's own.
#include "unfilter/decode_chunk.h"

void StartDecoding(DecodeState *state)
{
    state->characters = 0;  // of the group, "=" included
    state->bits = 0;        // of those, the ones that are not "="
}

BOOL DecodeChunk(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                 DWORD *decodedCount)
{
    // What is written should be defined bytes, not stale stack; the buffer
    // stays where it is for the whole run, so it is filled only when new.
    static const BYTE *filled;
    if (decoded != filled) {
        for (DWORD i = 0; i < DECODED_BUFFER_BYTES; i++)
            decoded[i] = 'A';
        filled = decoded;
    }
    DWORD characters = state->characters, data = state->bits, written = 0;
    for (DWORD i = 0; i < count; i++) {
        if (text[i] == '\r' || text[i] == '\n')
            continue;
        data += text[i] != '=';
        if (++characters == 4) {
            written += data ? data - 1 : 0;  // "====" is no group
            characters = data = 0;
        }
    }
    state->characters = characters;
    state->bits = data;
    *decodedCount = written;
    return TRUE;
}
