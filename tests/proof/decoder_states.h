// The states DecodeChunk carries from one read to the next, listed from
// unfilter/decode_chunk.h (DecodeState's comment lists them): the form, the
// bytes of a mark or a unit begun, and the group state, characters (0 to 3)
// and padded (set only with three characters, "xx="), with line, column, the
// open group's place and its held bits beside them. Each is reached by a
// prefix read from the start:
// - at the start, nothing read, or a mark begun (EF, EF BB, FF, FE);
// - a byte a character (no mark, or EF BB BF), with each group state: no
//   group open (afresh after the mark, and after groups taken whole and one
//   by one across line ends, which leaves bits above the held ones and a
//   later line and column), one, two or three characters held, two and "=";
// - UTF-16LE (FF FE) and UTF-16BE (FE FF), with each group state, and no
//   byte of a unit held or the first byte of one.
// DecoderStates.* and the sweeps test that the list is complete: every read
// of every sweep ends in a listed state, and each is reached.
#ifndef B64FILTER_TESTS_PROOF_DECODER_STATES_H
#define B64FILTER_TESTS_PROOF_DECODER_STATES_H

#include <stdint.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/base64_decoder_model.h"
#include "tests/proof/rfc4648.h"
#include "unfilter/decode_chunk.h"

namespace proof {

struct ListedState {
    std::string name;
    std::string prefix;  // one read from the start that reaches it
    unsigned form;       // FORM_START, FORM_BYTES, FORM_UTF16LE or FORM_UTF16BE
    unsigned held;       // bytes of a mark or a unit begun
    unsigned characters;
    bool padded;
};

// What tells the listed states apart: form, held, characters, padded.
typedef std::tuple<unsigned, unsigned, unsigned, bool> StateKey;
typedef std::set<StateKey> SeenStates;

inline StateKey KeyOf(const ListedState &s)
{
    return StateKey(s.form, s.held, s.characters, s.padded);
}

inline StateKey KeyOf(const DecodeState &s)
{
    return StateKey(s.form, s.held, s.characters, s.padded != 0);
}

inline std::string Describe(const StateKey &k)
{
    return "form " + std::to_string(std::get<0>(k)) + ", held " + std::to_string(std::get<1>(k)) +
           ", characters " + std::to_string(std::get<2>(k)) + ", padded " + std::to_string(std::get<3>(k));
}

// The group states, each with the characters that reach it.
struct GroupState {
    const char *name;
    const char *characters;
    unsigned count;
    bool padded;
};

inline const std::vector<GroupState> &GroupStates()
{
    static const std::vector<GroupState> groups = {
        {"no group open, afresh", "", 0, false},
        {"no group open, after groups taken whole and one by one", "Zm9v\r\nYm\nFy", 0, false},
        {"one character held", "\nZ", 1, false},
        {"two characters held", "Zm", 2, false},
        {"three characters held", "Zm9", 3, false},
        {"two characters and \"=\" held", "Zm=", 3, true},
    };
    return groups;
}

inline const std::vector<ListedState> &ListedStates()
{
    static const std::vector<ListedState> states = [] {
        std::vector<ListedState> list = {
            {"the start, nothing read", "", FORM_START, 0, 0, false},
            {"the start, EF begun", "\xEF", FORM_START, 1, 0, false},
            {"the start, EF BB begun", "\xEF\xBB", FORM_START, 2, 0, false},
            {"the start, FF begun", "\xFF", FORM_START, 1, 0, false},
            {"the start, FE begun", "\xFE", FORM_START, 1, 0, false},
        };
        for (const GroupState &g : GroupStates()) {
            // Afresh: after the mark; else the characters without one.
            const std::string text = *g.characters ? std::string(g.characters) : model::kUtf8Mark;
            list.push_back({std::string("bytes, ") + g.name, text, FORM_BYTES, 0, g.count, g.padded});
        }
        for (unsigned form : {FORM_UTF16LE, FORM_UTF16BE}) {
            const bool be = form == FORM_UTF16BE;
            const std::string mark = be ? model::kBeMark : model::kLeMark;
            for (const GroupState &g : GroupStates()) {
                const std::string units = mark + model::Units(g.characters, be);
                const std::string name = std::string(be ? "UTF-16BE, " : "UTF-16LE, ") + g.name;
                list.push_back({name, units, form, 0, g.count, g.padded});
                // The first byte of a unit: "Q"'s in LE, its 0 in BE.
                list.push_back({name + ", a unit begun", units + (be ? std::string(1, '\0') : "Q"), form, 1,
                                g.count, g.padded});
            }
        }
        return list;
    }();
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

// At the very start the bytes of the marks are classes of their own (EF,
// BB, BF, FE, FF), and so is 0, the other byte of a unit: an alphabet of
// classes with them added.
inline std::vector<uint8_t> StartAlphabet(std::vector<uint8_t> classes)
{
    for (uint8_t b : {0xEF, 0xBB, 0xBF, 0xFE, 0xFF, 0x00}) {
        bool there = false;
        for (uint8_t c : classes)
            there = there || c == b;
        if (!there)
            classes.push_back(b);
    }
    return classes;
}

// A unit of UTF-16: the byte of its character and the other byte, which is
// 0 in a unit of a character, and not 0 in an invalid one.
struct Unit {
    uint8_t character, other;
};

inline std::string UnitBytes(const Unit &u, unsigned form)
{
    return form == FORM_UTF16BE ? std::string{(char)u.other, (char)u.character}
                                : std::string{(char)u.character, (char)u.other};
}

// The classes of units: each class of bytes as a character, and one invalid
// unit, which by the unit lemma stands for the 65,280 whose other byte is
// not 0.
inline std::vector<Unit> UnitClasses()
{
    std::vector<Unit> units;
    for (uint8_t b : ClassAlphabet())
        units.push_back({b, 0});
    units.push_back({'A', 0x01});
    return units;
}

// Fewer, for ./check: characters of the values 0, 16, 48, 63, 62 and 61,
// "=", CR, LF, the invalid class's stand-in and NUL as characters, and
// invalid units, among them a mark's bytes and CR and LF in the other byte.
inline std::vector<Unit> RepresentativeUnits()
{
    return {{'A', 0},     {'Q', 0},     {'w', 0},  {'/', 0},      {'+', 0}, {'9', 0},
            {'=', 0},     {'\r', 0},    {'\n', 0}, {kInvalid, 0}, {0, 0},   {'A', 0x01},
            {'\n', 0x0D}, {0xFE, 0xFF}, {0, 0x41}, {'=', 0x0A}};
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
