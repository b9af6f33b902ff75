// The decoder's null filter's DecodeChunk: it counts the bytes the real one
// would write for valid text, and decodes nothing. Linked with the decoder's
// own UnfilterMain and the POSIX layer, it gives a program with the decoder's
// exact calls (read 4096, one write of the same length per read), so that the
// decoder's time over this one's is the cost of decoding alone. So the count
// must cost next to nothing: one pass that only adds up CR, LF and "=" (which
// the compiler vectorises), and a look back over the last few characters that
// stay held for the next read. A group of four characters gives three bytes,
// one less for each "=" in it. It takes any text as valid; it is measured on
// the filter's own.
#include "unfilter/decode_chunk.h"

void StartDecoding(DecodeState *state)
{
    state->characters = 0;  // held for the next read, "=" included
    state->padded = 0;      // of those, the "="
}

// The "=" among the last rest characters of text (CR and LF skipped).
static DWORD PaddingOfLast(const BYTE *text, DWORD count, DWORD rest)
{
    DWORD padding = 0;
    for (DWORD i = count; i > 0 && rest > 0; i--) {
        if (text[i - 1] == '\r' || text[i - 1] == '\n')
            continue;
        padding += text[i - 1] == '=';
        rest--;
    }
    return padding;
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
    DWORD skipped = 0, padding = 0;
    for (DWORD i = 0; i < count; i++) {
        skipped += (text[i] == '\r') | (text[i] == '\n');
        padding += text[i] == '=';
    }
    DWORD characters = state->characters + count - skipped;
    DWORD groups = characters / 4, rest = characters % 4;
    if (groups == 0) {
        state->characters = characters;
        state->padded += padding;
        *decodedCount = 0;
        return TRUE;
    }
    // A group completes here, so the characters held now are all this read's
    // (it took at least 4 less the 3 at most held before).
    DWORD held = PaddingOfLast(text, count, rest);
    DWORD inGroups = state->padded + padding - held;
    state->characters = rest;
    state->padded = held;
    *decodedCount = 3 * groups > inGroups ? 3 * groups - inGroups : 0;
    return TRUE;
}

// The filter's text has no byte-order mark nor UTF-16 units to leave half
// taken at its end.
BOOL EndDecoding(DecodeState *state)
{
    (void)state;
    return TRUE;
}
