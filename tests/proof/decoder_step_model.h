// The decoder's rules as a machine that takes one byte at a time, with its
// state in the open, for the sweeps that need it after every read: written
// from the rules (README's table, tests/base64_decoder_model.h's comments)
// and RFC 4648's alphabet, not from DecodeChunk. The sequence sweep holds it
// to tests/base64_decoder_model.h on every text it makes.
#ifndef B64FILTER_TESTS_PROOF_DECODER_STEP_MODEL_H
#define B64FILTER_TESTS_PROOF_DECODER_STEP_MODEL_H

#include <stdint.h>

#include "tests/proof/rfc4648.h"

namespace proof {

// Each byte's value: 0 to 63 for a character, else one of these.
enum : int8_t { kEquals = -1, kCr = -2, kLf = -3, kOther = -4 };

struct ByteValues {
    int8_t of[256];
    ByteValues()
    {
        for (unsigned b = 0; b < 256; b++) {
            int v = rfc4648::Value((uint8_t)b);
            of[b] = (int8_t)(v >= 0 ? v : b == '=' ? kEquals : b == '\r' ? kCr : b == '\n' ? kLf : kOther);
        }
    }
};

struct StepModel {
    uint32_t line = 1, column = 0;            // of the last byte taken
    uint32_t groupLine = 0, groupColumn = 0;  // the open group's first character
    uint32_t held = 0;                        // the open group's characters' values, 6 bits each
    unsigned characters = 0;                  // in the open group, "=" included: 0 to 3
    bool padded = false;                      // its third is "="

    // Takes byte b with value v: how many bytes it completes into out (0 to
    // 3), or -1 when b is invalid here (line and column then name it).
    int Step(int v, uint8_t out[3])
    {
        column++;
        if (v == kLf) {
            line++;
            column = 0;
            return 0;
        }
        if (v == kCr)
            return 0;
        bool ok = (v >= 0 && !padded) || (v == kEquals && characters >= 2);
        if (!ok)
            return -1;
        if (characters == 0) {
            groupLine = line;
            groupColumn = column;
        }
        if (v == kEquals && characters == 2) {
            padded = true;
            characters = 3;
            return 0;
        }
        if (v >= 0) {
            held = held << 6 | (uint32_t)v;
            if (++characters < 4)
                return 0;
            out[0] = (uint8_t)(held >> 16);
            out[1] = (uint8_t)(held >> 8);
            out[2] = (uint8_t)held;
            characters = 0;
            held = 0;
            return 3;
        }
        // "=" after three characters, or after "xx=".
        int bytes = padded ? 1 : 2;
        uint32_t bits = padded ? held << 12 : held << 6;
        out[0] = (uint8_t)(bits >> 16);
        out[1] = (uint8_t)(bits >> 8);
        characters = 0;
        padded = false;
        held = 0;
        return bytes;
    }
};

}  // namespace proof

#endif
