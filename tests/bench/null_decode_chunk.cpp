// The decoder's null filter's DecodeChunk: it counts the bytes the real one
// would write for valid text, and decodes nothing. Linked with the decoder's
// own UnfilterMain and the POSIX layer, it gives a program with the decoder's
// exact calls (read 4096, one write of the same length per read), so that the
// decoder's time over this one's is the cost of decoding alone. So the count
// must cost next to nothing in every tree: it adds up CR, LF and "=" sixteen
// bytes at a time in vector registers (written so, not left to the
// optimiser: at -O2 a loop over the bytes stays a byte at a time, 15
// instructions each, twice what the decoder spends), and looks back over the
// last few characters that stay held for the next read. A group of
// four characters gives three bytes, one less for each "=" in it. It takes
// any text as valid; it is measured on the filter's own.
#include "unfilter/decode_chunk.h"

#include <cstring>

// Sixteen bytes of text, compared at once (GCC's and Clang's vector extension).
#define BLOCK_BYTES 16
typedef BYTE Block __attribute__((vector_size(BLOCK_BYTES)));

void StartDecoding(DecodeState *state)
{
    state->characters = 0;  // held for the next read, "=" included
    state->padded = 0;      // of those, the "="
}

// Adds the CR and LF among blocks of text (at most 255: a lane counts to 255)
// to *lineEnds, and the "=" to *equals. Returns the text after them.
static const BYTE *CountBlocks(const BYTE *text, DWORD blocks, DWORD *lineEnds, DWORD *equals)
{
    Block ends = {}, pads = {};
    for (DWORD i = 0; i < blocks; i++, text += BLOCK_BYTES) {
        Block block;
        memcpy(&block, text, BLOCK_BYTES);
        // A comparison gives -1 in each lane where it holds.
        ends -= (Block)((block == '\r') | (block == '\n'));
        pads -= (Block)(block == '=');
    }
    for (unsigned i = 0; i < BLOCK_BYTES; i++) {
        *lineEnds += ends[i];
        *equals += pads[i];
    }
    return text;
}

// Adds the CR and LF of count bytes of text to *lineEnds, the "=" to *equals.
static void CountMarks(const BYTE *text, DWORD count, DWORD *lineEnds, DWORD *equals)
{
    for (DWORD blocks = count / BLOCK_BYTES; blocks > 0;) {
        DWORD run = blocks < 255 ? blocks : 255;
        text = CountBlocks(text, run, lineEnds, equals);
        blocks -= run;
    }
    // The bytes after the last whole block, and zeros, which count as nothing.
    Block last = {};
    memcpy(&last, text, count % BLOCK_BYTES);
    CountBlocks(reinterpret_cast<const BYTE *>(&last), 1, lineEnds, equals);
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
    CountMarks(text, count, &skipped, &padding);
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
