// The lines the encoder's sweeps feed it, and the line RFC 4648 makes of
// each, shared by the host's sweep and the image's.
#ifndef B64FILTER_TESTS_PROOF_ENCODER_LINE_H
#define B64FILTER_TESTS_PROOF_ENCODER_LINE_H

#include <stdint.h>
#include <string.h>

#include "tests/proof/rfc4648.h"

namespace proof {

// Group j of a sweep's line L holds (L + j * kGroupStep) mod 2^24: for each
// place j, L -> value is one-to-one, so 2^24 lines put every value at every
// place, and neighbouring groups of a line differ in every byte.
const uint32_t kGroupStep = 0x9E3779u;
const uint32_t kGroupValues = 1u << 24;

inline uint32_t GroupValue(uint32_t line, uint32_t place)
{
    return (line + place * kGroupStep) & (kGroupValues - 1);
}

// A group's three bytes at `to`, big end first.
inline void PutGroup(uint8_t *to, uint32_t group)
{
    to[0] = (uint8_t)(group >> 16);
    to[1] = (uint8_t)(group >> 8);
    to[2] = (uint8_t)group;
}

// RFC 4648's characters, as tables made once from the RFC's ranges: one
// character of 6 bits, and two of 12.
struct Alphabet {
    char c[64];
    char pair[4096][2];
    Alphabet()
    {
        for (unsigned v = 0; v < 64; v++)
            c[v] = rfc4648::Character(v);
        for (unsigned v = 0; v < 4096; v++) {
            pair[v][0] = c[v >> 6];
            pair[v][1] = c[v & 63];
        }
    }
};

// The line RFC 4648 makes of count bytes (1 to 57), with CR LF; returns its
// length.
inline unsigned ExpectedLine(const Alphabet &a, const uint8_t *data, unsigned count, char *line)
{
    unsigned o = 0, i = 0;
    for (; i + 3 <= count; i += 3, o += 4) {
        uint32_t group = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2];
        memcpy(line + o, a.pair[group >> 12], 2);
        memcpy(line + o + 2, a.pair[group & 4095], 2);
    }
    if (count - i == 1) {
        line[o] = a.c[data[i] >> 2];
        line[o + 1] = a.c[(data[i] & 3) << 4];
        line[o + 2] = '=';
        line[o + 3] = '=';
        o += 4;
    } else if (count - i == 2) {
        line[o] = a.c[data[i] >> 2];
        line[o + 1] = a.c[(data[i] & 3) << 4 | data[i + 1] >> 4];
        line[o + 2] = a.c[(data[i + 1] & 15) << 2];
        line[o + 3] = '=';
        o += 4;
    }
    line[o] = '\r';
    line[o + 1] = '\n';
    return o + 2;
}

}  // namespace proof

#endif
