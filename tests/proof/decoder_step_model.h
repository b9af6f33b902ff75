// The decoder's rules as a machine that takes one byte at a time, with its
// state in the open, for the sweeps that need it after every read: written
// from the rules (README's table, tests/base64_decoder_model.h's comments)
// and RFC 4648's alphabet, not from DecodeChunk. It knows the byte-order
// marks at the start and the units of UTF-16 they choose. The sequence sweep
// holds it to tests/base64_decoder_model.h on every text it makes, marked
// and unmarked.
#ifndef B64FILTER_TESTS_PROOF_DECODER_STEP_MODEL_H
#define B64FILTER_TESTS_PROOF_DECODER_STEP_MODEL_H

#include <stdint.h>

#include <string>

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

// The text's form, as the mark at its start chooses it.
enum Form : unsigned { kAtStart, kBytes, kUtf16Le, kUtf16Be };

struct StepModel {
    unsigned form = kAtStart;
    unsigned held = 0;                        // bytes of a mark or a unit begun
    uint32_t heldBytes = 0;                   // those bytes, the first highest
    uint32_t line = 1, column = 0;            // of the last character taken
    uint32_t groupLine = 0, groupColumn = 0;  // the open group's first character
    uint32_t bits = 0;                        // the open group's characters' values, 6 bits each
    unsigned characters = 0;                  // in the open group, "=" included: 0 to 3
    bool padded = false;                      // its third is "="

    // Takes byte b of the text: how many bytes it completes into out (0 to
    // 3), or -1 when it makes the text invalid here (line and column then
    // name the character).
    int Take(uint8_t b, uint8_t out[3])
    {
        static const ByteValues values;
        if (form == kBytes)
            return Step(values.of[b], out);
        if (form == kAtStart) {
            // The marks: UTF-8's, UTF-16LE's, UTF-16BE's.
            static const std::string marks[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
            std::string begun;
            for (unsigned i = held; i-- > 0;)
                begun += (char)(heldBytes >> 8 * i);
            begun += (char)b;
            for (unsigned f = 0; f < 3; f++) {
                if (begun == marks[f]) {
                    form = f == 0 ? (unsigned)kBytes : f == 1 ? (unsigned)kUtf16Le : (unsigned)kUtf16Be;
                    held = 0;
                    heldBytes = 0;
                    return 0;
                }
                if (marks[f].compare(0, begun.size(), begun) == 0) {
                    held++;
                    heldBytes = heldBytes << 8 | b;
                    return 0;
                }
            }
            if (held != 0) {
                // A mark begun and broken: its first byte is the invalid character.
                column++;
                return -1;
            }
            form = kBytes;
            return Step(values.of[b], out);
        }
        if (held == 0) {
            held = 1;
            heldBytes = b;
            return 0;
        }
        held = 0;
        const uint8_t first = (uint8_t)heldBytes;
        const uint8_t character = form == kUtf16Le ? first : b, other = form == kUtf16Le ? b : first;
        return Step(other == 0 ? values.of[character] : (int)kOther, out);
    }

    // The end of the text: false when a mark or half a unit is left, an
    // invalid character after the last (line and column then name it).
    bool End()
    {
        if (held == 0)
            return true;
        column++;
        return false;
    }

    // Takes a character of value v: how many bytes it completes into out (0
    // to 3), or -1 when it is invalid here (line and column then name it).
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
            bits = bits << 6 | (uint32_t)v;
            if (++characters < 4)
                return 0;
            out[0] = (uint8_t)(bits >> 16);
            out[1] = (uint8_t)(bits >> 8);
            out[2] = (uint8_t)bits;
            characters = 0;
            bits = 0;
            return 3;
        }
        // "=" after three characters, or after "xx=".
        int bytes = padded ? 1 : 2;
        const uint32_t word = padded ? bits << 12 : bits << 6;
        out[0] = (uint8_t)(word >> 16);
        out[1] = (uint8_t)(word >> 8);
        characters = 0;
        padded = false;
        bits = 0;
        return bytes;
    }
};

}  // namespace proof

#endif
