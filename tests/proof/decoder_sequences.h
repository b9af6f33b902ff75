// Texts of up to eight symbols over a representative alphabet (a character,
// "=", CR, LF and an invalid byte), at every split into reads, and what the
// decoder must make of each by tests/base64_decoder_model.h: the host's
// DecodeChunk and the image's UnfilterMain are held to it alike.
#ifndef B64FILTER_TESTS_PROOF_DECODER_SEQUENCES_H
#define B64FILTER_TESTS_PROOF_DECODER_SEQUENCES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/base64_decoder_model.h"
#include "tests/proof/decoder_states.h"
#include "tests/proof/rfc4648.h"

namespace proof {

const unsigned kSymbols = 5;

// Text number `index` (0 to 5^length - 1) of `length` symbols. The
// character's value changes with its place, so that the groups' bytes do.
inline std::string SequenceText(uint64_t index, unsigned length)
{
    std::string text;
    for (unsigned at = 0; at < length; at++, index /= kSymbols) {
        switch (index % kSymbols) {
        case 0:
            text += rfc4648::Character((11 + 29 * at) % 64);
            break;
        case 1:
            text += '=';
            break;
        case 2:
            text += '\r';
            break;
        case 3:
            text += '\n';
            break;
        default:
            text += (char)kInvalid;
            break;
        }
    }
    return text;
}

inline uint64_t SequenceCount(unsigned length)
{
    uint64_t n = 1;
    for (unsigned i = 0; i < length; i++)
        n *= kSymbols;
    return n;
}

// The starts of the texts: none, each mark (its symbols then units of
// UTF-16, the invalid one a unit whose other byte is not 0), and each mark
// begun and broken; and the longest text of each the host's sweep and the
// image's (in ./check) make.
struct SequenceStart {
    const char *mark;
    unsigned form;  // of the symbols after it
    unsigned hostLongest, imageLongest;
};

const SequenceStart kStarts[] = {
    {"", FORM_BYTES, 8, 6},           {"\xEF\xBB\xBF", FORM_BYTES, 6, 4}, {"\xFF\xFE", FORM_UTF16LE, 4, 3},
    {"\xFE\xFF", FORM_UTF16BE, 4, 3}, {"\xEF", FORM_BYTES, 3, 2},         {"\xEF\xBB", FORM_BYTES, 3, 2},
    {"\xFF", FORM_BYTES, 3, 2},       {"\xFE", FORM_BYTES, 3, 2},
};

// Text number `index` of `length` symbols after the start.
inline std::string MarkedText(const SequenceStart &start, uint64_t index, unsigned length)
{
    const std::string symbols = SequenceText(index, length);
    if (start.form == FORM_BYTES)
        return start.mark + symbols;
    std::string text = start.mark;
    for (char c : symbols)
        text += UnitBytes({(uint8_t)c, (uint8_t)(c == (char)kInvalid ? 0x2D : 0)}, start.form);
    return text;
}

// The splits of a text of `length` symbols into reads: one for each set of
// the places between two symbols.
inline uint32_t SplitCount(unsigned length)
{
    return length == 0 ? 0 : 1u << (length - 1);
}

// The reads of text for split `mask`: bit i set cuts it after byte i + 1.
inline std::vector<std::string> SplitReads(const std::string &text, uint32_t mask)
{
    std::vector<std::string> reads;
    size_t from = 0;
    for (size_t i = 0; i + 1 < text.size(); i++) {
        if (mask >> i & 1) {
            reads.push_back(text.substr(from, i + 1 - from));
            from = i + 1;
        }
    }
    reads.push_back(text.substr(from));
    return reads;
}

}  // namespace proof

#endif
