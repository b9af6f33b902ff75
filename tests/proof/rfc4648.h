// Base64 as RFC 4648 defines it (section 4, table 1), written from the RFC
// and not from the programs' tables: the alphabet from its four ranges.
#ifndef B64FILTER_TESTS_PROOF_RFC4648_H
#define B64FILTER_TESTS_PROOF_RFC4648_H

#include <stdint.h>

namespace rfc4648 {

// The character for the 6-bit value v.
inline char Character(unsigned v)
{
    if (v < 26)
        return (char)('A' + v);
    if (v < 52)
        return (char)('a' + (v - 26));
    if (v < 62)
        return (char)('0' + (v - 52));
    return v == 62 ? '+' : '/';
}

// The value of character c, or -1 for a byte that is no character.
inline int Value(uint8_t c)
{
    for (unsigned v = 0; v < 64; v++)
        if ((uint8_t)Character(v) == c)
            return (int)v;
    return -1;
}

// The four characters of a 24-bit group, in out[0..3].
inline void EncodeGroup(uint32_t group, char out[4])
{
    out[0] = Character(group >> 18 & 63);
    out[1] = Character(group >> 12 & 63);
    out[2] = Character(group >> 6 & 63);
    out[3] = Character(group & 63);
}

}  // namespace rfc4648

#endif
