// One read of Base64 text in, the bytes of the groups it completes out.
#ifndef B64FILTER_DECODE_CHUNK_H
#define B64FILTER_DECODE_CHUNK_H

#include "platform/platform.h"

// Characters asked of one read.
#define TEXT_BUFFER_BYTES 4096
// The most one read can complete: its 4096 characters and the 3 held from
// the reads before it make 1024 groups of 3 bytes.
#define DECODED_BUFFER_BYTES 3072

// What carries over from one read to the next: the unfinished group and
// where the text has got to. Lines and columns count from 1 and wrap at
// 2^32, as every count of the programs does.
struct DecodeState {
    DWORD line;       // the line of the last byte taken
    DWORD column;     // its column, CR included; 0 before a line's first byte
    DWORD groupLine;  // where the unfinished group's first character stands
    DWORD groupColumn;
    DWORD bits;        // the unfinished group's characters, 6 bits each
    DWORD characters;  // how many it has, "=" included: 0 to 3
    DWORD padded;      // its third character was "="
};

// The state before the first byte of the text.
void StartDecoding(DecodeState *state);

// Decodes count bytes of text (CR and LF skipped wherever they stand) into
// decoded, and gives in *decodedCount the bytes of every group it completes.
// TRUE when all of it is valid; FALSE at the first byte that is not, whose
// position is then state->line and state->column, and *decodedCount covers
// the groups before it. The state must not be used again after FALSE.
BOOL DecodeChunk(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                 DWORD *decodedCount);

#endif
