#include "filter/encode_chunk.h"

static const char Base64Alphabet[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// The four bytes from p on as one big-endian word. Assembled from bytes, so
// it is neither an unaligned access nor an aliasing cast; the compiler makes
// one load and a byte swap of it.
static inline DWORD LoadBigEndianWord(const BYTE *p)
{
    return (DWORD)p[0] << 24 | (DWORD)p[1] << 16 | (DWORD)p[2] << 8 | (DWORD)p[3];
}

DWORD EncodeChunk(BYTE input[INPUT_BUFFER_BYTES], DWORD count, char line[LINE_BUFFER_BYTES])
{
    // The last, incomplete group takes its low bits from the byte after the
    // data, which must read as zero. 57 is a whole number of groups.
    if (count < CHUNK_BYTES)
        input[count] = 0;

    DWORD in = 0;
    DWORD out = 0;
    do {
        // The fourth byte lands in the low 8 bits, which no character uses.
        DWORD word = LoadBigEndianWord(input + in);
        line[out + 0] = Base64Alphabet[word >> 26];
        line[out + 1] = Base64Alphabet[(word >> 20) & 63];
        line[out + 2] = Base64Alphabet[(word >> 14) & 63];
        line[out + 3] = Base64Alphabet[(word >> 8) & 63];
        in += 3;
        out += 4;
    } while (in < count);

    // Characters made from bytes past the data become padding.
    for (DWORD pad = in - count; pad > 0; pad--)
        line[out - pad] = '=';

    line[out] = '\r';
    line[out + 1] = '\n';
    return out + 2;
}
