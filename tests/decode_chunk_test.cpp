// DecodeChunk against the text's rules, read by read: a table of texts with
// the bytes, verdict and position each must give, in one piece and cut
// everywhere; the filter's own line widths and line ends against the data
// they encode; and the edges of its buffers and counts. The model
// (tests/base64_decoder_model.h) and OpenSSL's decoder are checked too.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/base64_decoder_model.h"
#include "unfilter/decode_chunk.h"

namespace {

using model::Verdict;

const BYTE kStale = 0xA5;

struct Decoding {
    Verdict verdict = Verdict::Valid;
    std::string bytes;
    DWORD line = 0, column = 0;  // as the model gives them
    std::vector<std::string> perPiece;
    DecodeState state;
};

// Decodes text in pieces of the given sizes (the rest in one last piece), as
// reads would give it, into a buffer of stale bytes that must stay stale
// past what each call reports.
Decoding DecodeInPieces(const std::string &text, const std::vector<size_t> &sizes)
{
    Decoding d;
    StartDecoding(&d.state);
    size_t at = 0;
    for (size_t piece = 0; at < text.size() || piece == 0; piece++) {
        size_t n = piece < sizes.size() ? std::min(sizes[piece], text.size() - at) : text.size() - at;
        std::vector<BYTE> decoded(DECODED_BUFFER_BYTES, kStale);
        DWORD count = 0xFFFFu;
        BOOL valid = DecodeChunk(&d.state, (const BYTE *)text.data() + at, (DWORD)n, decoded.data(), &count);
        EXPECT_LE(count, (DWORD)DECODED_BUFFER_BYTES);
        for (size_t i = count; i < decoded.size(); i++)
            EXPECT_EQ(decoded[i], kStale) << "byte " << i << " written past the count " << count;
        d.perPiece.push_back(std::string((const char *)decoded.data(), count));
        d.bytes += d.perPiece.back();
        at += n;
        if (!valid) {
            d.verdict = Verdict::Invalid;
            d.line = d.state.line;
            d.column = d.state.column;
            return d;
        }
    }
    if (!EndDecoding(&d.state)) {
        d.verdict = Verdict::Invalid;
        d.line = d.state.line;
        d.column = d.state.column;
    } else if (d.state.characters != 0) {
        d.verdict = Verdict::EndsInsideGroup;
        d.line = d.state.groupLine;
        d.column = d.state.groupColumn;
    }
    return d;
}

struct Case {
    const char *name;
    std::string text;
    std::string bytes;  // Invalid: the bytes before the invalid one
    Verdict verdict;
    DWORD line, column;  // Invalid: the byte's; EndsInsideGroup: the group's first character's
};

// A literal's bytes, NULs included.
template <size_t N>
std::string Bin(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

const Verdict V = Verdict::Valid, I = Verdict::Invalid, E = Verdict::EndsInsideGroup;

std::string Le(const std::string &characters)
{
    return model::Units(characters, false);
}

std::string Be(const std::string &characters)
{
    return model::Units(characters, true);
}

std::string Times(size_t n, const std::string &piece)
{
    std::string all;
    while (n-- != 0)
        all += piece;
    return all;
}

// The 64 characters in the order of their values, and the 48 bytes they
// decode to.
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string AlphabetBytes()
{
    return Bin("\x00\x10\x83\x10Q\x87 \x92\x8b"
               "0\xd3\x8f"
               "A\x14\x93QU\x97"
               "a\x96\x9bq\xd7\x9f\x82\x18\xa3\x92Y\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3]"
               "\xb7\xe3\x9e\xbb\xf3\xdf\xbf");
}

using model::kBeMark;
using model::kLeMark;
using model::kUtf8Mark;

std::vector<Case> Cases()
{
    using std::string;
    return {
        {"empty", "", "", V, 0, 0},
        {"line ends only", "\r\n\n\r\r\n", "", V, 0, 0},
        {"one group", "TWFu", "Man", V, 0, 0},
        {"two characters and ==", "TQ==", "M", V, 0, 0},
        {"three characters and =", "TWE=", "Ma", V, 0, 0},
        {"zero bytes pad as AA== and AAA=", "AA==AAA=AAAA", Bin("\0\0\0\0\0\0"), V, 0, 0},
        {"padded groups in the middle", "QQ==QQ==", "AA", V, 0, 0},
        {"each padded length, then more", "QQ==QUI=QUJDQQ==", "AABABCA", V, 0, 0},
        {"CR LF lines with padding in the middle", "QUI=\r\nQQ==\r\nQUJD\r\n", "ABAABC", V, 0, 0},
        {"a group split across lines", "QU\r\nJD\nQ\nU\r\nJ\rD", "ABCABC", V, 0, 0},
        {"padding split across lines", "QQ=\r\n=QQ\n=\n=", "AA", V, 0, 0},
        {"non-zero pad bits are dropped", "QR==QUJ=Q/==", "AABC", V, 0, 0},
        {"the whole alphabet", kAlphabet, AlphabetBytes(), V, 0, 0},
        {"= first", "=", "", I, 1, 1},
        {"= second", "Q=", "", I, 1, 2},
        {"= second after a line end", "Q\r\n=", "", I, 2, 1},
        {"=== after two characters is a fourth =", "QQ===", "A", I, 1, 5},
        {"=== alone", "===", "", I, 1, 1},
        {"= starting the group after a whole one", "QUJD=", "ABC", I, 1, 5},
        {"a character after a third =", "QQ=Q", "", I, 1, 4},
        {"a character after a third = and a line end", "QUJDQQ=\r\nQ", "ABC", I, 2, 1},
        {"= after a padded group", "QQ==\n=", "A", I, 2, 1},
        {"= second in a later line", "QUJD\nQUJD\r\nQ=", "ABCABC", I, 3, 2},
        {"space", "QUJD QUJD", "ABC", I, 1, 5},
        {"tab", "\tQUJD", "", I, 1, 1},
        {"NUL", Bin("QU\0D"), "", I, 1, 3},
        {"0x1A", "QUJD\x1a", "ABC", I, 1, 5},
        {"0x80", "QUJDQU\x80", "ABC", I, 1, 7},
        {"0xFF", "\xff", "", I, 1, 1},
        {"-", "QUJD\r\nQU-D", "ABC", I, 2, 3},
        {"_", "QUJD\nQUJD\nQUJ_", "ABCABC", I, 3, 4},
        {"CR counts as a column", "QUJD\r\r\n\rQ!", "ABC", I, 2, 3},
        {"a tab after a CR is no line end", "QUJD\r\tQUJD", "ABC", I, 1, 6},
        {"nor is a CR and 0x0B", "QUJD\r\x0b", "ABC", I, 1, 6},
        {"nor 0x0C and an LF", "QUJD\x0c\n", "ABC", I, 1, 5},
        {"nor 0x0E and an LF", "QUJD\x0e\n", "ABC", I, 1, 5},
        {"the group before stays unwritten when cut", "QUJDQU!", "ABC", I, 1, 7},
        {"a tail of one", "Q", "", E, 1, 1},
        {"a tail of two", "QUJDQU", "ABC", E, 1, 5},
        {"a tail of three", "QUJ", "", E, 1, 1},
        {"a tail of two and =", "QUJD\r\nQQ=", "ABC", E, 2, 1},
        {"a tail of three and = is whole: 2 bytes", "QUI=", "AB", V, 0, 0},
        {"a tail split over lines names its first character", "QUJD\r\n\r\nQUJDQ\r\nU\r\n", "ABCABC", E, 3,
         5},
        {"a tail after line ends inside it", "QUJD\n\n\nQUJDQQ\n=\n", "ABCABC", E, 4, 5},

        // A byte-order mark at the start is not counted; anywhere else, or
        // begun and broken, its first byte is invalid.
        {"UTF-8 mark", kUtf8Mark + "QUJD\r\nQQ==\r\n", "ABCA", V, 0, 0},
        {"UTF-8 mark alone", kUtf8Mark, "", V, 0, 0},
        {"UTF-8 mark, then a line end", kUtf8Mark + "\r\nQUJD", "ABC", V, 0, 0},
        {"UTF-8 mark: column 1 is after it", kUtf8Mark + "QU!D", "", I, 1, 3},
        {"UTF-8 mark: its text's own lines", kUtf8Mark + "QUJD\r\nQ=", "ABC", I, 2, 2},
        {"UTF-8 mark: a tail", kUtf8Mark + "QUJDQ", "ABC", E, 1, 5},
        {"UTF-8 mark twice", kUtf8Mark + kUtf8Mark + "QUJD", "", I, 1, 1},
        {"UTF-8 mark after a group", "QUJD" + kUtf8Mark, "ABC", I, 1, 5},
        {"UTF-8 mark after a line end", "\r\n" + kUtf8Mark, "", I, 2, 1},
        {"EF BB and then no BF", "\xEF\xBBQUJD", "", I, 1, 1},
        {"EF and then no BB", "\xEFQUJD", "", I, 1, 1},
        {"EF BB and then EF", "\xEF\xBB\xEF\xBB\xBF", "", I, 1, 1},
        {"EF BB and then BF's neighbour", "\xEF\xBB\xBE", "", I, 1, 1},
        {"EF and then BB's neighbour", "\xEF\xBC\xBF", "", I, 1, 1},
        {"EF BB and the end", "\xEF\xBB", "", I, 1, 1},
        {"EF and the end", "\xEF", "", I, 1, 1},
        {"BB BF without EF", "\xBB\xBFQUJD", "", I, 1, 1},
        {"FF and then no FE", "\xFFQ", "", I, 1, 1},
        {"FF and then FF", "\xFF\xFF", "", I, 1, 1},
        {"FE and then no FF", "\xFE\xFE", "", I, 1, 1},
        {"FF and the end", "\xFF", "", I, 1, 1},
        {"FE and the end", "\xFE", "", I, 1, 1},

        {"UTF-16LE", kLeMark + Le("QUJD\r\nQQ==\r\nQUI=\r\n"), "ABCAAB", V, 0, 0},
        {"UTF-16BE", kBeMark + Be("QUJD\r\nQQ==\r\nQUI=\r\n"), "ABCAAB", V, 0, 0},
        {"UTF-16LE mark alone", kLeMark, "", V, 0, 0},
        {"UTF-16BE mark alone", kBeMark, "", V, 0, 0},
        {"UTF-16LE: groups split across lines", kLeMark + Le("QU\r\nJD\nQ\nU\r\nJ\rD"), "ABCABC", V, 0, 0},
        {"UTF-16LE: the whole alphabet", kLeMark + Le(kAlphabet), AlphabetBytes(), V, 0, 0},
        {"UTF-16LE: columns count units", kLeMark + Le("QUJD\r\nQU*D"), "ABC", I, 2, 3},
        {"UTF-16BE: CR counts as a column", kBeMark + Be("QUJD\r\r\n\rQ!"), "ABC", I, 2, 3},
        {"UTF-16LE: a tail", kLeMark + Le("QUJD\r\nQQ="), "ABC", E, 2, 1},
        {"UTF-16BE: a tail", kBeMark + Be("QUJDQU"), "ABC", E, 1, 5},
        {"UTF-16LE: a unit with its other byte set", kLeMark + Le("QUJD") + "Q\x01", "ABC", I, 1, 5},
        {"UTF-16BE: a unit with its other byte set", kBeMark + Be("QUJD") + "\x80Q", "ABC", I, 1, 5},
        {"UTF-16LE: U+0A0D is no line end", kLeMark + Le("QUJD") + "\n\r" + Le("QUJD"), "ABC", I, 1, 5},
        {"UTF-16BE: U+0A0A is no line end", kBeMark + Be("QUJD") + "\n\n", "ABC", I, 1, 5},
        {"UTF-16LE: a NUL unit", kLeMark + Le("QU") + Bin("\0\0"), "", I, 1, 3},
        {"UTF-16LE: a space", kLeMark + Le("QUJD QUJD"), "ABC", I, 1, 5},
        {"UTF-16LE: 0x80 alone", kLeMark + Le("QUJ\x80"), "", I, 1, 4},
        {"UTF-16LE: \"=\" too early", kLeMark + Le("QUJD\nQ="), "ABC", I, 2, 2},
        {"UTF-16LE read as BE", kBeMark + Le("QUJD"), "", I, 1, 1},
        {"UTF-16BE read as LE", kLeMark + Be("QUJD"), "", I, 1, 1},
        {"UTF-16LE without its mark", Le("QUJD"), "", I, 1, 2},
        {"UTF-16LE: half a unit at the end", kLeMark + Le("QUJDQU") + "J", "ABC", I, 1, 7},
        {"UTF-16BE: half a unit at the end", kBeMark + Be("QUJD") + Bin("\0"), "ABC", I, 1, 5},
        {"UTF-16LE: half a unit after a line end", kLeMark + Le("QUJD\r\n") + "Q", "ABC", I, 2, 1},
        {"UTF-16LE: half a unit after a whole group", kLeMark + Le("QUJD") + "\n", "ABC", I, 1, 5},
        {"UTF-16LE: half a unit alone", kLeMark + "Q", "", I, 1, 1},
        {"UTF-16LE: the mark twice", kLeMark + kLeMark + Le("QUJD"), "", I, 1, 1},
        {"UTF-16BE: the mark after a group", kBeMark + Be("QUJD") + kBeMark, "ABC", I, 1, 5},
        {"UTF-16LE: the UTF-8 mark after it", kLeMark + kUtf8Mark, "", I, 1, 1},
        {"UTF-16LE mark after UTF-8's", kUtf8Mark + kLeMark + Le("QUJD"), "", I, 1, 1},
        {"UTF-16LE mark after a group", "QUJD" + kLeMark + Le("QUJD"), "ABC", I, 1, 5},
        // More units than one block of them: a group across blocks, and an
        // invalid unit past the first. ("DDDD" is 0C 30 C3: 320 D are 80 groups.)
        {"UTF-16LE: a long line", kLeMark + Le("\r\n" + std::string(320, 'D') + "QU\r\nJD\r\nQQ=="),
         Times(80, "\x0c\x30\xc3") + "ABCA", V, 0, 0},
        {"UTF-16BE: invalid past a block", kBeMark + Be(std::string(320, 'D') + "QUJD") + "\x01Q",
         Times(80, "\x0c\x30\xc3") + "ABC", I, 1, 4 * 80 + 5},
    };
}

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes)
        hex += std::string{digits[c >> 4], digits[c & 15], ' '};
    return hex;
}

void ExpectCase(const Case &c, const Decoding &d, const std::string &how)
{
    EXPECT_EQ(d.verdict, c.verdict) << c.name << how;
    EXPECT_EQ(Hex(d.bytes), Hex(c.bytes)) << c.name << how;
    EXPECT_EQ(d.line, c.line) << c.name << how;
    EXPECT_EQ(d.column, c.column) << c.name << how;
}

// Each case in one read, cut in two at every place, and a byte at a time
// (with and without empty reads between); and each read's bytes are exactly
// those of the groups it completes.
TEST(DecodeChunk, TextRules)
{
    for (const Case &c : Cases()) {
        model::Decoded m = model::Decode(c.text);
        EXPECT_EQ(m.verdict, c.verdict) << c.name << ": the model";
        EXPECT_EQ(Hex(m.Bytes()), Hex(c.bytes)) << c.name << ": the model";
        EXPECT_EQ(m.line, c.line) << c.name << ": the model";
        EXPECT_EQ(m.column, c.column) << c.name << ": the model";

        ExpectCase(c, DecodeInPieces(c.text, {}), ", in one piece");
        for (size_t cut = 0; cut <= c.text.size(); cut++) {
            Decoding d = DecodeInPieces(c.text, {cut});
            ExpectCase(c, d, ", cut at " + std::to_string(cut));
            ASSERT_GE(d.perPiece.size(), 1u);
            EXPECT_EQ(Hex(d.perPiece[0]), Hex(model::BytesCompletedIn(m, 0, cut)))
                << c.name << ", cut at " << cut;
        }
        // A read of nothing between any two changes nothing, a mark or a
        // unit begun held across it.
        std::vector<size_t> withEmpty;
        for (size_t i = 0; i < c.text.size(); i++)
            withEmpty.insert(withEmpty.end(), {1, 0});
        ExpectCase(c, DecodeInPieces(c.text, withEmpty), ", a byte at a time, an empty read after each");
        Decoding bytewise = DecodeInPieces(c.text, std::vector<size_t>(c.text.size(), 1));
        ExpectCase(c, bytewise, ", a byte at a time");
        for (size_t i = 0; i < bytewise.perPiece.size(); i++)
            EXPECT_EQ(Hex(bytewise.perPiece[i]), Hex(model::BytesCompletedIn(m, i, i + 1)))
                << c.name << ", byte " << i;
    }
}

// The characters of a valid text: its mark left out, and of UTF-16 the
// character byte of each unit.
std::string Narrowed(const std::string &text)
{
    if (text.compare(0, 3, kUtf8Mark) == 0)
        return text.substr(3);
    size_t first = text.compare(0, 2, kLeMark) == 0 ? 2 : text.compare(0, 2, kBeMark) == 0 ? 3 : 0;
    if (first == 0)
        return text;
    std::string characters;
    for (size_t i = first; i < text.size(); i += 2)
        characters += text[i];
    return characters;
}

// OpenSSL's decoder agrees where it can read the text: the mark and CR and
// LF removed, UTF-16 narrowed, padding at the end only.
TEST(DecodeChunk, AgreesWithOpenSsl)
{
    for (const Case &c : Cases()) {
        std::string plain;
        for (char ch : Narrowed(c.text))
            if (ch != '\r' && ch != '\n')
                plain += ch;
        size_t pad = plain.find('=');
        if (c.verdict != Verdict::Valid || plain.empty() ||
            (pad != std::string::npos && pad < plain.size() - 2))
            continue;
        std::string out(plain.size(), '\0');
        int n =
            EVP_DecodeBlock((unsigned char *)&out[0], (const unsigned char *)plain.data(), (int)plain.size());
        ASSERT_GT(n, 0) << c.name;
        out.resize((size_t)n - (plain.size() - (pad == std::string::npos ? plain.size() : pad)));
        EXPECT_EQ(Hex(DecodeInPieces(c.text, {}).bytes), Hex(out)) << c.name;
    }
}

std::string Encoded(const std::string &data)
{
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock((unsigned char *)&text[0], (const unsigned char *)data.data(), (int)data.size());
    text.resize((size_t)n);
    return text;
}

// OpenSSL's text of random data, and of the bytes 00 1A 20 80 FF, in lines of
// 64, 76, 1 and odd widths with either line end or none, as it is and saved
// with each byte-order mark, each in reads of 4096 and of random sizes (odd
// ones too, which split the units of UTF-16), gives back exactly the data.
TEST(DecodeChunk, LineWidthsAndEnds)
{
    std::mt19937 random(2026);
    std::vector<std::string> data = {std::string("\x00\x1a\x20\x80\xff", 5), std::string(57, '\xff')};
    for (size_t n : {1, 2, 3, 56, 57, 58, 100, 3072, 3073, 10000}) {
        std::string d(n, '\0');
        for (char &c : d)
            c = (char)random();
        data.push_back(d);
    }
    for (const std::string &d : data) {
        std::string flat = Encoded(d);
        for (size_t width : {64, 76, 1, 7, 77, 0}) {
            for (const char *end : {"\r\n", "\n"}) {
                std::string text;
                for (size_t at = 0; at < flat.size(); at += width ? width : flat.size())
                    text += flat.substr(at, width ? width : flat.size()) + (width ? end : "");
                for (const std::string &saved :
                     {text, kUtf8Mark + text, kLeMark + Le(text), kBeMark + Be(text)}) {
                    std::vector<size_t> sizes;
                    for (size_t at = 0; at < saved.size(); at += sizes.back())
                        sizes.push_back(1 + random() % 300);
                    for (const auto &pieces : {std::vector<size_t>(saved.size() / 4096 + 1, 4096), sizes}) {
                        Decoding got = DecodeInPieces(saved, pieces);
                        EXPECT_EQ(got.verdict, Verdict::Valid) << d.size() << " bytes, width " << width;
                        EXPECT_EQ(got.bytes, d)
                            << d.size() << " bytes, width " << width << ", " << saved.size();
                    }
                }
            }
        }
    }
}

// The most one read can complete: 3 characters held and 4096 more make
// 1024 groups, exactly the buffer (which ASan bounds in the sanitizer tree).
TEST(DecodeChunk, FullReadAfterThreeHeldFillsTheBuffer)
{
    DecodeState state;
    StartDecoding(&state);
    std::vector<BYTE> decoded(DECODED_BUFFER_BYTES);
    DWORD count = 0;
    ASSERT_TRUE(DecodeChunk(&state, (const BYTE *)"QUJ", 3, decoded.data(), &count));
    EXPECT_EQ(count, 0u);
    std::string text(TEXT_BUFFER_BYTES, 'D');
    ASSERT_TRUE(DecodeChunk(&state, (const BYTE *)text.data(), (DWORD)text.size(), decoded.data(), &count));
    EXPECT_EQ(count, (DWORD)DECODED_BUFFER_BYTES);
    EXPECT_EQ(std::string((const char *)decoded.data(), 3), "AB\x43");
    EXPECT_EQ(std::string((const char *)decoded.data() + 3, 3), "\x0c\x30\xc3");  // "DDDD"
    EXPECT_EQ(state.characters, 3u);
    EXPECT_EQ(state.column, 4099u);
}

// Lines and columns are 32-bit counts: they wrap to 0 past 2^32 - 1.
TEST(DecodeChunk, PositionsWrapAt32Bits)
{
    const struct {
        DWORD line, column;
        const char *text;
        DWORD wantLine, wantColumn;
    } cases[] = {
        {0xFFFFFFFFu, 7, "\n!", 0, 1},
        {5, 0xFFFFFFFEu, "Q!", 5, 0},
        {0xFFFFFFFFu, 0xFFFFFFFFu, "Q\n=", 0, 1},
    };
    for (const auto &c : cases) {
        DecodeState state;
        StartDecoding(&state);
        state.line = c.line;
        state.column = c.column;
        BYTE decoded[DECODED_BUFFER_BYTES];
        DWORD count = 1;
        EXPECT_FALSE(DecodeChunk(&state, (const BYTE *)c.text, (DWORD)strlen(c.text), decoded, &count))
            << c.text;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(state.line, c.wantLine) << c.text;
        EXPECT_EQ(state.column, c.wantColumn) << c.text;
    }
}

}  // namespace
