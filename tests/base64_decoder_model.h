// A model of what the decoder must make of a text, written from its rules
// alone, in the plainest way: the whole text at once, each group collected
// as a string and decoded when it has four characters. The unit tests and the
// differential fuzzer hold DecodeChunk and UnfilterMain to it.
#ifndef B64FILTER_TESTS_BASE64_DECODER_MODEL_H
#define B64FILTER_TESTS_BASE64_DECODER_MODEL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace model {

enum class Verdict { Valid, Invalid, EndsInsideGroup };

// One group's bytes, and the offset in the text of its last character.
struct Group {
    size_t end;
    std::string bytes;
};

struct Decoded {
    std::vector<Group> groups;  // every complete group, in order
    Verdict verdict;
    uint32_t line, column;  // Invalid: the byte; EndsInsideGroup: the group's first character
    size_t stop;            // Invalid: the offset of that byte; else the text's size
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

inline Decoded Decode(const std::string &text)
{
    Decoded d{{}, Verdict::Valid, 0, 0, text.size()};
    uint32_t line = 1, column = 0, groupLine = 0, groupColumn = 0;
    std::string group;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
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
            d.stop = i;
            return d;
        }
        if (group.empty()) {
            groupLine = line;
            groupColumn = column;
        }
        group += c;
        if (group.size() == 4) {
            d.groups.push_back({i, DecodeGroup(group)});
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
