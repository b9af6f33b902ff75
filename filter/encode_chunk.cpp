#include "filter/encode_chunk.h"

// On a 64-byte boundary, the alphabet is one line of any cache of 64-byte
// lines (or two of 32): the four look-ups of a group reach the same line,
// whatever the bytes they encode (tests/image/test_image.py checks where
// the image has it).
alignas(64) static const char Base64Alphabet[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/',
};

// The four bytes from p on as one big-endian word: one 32-bit load and, on a
// little-endian machine, a byte swap. A fixed-size copy is neither an
// unaligned access nor an aliasing cast, and it is always inlined. (Shifting
// the bytes together instead lets clang drop the unused fourth byte and load
// the other three one by one.)
static inline DWORD LoadBigEndianWord(const BYTE *p)
{
    DWORD word;
    __builtin_memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap32(word);
#endif
    return word;
}

DWORD EncodeChunk(BYTE input[INPUT_BUFFER_BYTES], DWORD count, char line[LINE_BUFFER_BYTES])
{
    // The last, incomplete group takes its low bits from the byte after the
    // data, which must read as zero. 57 is a whole number of groups.
    if (count < CHUNK_BYTES)
        input[count] = 0;

    // Pointers, not indices: the loop then keeps no index to widen per group.
    const BYTE *in = input;
    const BYTE *end = input + count;
    char *out = line;
    do {
        // The fourth byte lands in the low 8 bits, which no character uses.
        DWORD word = LoadBigEndianWord(in);
        out[0] = Base64Alphabet[word >> 26];
        out[1] = Base64Alphabet[(word >> 20) & 63];
        out[2] = Base64Alphabet[(word >> 14) & 63];
        out[3] = Base64Alphabet[(word >> 8) & 63];
        in += 3;
        out += 4;
    } while (in < end);

    // Characters made from bytes past the data become padding.
    for (DWORD pad = (DWORD)(in - end); pad > 0; pad--)
        out[-(int)pad] = '=';

    out[0] = '\r';
    out[1] = '\n';
    return (DWORD)(out - line) + 2;
}
