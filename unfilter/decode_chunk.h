// One read of Base64 text in, the bytes of the groups it completes out.
#ifndef B64FILTER_DECODE_CHUNK_H
#define B64FILTER_DECODE_CHUNK_H

#include "platform/platform.h"

// Characters asked of one read.
#define TEXT_BUFFER_BYTES 4096
// The most one read can complete: its 4096 characters and the 3 held from
// the reads before it make 1024 groups of 3 bytes.
#define DECODED_BUFFER_BYTES 3072

// How the text's bytes make its characters, chosen by a byte-order mark at
// its very start (DecodeState.form).
#define FORM_START 0    // nothing taken yet: a mark may still come
#define FORM_BYTES 1    // a byte a character: no mark, or EF BB BF
#define FORM_UTF16LE 2  // FF FE: units of two bytes, the character's first
#define FORM_UTF16BE 3  // FE FF: units of two bytes, the character's second

// What carries over from one read to the next: the form of the text, the
// bytes of a mark or a unit begun, the unfinished group and where the text
// has got to. Lines and columns count from 1, in characters (a unit of
// UTF-16 is one), and wrap at 2^32, as every count of the programs does.
//
// Between reads the state is one of these:
// - FORM_START, held 0, heldBytes 0: nothing read yet (StartDecoding's).
// - FORM_START, held 1 or 2: a mark begun, heldBytes 0xEF, 0xEFBB, 0xFF or
//   0xFE; line 1, column 0, no group.
// - FORM_BYTES, held 0: any group state below.
// - FORM_UTF16LE or FORM_UTF16BE, held 0 or 1 (heldBytes the first byte of
//   the unit begun), with any group state below.
// Past FORM_START, heldBytes means nothing while held is 0.
// A group state is characters 0 (bits and padded mean nothing), 1 to 3 with
// padded 0 (bits: their 6 bits each, the last lowest), or 3 with padded 1
// (two characters and "=").
struct DecodeState {
    DWORD line;       // the line of the last character taken
    DWORD column;     // its column, CR included; 0 before a line's first character
    DWORD groupLine;  // where the unfinished group's first character stands
    DWORD groupColumn;
    DWORD bits;        // the unfinished group's characters, 6 bits each
    DWORD characters;  // how many it has, "=" included: 0 to 3
    DWORD padded;      // its third character was "="
    DWORD form;        // FORM_START, FORM_BYTES, FORM_UTF16LE or FORM_UTF16BE
    DWORD held;        // bytes of a mark or a unit begun: 0 to 2
    DWORD heldBytes;   // those bytes, the first in the highest place
};

// The state before the first byte of the text.
void StartDecoding(DecodeState *state);

// Decodes count bytes of text into decoded, and gives in *decodedCount the
// bytes of every group it completes. At the very start of the text a
// byte-order mark chooses its form and is not counted: EF BB BF, a byte a
// character as without one; FF FE and FE FF, UTF-16LE and BE, where a unit
// whose other byte is 0 is the character of its one byte and any other
// unit is invalid. Of the characters, CR and LF are skipped wherever they
// stand, and the rest make groups of four.
// TRUE when all of it is valid; FALSE at the first character that is not, or
// at a mark begun and broken, whose position is then state->line and
// state->column, and *decodedCount covers the groups before it. The state
// must not be used again after FALSE.
BOOL DecodeChunk(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                 DWORD *decodedCount);

// The end of the text. FALSE when it ends in a mark or half a unit begun,
// an invalid character whose position is then state->line and
// state->column; TRUE otherwise, when state->characters tells whether it
// ends inside a group.
BOOL EndDecoding(DecodeState *state);

#endif
