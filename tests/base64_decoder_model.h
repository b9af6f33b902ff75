// A model of what the decoder must make of a text, written from its rules
// alone, in the plainest way: the whole text at once, its byte-order mark
// read first and its characters listed, then each group collected as a
// string and decoded when it has four characters. The unit tests and the
// differential fuzzer hold DecodeChunk and UnfilterMain to it.
#ifndef B64FILTER_TESTS_BASE64_DECODER_MODEL_H
#define B64FILTER_TESTS_BASE64_DECODER_MODEL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace model {

enum class Verdict { Valid, Invalid, EndsInsideGroup };

// One group's bytes, and the offset in the text of its last character's
// last byte.
struct Group {
    size_t end;
    std::string bytes;
};

struct Decoded {
    std::vector<Group> groups;  // every complete group, in order
    Verdict verdict;
    uint32_t line, column;  // Invalid: the byte; EndsInsideGroup: the group's first character
    size_t stop;            // Invalid: the offset of the byte that makes it so (the
                            // text's size when that is its end); else the text's size
    std::string Bytes() const
    {
        std::string all;
        for (const Group &g : groups)
            all += g.bytes;
        return all;
    }
};

inline int AlphabetValue(char c)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t at = alphabet.find(c);
    return at == std::string::npos ? -1 : (int)at;
}

// "xxxx" gives 3 bytes, "xxx=" 2, "xx==" 1; the bits "=" stands for, and
// the low bits a padded group's last character has beyond its bytes, are
// not used.
inline std::string DecodeGroup(const std::string &group)
{
    uint32_t n = 0;
    for (char c : group)
        n = n * 64 + (c == '=' ? 0 : (uint32_t)AlphabetValue(c));
    std::string bytes = {(char)(n >> 16), (char)(n >> 8), (char)n};
    size_t padding = group.find('=') == std::string::npos ? 0 : 4 - group.find('=');
    return bytes.substr(0, 3 - padding);
}

// A character of the text: its byte (NUL for a unit of UTF-16 whose other
// byte is not 0, no character of the alphabet either) and the offset of its
// last byte; half a unit at the end is a NUL whose last byte is the end.
struct Character {
    char c;
    size_t last;
};

// The byte-order marks: UTF-8's, UTF-16LE's, UTF-16BE's.
const std::string kUtf8Mark = "\xEF\xBB\xBF", kLeMark = "\xFF\xFE", kBeMark = "\xFE\xFF";
const std::string kMarks[] = {kUtf8Mark, kLeMark, kBeMark};

// Characters as units of UTF-16 (without a mark), each other byte 0.
inline std::string Units(const std::string &characters, bool bigEndian)
{
    std::string units;
    for (char c : characters)
        units += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    return units;
}

// The text's characters, after a byte-order mark at its start. A mark begun
// and broken, or never finished, is an invalid character at the start that
// ends the list: a NUL whose last byte is the one that breaks it.
inline std::vector<Character> Characters(const std::string &text)
{
    std::vector<Character> characters;
    size_t start = 0, broken = 0;
    bool utf16 = false, bigEndian = false;
    for (const std::string &mark : kMarks) {
        size_t same = 0;
        while (same < mark.size() && same < text.size() && text[same] == mark[same])
            same++;
        if (same == mark.size()) {
            start = same;
            utf16 = mark.size() == 2;
            bigEndian = mark[0] == '\xFE';
        } else if (same > broken) {
            broken = same;
        }
    }
    if (start == 0 && broken != 0)
        return {{'\0', broken}};
    if (!utf16) {
        for (size_t i = start; i < text.size(); i++)
            characters.push_back({text[i], i});
        return characters;
    }
    for (size_t i = start; i < text.size(); i += 2) {
        if (i + 1 == text.size()) {
            characters.push_back({'\0', text.size()});
            break;
        }
        char c = text[bigEndian ? i + 1 : i], other = text[bigEndian ? i : i + 1];
        characters.push_back({other == 0 ? c : '\0', i + 1});
    }
    return characters;
}

inline Decoded Decode(const std::string &text)
{
    Decoded d{{}, Verdict::Valid, 0, 0, text.size()};
    uint32_t line = 1, column = 0, groupLine = 0, groupColumn = 0;
    std::string group;
    for (const Character &character : Characters(text)) {
        char c = character.c;
        column++;
        if (c == '\n') {
            line++;
            column = 0;
            continue;
        }
        if (c == '\r')
            continue;
        bool ok = (AlphabetValue(c) >= 0 && !(group.size() == 3 && group[2] == '=')) ||
                  (c == '=' && group.size() >= 2);
        if (!ok) {
            d.verdict = Verdict::Invalid;
            d.line = line;
            d.column = column;
            d.stop = character.last;
            return d;
        }
        if (group.empty()) {
            groupLine = line;
            groupColumn = column;
        }
        group += c;
        if (group.size() == 4) {
            d.groups.push_back({character.last, DecodeGroup(group)});
            group.clear();
        }
    }
    if (!group.empty()) {
        d.verdict = Verdict::EndsInsideGroup;
        d.line = groupLine;
        d.column = groupColumn;
    }
    return d;
}

// The bytes of the groups whose last character lies in [from, to).
inline std::string BytesCompletedIn(const Decoded &d, size_t from, size_t to)
{
    std::string bytes;
    for (const Group &g : d.groups)
        if (g.end >= from && g.end < to)
            bytes += g.bytes;
    return bytes;
}

}  // namespace model

#endif
