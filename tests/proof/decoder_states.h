// The states DecodeChunk carries from one read to the next, listed from its
// code: DecodeState's characters (0 to 3) and padded (set only with three
// characters, "xx="), with line, column, the open group's place and its
// held bits beside them. Each is reached by a prefix read from the start;
// the first state twice, afresh and after groups taken one by one across
// line ends (bits left over above the held ones, a later line and column).
// DecoderStates.* tests that the list is complete: every read from every
// listed state ends in a listed state, and each is reached.
#ifndef B64FILTER_TESTS_PROOF_DECODER_STATES_H
#define B64FILTER_TESTS_PROOF_DECODER_STATES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/proof/rfc4648.h"

namespace proof {

struct ListedState {
    const char *name;
    std::string prefix;  // one read from the start that reaches it
    unsigned characters;
    bool padded;
};

inline const std::vector<ListedState> &ListedStates()
{
    static const std::vector<ListedState> states = {
        {"no group open, at the start", "", 0, false},
        {"no group open, after groups taken whole and one by one", "Zm9v\r\nYm\nFy", 0, false},
        {"one character held", "\nZ", 1, false},
        {"two characters held", "Zm", 2, false},
        {"three characters held", "Zm9", 3, false},
        {"two characters and \"=\" held", "Zm=", 3, true},
    };
    return states;
}

// The classes of bytes that the decoder's table gives: the 64 characters,
// "=", CR, LF, and the rest, invalid, which kInvalid stands for.
const uint8_t kInvalid = '-';

inline std::vector<uint8_t> ClassAlphabet()
{
    std::vector<uint8_t> a;
    for (unsigned v = 0; v < 64; v++)
        a.push_back((uint8_t)rfc4648::Character(v));
    for (uint8_t b : {(uint8_t)'=', (uint8_t)'\r', (uint8_t)'\n', kInvalid})
        a.push_back(b);
    return a;
}

inline std::vector<uint8_t> EveryByte()
{
    std::vector<uint8_t> a;
    for (unsigned b = 0; b < 256; b++)
        a.push_back((uint8_t)b);
    return a;
}

}  // namespace proof

#endif
