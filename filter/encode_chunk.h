// One read in, one Base64 line out.
#ifndef B64FILTER_ENCODE_CHUNK_H
#define B64FILTER_ENCODE_CHUNK_H

#include "platform/platform.h"

// Bytes asked of one read: 19 groups of 3, which encode to 76 characters.
#define CHUNK_BYTES 57
// The input buffer reaches past the 57 bytes of a read, since the word load
// of the last group takes the byte after it.
#define INPUT_BUFFER_BYTES 60
// 76 characters and CR LF, rounded up.
#define LINE_BUFFER_BYTES 80

// Encodes the first count bytes of input (1 to CHUNK_BYTES) into line as
// Base64 with "=" padding followed by CR LF, and returns the length of the
// line, CR LF included. Writes input[count] (to 0) when count < CHUNK_BYTES,
// and no other byte of input.
DWORD EncodeChunk(BYTE input[INPUT_BUFFER_BYTES], DWORD count, char line[LINE_BUFFER_BYTES]);

#endif
