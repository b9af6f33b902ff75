#include "unfilter/decode_chunk.h"

// The tests' copy in the host trees (B64_CHECK_DECODED_BOUND, cmake/host.cmake)
// checks after every write that it stayed inside decoded, and stops at the
// first that did not; in the programs, the image and the coverage tree it is
// nothing at all.
#ifdef B64_CHECK_DECODED_BOUND
#include <stdlib.h>
#define CHECK_DECODED_BOUND(out, decoded) ((out) - (decoded) <= DECODED_BUFFER_BYTES ? (void)0 : abort())
#else
#define CHECK_DECODED_BOUND(out, decoded) ((void)0)
#endif

// What each byte of the text is: a character's 6 bits (0 to 63), or one of
// these. They are negative so that a group holding any of them decodes to a
// word with its top bit set: one test of the word checks all four.
#define VALUE_PADDING (-64)   // "="
#define VALUE_CR (-63)        // skipped
#define VALUE_LF (-62)        // skipped, and the next byte starts a line
#define VALUE_INVALID (-128)  // wherever it stands

#define PD VALUE_PADDING
#define CR VALUE_CR
#define LF VALUE_LF
#define XX VALUE_INVALID

// A row is 16 bytes, 0x00 to 0xFF.
// clang-format off
static const signed char DecodeTable[256] = {
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, LF, XX, XX, CR, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, 62, XX, XX, XX, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, XX, XX, XX, PD, XX, XX,
    XX,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, XX, XX, XX, XX, XX,
    XX, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
    XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX, XX,
};
// clang-format on

#undef PD
#undef CR
#undef LF
#undef XX

void StartDecoding(DecodeState *state)
{
    state->line = 1;
    state->column = 0;
    state->groupLine = 0;
    state->groupColumn = 0;
    state->bits = 0;
    state->characters = 0;
    state->padded = 0;
    state->form = FORM_START;
    state->held = 0;
    state->heldBytes = 0;
}

// Text of a byte a character, as DecodeChunk decodes it once its form is
// known. It has DecodeChunk's parameters, and is not static (the compiler
// gives a static function a calling convention of its own), so that
// DecodeChunk's call of it is a jump: text of a byte a character pays for
// the other forms with one test a read.
BOOL DecodeCharacters(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                      DWORD *decodedCount)
{
    // Locals, not the fields: the compiler then keeps them in registers
    // rather than storing each change through the pointer.
    DWORD line = state->line, column = state->column;
    DWORD groupLine = state->groupLine, groupColumn = state->groupColumn;
    DWORD bits = state->bits, characters = state->characters, padded = state->padded;
    const BYTE *in = text;
    const BYTE *end = text + count;
    BYTE *out = decoded;
    BOOL valid = TRUE;

    while (in < end) {
        // Groups of four characters of the alphabet, the bulk of any line,
        // are decoded whole, with no position or state to keep but the
        // column, which is caught up once they end.
        if (characters == 0) {
            const BYTE *run = in;
            for (DWORD groups = (DWORD)(end - in) / 4; groups != 0; groups--) {
                // Converted to DWORD before the shifts: a negative value then
                // sets every bit above its own, the top one included.
                DWORD word = (DWORD)DecodeTable[in[0]] << 18 | (DWORD)DecodeTable[in[1]] << 12 |
                             (DWORD)DecodeTable[in[2]] << 6 | (DWORD)DecodeTable[in[3]];
                if (word & 0x80000000u)
                    break;
                out[0] = (BYTE)(word >> 16);
                out[1] = (BYTE)(word >> 8);
                out[2] = (BYTE)word;
                out += 3;
                CHECK_DECODED_BOUND(out, decoded);
                in += 4;
            }
            // Most runs end at a line's CR LF: step over it here rather
            // than a byte at a time below.
            if (end - in >= 2 && in[0] == 0x0D && in[1] == 0x0A) {
                in += 2;
                line++;
                column = 0;
                continue;
            }
            column += (DWORD)(in - run);
            if (in == end)
                break;
        }

        int value = DecodeTable[*in++];  // NOLINT(bugprone-signed-char-misuse): numbers, not characters
        column++;
        if (value == VALUE_LF) {
            line++;
            column = 0;
            continue;
        }
        if (value == VALUE_CR)
            continue;
        // The place to name if the text ends before this group does.
        if (characters == 0) {
            groupLine = line;
            groupColumn = column;
        }
        // Only the low 6 bits of each character are shifted in: what the
        // group's bytes take is always the last characters' bits, so the
        // older bits shifted up and out never need clearing.
        if (value >= 0 && !padded) {
            bits = bits << 6 | (DWORD)value;
            if (++characters == 4) {
                out[0] = (BYTE)(bits >> 16);
                out[1] = (BYTE)(bits >> 8);
                out[2] = (BYTE)bits;
                out += 3;
                CHECK_DECODED_BOUND(out, decoded);
                characters = 0;
            }
            continue;
        }
        // "=" ends a group of two or three characters; the unused low bits
        // of the last one are dropped, whatever they hold.
        if (value == VALUE_PADDING && characters >= 2) {
            if (characters == 2) {
                padded = 1;
                characters = 3;
                continue;
            }
            if (padded) {
                out[0] = (BYTE)(bits >> 4);
                out += 1;
                CHECK_DECODED_BOUND(out, decoded);
            } else {
                out[0] = (BYTE)(bits >> 10);
                out[1] = (BYTE)(bits >> 2);
                out += 2;
                CHECK_DECODED_BOUND(out, decoded);
            }
            padded = 0;
            characters = 0;
            continue;
        }
        // A byte of no group, "=" too early in a group, or a character
        // after "=" where only "=" may follow.
        valid = FALSE;
        break;
    }

    state->line = line;
    state->column = column;
    state->groupLine = groupLine;
    state->groupColumn = groupColumn;
    state->bits = bits;
    state->characters = characters;
    state->padded = padded;
    *decodedCount = (DWORD)(out - decoded);
    return valid;
}

// At the very start of the text: takes the bytes of a byte-order mark,
// held while they may still be one, and sets the form once the mark is
// whole or the text has none. FALSE when a mark begun is broken ("EF BB"
// and then anything but BF): its first byte, at line 1, column 1, is then
// invalid, as it is in text without a mark.
static BOOL TakeMark(DecodeState *state, const BYTE **text, const BYTE *end)
{
    while (*text < end) {
        DWORD bytes = state->heldBytes << 8 | **text;
        switch (bytes) {
        case 0xEF:
        case 0xEFBB:
        case 0xFF:
        case 0xFE:
            ++*text;
            state->held++;
            state->heldBytes = bytes;
            continue;
        case 0xEFBBBF:
            state->form = FORM_BYTES;
            break;
        case 0xFFFE:
            state->form = FORM_UTF16LE;
            break;
        case 0xFEFF:
            state->form = FORM_UTF16BE;
            break;
        default:
            if (state->held != 0) {
                state->column++;
                return FALSE;
            }
            // No mark: this byte is the text's first character.
            state->form = FORM_BYTES;
            return TRUE;
        }
        ++*text;
        state->held = 0;
        state->heldBytes = 0;
        return TRUE;
    }
    return TRUE;
}

// The most units of UTF-16 narrowed at a time, in a buffer on the stack.
#define UNIT_BLOCK 256

// UTF-16: each unit narrowed to the byte of its character, a block at a
// time, and those decoded as text of a byte a character, which counts
// lines and columns in units as it does in bytes. A unit whose other byte
// is not 0 stands for no character of the text, and is narrowed to NUL,
// which is none either: it is named at its own place. A byte left over
// begins a unit that the next read ends.
static BOOL DecodeUnits(DecodeState *state, const BYTE *text, const BYTE *end, BYTE *decoded,
                        DWORD *decodedCount)
{
    // Where a unit's character byte stands: first in UTF-16LE, second in BE.
    const DWORD at = state->form == FORM_UTF16BE ? 1 : 0;
    BYTE narrow[UNIT_BLOCK];
    DWORD n = 0;
    if (state->held != 0 && text < end) {
        BYTE unit[2] = {(BYTE)state->heldBytes, *text++};
        narrow[n++] = unit[1 - at] == 0 ? unit[at] : 0;
        state->held = 0;
    }
    for (;;) {
        DWORD units = (DWORD)(end - text) / 2;
        if (units > UNIT_BLOCK - n)
            units = UNIT_BLOCK - n;
        for (DWORD i = 0; i < units; i++, text += 2)
            narrow[n + i] = text[1 - at] == 0 ? text[at] : 0;
        n += units;
        if (n == 0)
            break;
        DWORD count;
        BOOL valid = DecodeCharacters(state, narrow, n, decoded + *decodedCount, &count);
        *decodedCount += count;
        if (!valid)
            return FALSE;
        n = 0;
    }
    if (text < end) {
        state->held = 1;
        state->heldBytes = *text;
    }
    return TRUE;
}

// Text whose form is not yet known, or is UTF-16. Never inlined: the frame
// of its buffer would then be set up for every read of any text.
__attribute__((noinline)) static BOOL DecodeMarked(DecodeState *state, const BYTE *text, DWORD count,
                                                   BYTE decoded[DECODED_BUFFER_BYTES], DWORD *decodedCount)
{
    const BYTE *end = text + count;
    *decodedCount = 0;
    if (state->form == FORM_START && !TakeMark(state, &text, end))
        return FALSE;
    if (state->form == FORM_BYTES)
        return DecodeCharacters(state, text, (DWORD)(end - text), decoded, decodedCount);
    // Still FORM_START: all of it was a mark begun.
    if (state->form == FORM_START)
        return TRUE;
    return DecodeUnits(state, text, end, decoded, decodedCount);
}

BOOL DecodeChunk(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                 DWORD *decodedCount)
{
    if (state->form == FORM_BYTES)
        return DecodeCharacters(state, text, count, decoded, decodedCount);
    return DecodeMarked(state, text, count, decoded, decodedCount);
}

BOOL EndDecoding(DecodeState *state)
{
    if (state->held == 0)
        return TRUE;
    // The bytes of a mark or a unit begun: a character, the one after the
    // last taken, that is none.
    state->column++;
    return FALSE;
}
