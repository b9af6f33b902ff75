// UnfilterMain over the scripted platform: reads of 4096, one write per read
// that completes a group, the invalid-input and ends-inside-a-group paths,
// every platform failure, the order of acquiring and closing. One table, two
// targets, as FilterMain's: each case runs on UnfilterMain compiled for the
// host and on the decoder's Windows image (B64UNFILTER_WIN32_IMAGE) on the
// emulated CPU, with the same expectations.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/base64_decoder_model.h"
#include "tests/base64_oracle.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/emulator/pe_loader.h"
#include "tests/entry_runs.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"
#include "unfilter/unfilter_main.h"

namespace {

using entry_runs::Bytes;
using entry_runs::FailStdHandle;
using entry_runs::kAllClosed;
using entry_runs::kErrorClosed;
using entry_runs::kNullInputClosed;
using entry_runs::kOutputAndErrorClosed;
using entry_runs::NullInput;
using entry_runs::Observed;
using entry_runs::Target;
using entry_runs::TargetName;
using entry_runs::WithCloseFailures;
using entry_runs::WithReads;
using entry_runs::WithWrites;
using model::kBeMark;
using model::kLeMark;
using model::kUtf8Mark;
using scripted::Call;
using scripted::kError;
using scripted::kInput;
using scripted::kOutput;
using scripted::ReadStep;
using scripted::Script;
using scripted::WriteStep;

class UnfilterMain : public entry_runs::OnBothTargets<shipped::Program::kUnfilter> {};

Observed RunScript(const Script &script, Target target, const char *name)
{
    std::string missing, fault;
    Observed o = entry_runs::RunScript(script, target, ::UnfilterMain,
                                       shipped::Image(&missing, &fault, shipped::Program::kUnfilter));
    entry_runs::ExpectContractKept(name, 4096);
    return o;
}

// The filter's own text of data: one line per read of 57 bytes.
std::string FilterText(const std::string &data)
{
    std::string text;
    for (size_t at = 0; at < data.size(); at += 57)
        text += OracleLine(data.substr(at, 57));
    return text;
}

struct Case {
    const char *name;
    Script script;
    DWORD exitCode;
    std::vector<std::string> writes;  // each write to the output, as offered
    std::string output;               // what the writes took
    std::string errors;
    std::vector<HANDLE> closed;
    size_t reads;
};

std::string Le(const std::string &characters)
{
    return model::Units(characters, false);
}

std::string Be(const std::string &characters)
{
    return model::Units(characters, true);
}

// A literal's bytes, NULs included.
template <size_t N>
std::string Bin(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

std::string Joined(const std::vector<std::string> &writes)
{
    std::string all;
    for (const std::string &w : writes)
        all += w;
    return all;
}

std::vector<Case> Cases()
{
    const std::string data = Bytes(100, 1);
    const std::string text = FilterText(data);  // 78 + 62 characters
    const std::string big = Bytes(3000, 2);
    const std::string bigText = FilterText(big);  // 4106 characters: two reads
    const model::Decoded bigGroups = model::Decode(bigText);
    const std::string firstRead = model::BytesCompletedIn(bigGroups, 0, 4096);
    const std::string fullRead = model::Decode(std::string(4096, 'D')).Bytes();
    const std::string bigUtf16 = kBeMark + Be(bigText);  // 8214 bytes: three reads
    const model::Decoded bigUtf16Groups = model::Decode(bigUtf16);
    const std::string invalid = "Invalid Base64 input at line ";
    const std::string inside = "Base64 input ends inside a group at line ";
    // One case a row, its fields in the order of Case.
    // clang-format off
    std::vector<Case> cases = {
        {"the filter's text of 100 bytes: one read, one write", WithReads({{text}}), 0, {data}, data, "",
         kAllClosed, 2},
        {"a text longer than a read: one write per read",
         WithReads({{bigText.substr(0, 4096)}, {bigText.substr(4096)}}), 0,
         {firstRead, big.substr(firstRead.size())}, big, "", kAllClosed, 3},
        // A read step longer than 4096 is cut at what was asked, and the
        // rest is never seen: 1024 whole groups, where a read of 4095 or
        // 4097 would leave a group unfinished.
        {"a read takes 4096 characters at most", WithReads({{std::string(4096 + 5, 'D')}}), 0, {fullRead},
         fullRead, "", kAllClosed, 2},
        {"reads that complete no group write nothing", WithReads({{"Q"}, {"\r\n"}, {"UJ"}, {"D"}, {"\n"}}), 0,
         {"ABC"}, "ABC", "", kAllClosed, 6},
        {"padded groups in the middle, across reads", WithReads({{"QQ"}, {"==QUI"}, {"=\r\n"}, {"QUJD"}}), 0,
         {"A", "AB", "ABC"}, "AAB" "ABC", "", kAllClosed, 5},
        {"empty input", Script(), 0, {}, "", "", kAllClosed, 1},
        {"line ends only", WithReads({{"\r\n"}, {"\n\r\n"}}), 0, {}, "", "", kAllClosed, 3},
        {"a broken pipe is the end of input", WithReads({{"QUJD"}, {"", 109}}), 0, {"ABC"}, "ABC", "",
         kAllClosed, 2},
        {"a broken pipe's stale count is ignored", WithReads({{"QUJD"}, {"QUJD", 109}}), 0, {"ABC"}, "ABC",
         "", kAllClosed, 2},

        {"invalid: the groups before it written first", WithReads({{"QUJDQU!D"}, {"QUJD"}}), 13, {"ABC"},
         "ABC", invalid + "1, column 7\r\n", kAllClosed, 1},
        {"invalid at a read's start, with characters held", WithReads({{"QUJD\r\nQU"}, {"J!"}}), 13, {"ABC"},
         "ABC", invalid + "2, column 4\r\n", kAllClosed, 2},
        {"invalid with nothing before it writes nothing", WithReads({{"\n\n!"}}), 13, {}, "",
         invalid + "3, column 1\r\n", kAllClosed, 1},
        {"invalid \"=\" in a later read and line", WithReads({{"QUJD\r\n"}, {"QUJD\r\nQQ==\r\nQ=QQ"}}), 13,
         {"ABC", "ABCA"}, "ABCABCA", invalid + "4, column 2\r\n", kAllClosed, 2},
        {"ends inside a group: its first character", WithReads({{"QUJD\r\nQUJDQU"}}), 38, {"ABCABC"},
         "ABCABC", inside + "2, column 5\r\n", kAllClosed, 2},
        {"ends inside a padded group at a broken pipe", WithReads({{"QUJD\r\nQQ"}, {"=\r\n"}, {"", 109}}), 38,
         {"ABC"},
         "ABC", inside + "2, column 1\r\n", kAllClosed, 3},
        {"a read failure inside a group is the read's", WithReads({{"QUJDQ"}, {"", 5}}), 5, {"ABC"}, "ABC",
         "ReadFile() returned error 5\r\n", kAllClosed, 2},
        // Where the whole-group path of four characters hands over to the
        // one-by-one path, and the flags that path keeps (each row fails a
        // fault of the image's code that the others miss).
        {"zeros and \"=\" are no whole group", WithReads({{"AAA="}}), 0, {std::string(2, '\0')},
         std::string(2, '\0'), "", kAllClosed, 2},
        {"\"/\" one by one is a character", WithReads({{"Q/=="}}), 0, {"C"}, "C", "", kAllClosed, 2},
        {"a character after \"=\" is invalid", WithReads({{"QQ=Q"}}), 13, {}, "", invalid + "1, column 4\r\n",
         kAllClosed, 1},
        {"a group ends one byte before the read", WithReads({{"QUJDQ"}}), 38, {"ABC"}, "ABC",
         inside + "1, column 5\r\n", kAllClosed, 2},
        {"ends inside the group that opens the text", WithReads({{"QQ\r\n"}}), 38, {}, "",
         inside + "1, column 1\r\n", kAllClosed, 2},
        {"a group completed one by one, then more", WithReads({{"QU"}, {"JDQ"}}), 38, {"ABC"}, "ABC",
         inside + "1, column 5\r\n", kAllClosed, 3},
        {"a read shorter than the one before: nothing of it decoded",
         WithReads({{"QUJDQUJDQUJDQUJD"}, {"QUJDQUJDQUJDQU"}}), 38, {"ABCABCABCABC", "ABCABCABC"},
         "ABCABCABCABCABCABCABC", inside + "1, column 29\r\n", kAllClosed, 3},
        {"three characters after a group, past them a longer read's", WithReads({{"QUJDQUJD"}, {"QUJDQUJ"}}),
         38, {"ABCABC", "ABC"}, "ABCABCABC", inside + "1, column 13\r\n", kAllClosed, 3},
        {"a group across reads, then whole groups", WithReads({{"QU"}, {"JDQUJD"}}), 0, {"ABCABC"}, "ABCABC",
         "", kAllClosed, 3},
        // The CR LF after whole groups is stepped over in one: only when
        // both are in this read (the LF past it is the read before's), and
        // only when the CR's next byte is an LF.
        {"a read ending in CR stops there", WithReads({{"QUJD\r\n"}, {"QUJD\r"}, {"\n!"}}), 13,
         {"ABC", "ABC"},
         "ABCABC", invalid + "3, column 1\r\n", kAllClosed, 3},
        {"a CR without its LF", WithReads({{"QUJD\r\t"}}), 13, {"ABC"}, "ABC", invalid + "1, column 6\r\n",
         kAllClosed, 1},

        // Text as Windows saves it: a byte-order mark, which is not counted,
        // and UTF-16, a character a unit; marks and units cut by reads.
        {"Out-File's text: mark, UTF-16LE, CR LF", WithReads({{kLeMark + Le(text)}}), 0, {data}, data, "",
         kAllClosed, 2},
        {"UTF-16BE past two reads: one write per read",
         WithReads({{bigUtf16.substr(0, 4096)}, {bigUtf16.substr(4096, 4096)}, {bigUtf16.substr(8192)}}), 0,
         {model::BytesCompletedIn(bigUtf16Groups, 0, 4096),
          model::BytesCompletedIn(bigUtf16Groups, 4096, 8192),
          model::BytesCompletedIn(bigUtf16Groups, 8192, bigUtf16.size())},
         big, "", kAllClosed, 4},
        {"a UTF-8 mark a byte a read", WithReads({{"\xEF"}, {"\xBB"}, {"\xBF"}, {"QUJD"}}), 0, {"ABC"}, "ABC",
         "", kAllClosed, 5},
        {"a UTF-8 mark with its text", WithReads({{kUtf8Mark + "QUJD\r\nQU!"}}), 13, {"ABC"}, "ABC",
         invalid + "2, column 3\r\n", kAllClosed, 1},
        {"a mark broken in a later read", WithReads({{"\xEF\xBB"}, {"QUJD"}}), 13, {}, "",
         invalid + "1, column 1\r\n", kAllClosed, 2},
        {"a mark begun at the end", WithReads({{"\xFE"}}), 13, {}, "", invalid + "1, column 1\r\n",
         kAllClosed, 2},
        {"a mark begun at a broken pipe", WithReads({{"\xEF\xBB"}, {"", 109}}), 13, {}, "",
         invalid + "1, column 1\r\n", kAllClosed, 2},
        {"a mark begun, then a read failure", WithReads({{"\xFF"}, {"", 5}}), 5, {}, "",
         "ReadFile() returned error 5\r\n", kAllClosed, 2},
        {"a mark after the text's start", WithReads({{"\r\n"}, {kLeMark}}), 13, {}, "",
         invalid + "2, column 1\r\n", kAllClosed, 2},
        {"UTF-16LE: units cut by every read",
         WithReads({{"\xFF"}, {"\xFEQ"}, {Bin("\0U\0J")}, {Bin("\0D\0\r")}, {Bin("\0")}}), 0, {"ABC"}, "ABC",
         "", kAllClosed, 6},
        {"UTF-16BE: a unit's second byte completes a group",
         WithReads({{kBeMark + Be("QUJ") + Bin("\0")}, {"D"}}), 0, {"ABC"}, "ABC", "", kAllClosed, 3},
        {"UTF-16LE: a unit with its other byte set",
         WithReads({{kLeMark + Le("QUJDQ") + "U\x01" + Le("JD")}}), 13, {"ABC"}, "ABC",
         invalid + "1, column 6\r\n", kAllClosed, 1},
        {"UTF-16BE: an invalid unit cut by reads",
         WithReads({{kBeMark + Be("QUJD\r\nQ") + "\x0a"}, {"\x0d"}}), 13, {"ABC"}, "ABC",
         invalid + "2, column 2\r\n", kAllClosed, 2},
        {"UTF-16LE: half a unit at the end", WithReads({{kLeMark + Le("QUJDQU") + "J"}}), 13, {"ABC"}, "ABC",
         invalid + "1, column 7\r\n", kAllClosed, 2},
        {"UTF-16BE: half a unit after a line end, at a broken pipe",
         WithReads({{kBeMark + Be("QUJD\n")}, {Bin("\0")}, {"", 109}}), 13, {"ABC"}, "ABC",
         invalid + "2, column 1\r\n", kAllClosed, 3},
        {"UTF-16LE: inside a group at the end", WithReads({{kLeMark + Le("QUJD\r\nQQ=")}}), 38, {"ABC"},
         "ABC", inside + "2, column 1\r\n", kAllClosed, 2},
        {"UTF-16LE without its mark", WithReads({{Le("QUJD")}}), 13, {}, "", invalid + "1, column 2\r\n",
         kAllClosed, 1},
        // Bytes at the start that begin no mark are the text's, at once:
        // no read waits for what follows them.
        {"\"/\" first is a character", WithReads({{"//8="}}), 0, {"\xff\xff"}, "\xff\xff", "", kAllClosed, 2},
        {"F8 first begins no mark", WithReads({{"\xF8"}, {"QUJD"}}), 13, {}, "", invalid + "1, column 1\r\n",
         kAllClosed, 1},
        {"EF BC begins no mark", WithReads({{"\xEF\xBC"}, {"QUJD"}}), 13, {}, "", invalid + "1, column 1\r\n",
         kAllClosed, 1},
        {"FE FE begins no mark", WithReads({{"\xFE\xFE"}, {"QUJD"}}), 13, {}, "", invalid + "1, column 1\r\n",
         kAllClosed, 1},
        {"\"?\" first begins no mark", WithReads({{"?"}, {"QUJD"}}), 13, {}, "", invalid + "1, column 1\r\n",
         kAllClosed, 1},

        {"the write before an invalid byte fails: no more", WithWrites({{"QUJD!"}}, {{0, 112}}), 112, {"ABC"},
         "", "WriteFile() returned error 112\r\n", kAllClosed, 1},
        {"the write before an invalid byte is short: no more", WithWrites({{"QUJDQUJD!"}}, {{4}}), 29,
         {"ABCABC"},
         "ABCA", "WriteFile() failed, 4 of 6 characters written\r\n", kAllClosed, 1},
        {"the write before the end inside a group fails", WithWrites({{"QUJDQ"}}, {{1, 223}}), 223, {"ABC"},
         "A", "WriteFile() returned error 223\r\n", kAllClosed, 1},
        {"a write failure stops reading", WithWrites({{"QUJD"}, {"QUI="}, {"QUJD"}}, {{}, {0, 232}}), 232,
         {"ABC", "AB"}, "ABC", "WriteFile() returned error 232\r\n", kAllClosed, 2},
        {"a write failure with code 0 is 29", WithWrites({{"QUJD"}}, {{0, 0}}), 29, {"ABC"}, "",
         "WriteFile() returned error 0\r\n", kAllClosed, 1},
        {"a write taking nothing is short", WithWrites({{"QQ=="}}, {{0}}), 29, {"A"}, "",
         "WriteFile() failed, 0 of 1 characters written\r\n", kAllClosed, 1},
        {"a read failure", WithReads({{"QUJD"}, {"", 1117}, {"QUJD"}}), 1117, {"ABC"}, "ABC",
         "ReadFile() returned error 1117\r\n", kAllClosed, 2},
        {"a read failure's count is ignored", WithReads({{"QUJD", 5}}), 5, {}, "",
         "ReadFile() returned error 5\r\n", kAllClosed, 1},
        {"a read failure with code 0 is 30", WithReads({{"", 0}}), 30, {}, "",
         "ReadFile() returned error 0\r\n", kAllClosed, 1},
        {"a read failure with code 2^31", WithReads({{"", 0x80000000u}}), 0x80000000u, {}, "",
         "ReadFile() returned error 2147483648\r\n", kAllClosed, 1},

        // (Codes other than the fault code 6 that a code of 0 gets.)
        {"no error handle: nothing written or closed", FailStdHandle(STD_ERROR_HANDLE, 8), 8, {}, "", "", {},
         0},
        {"no output handle: only the error handle closed", FailStdHandle(STD_OUTPUT_HANDLE, 87), 87, {}, "",
         "GetStdHandle(STD_OUTPUT_HANDLE) returned error 87\r\n", kErrorClosed, 0},
        {"no input handle: output and error closed", FailStdHandle(STD_INPUT_HANDLE, 1234), 1234, {}, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 1234\r\n", kOutputAndErrorClosed, 0},
        {"no error handle, code 0", FailStdHandle(STD_ERROR_HANDLE, 0), 6, {}, "", "", {}, 0},
        {"no output handle, code 0", FailStdHandle(STD_OUTPUT_HANDLE, 0), 6, {}, "",
         "GetStdHandle(STD_OUTPUT_HANDLE) returned error 0\r\n", kErrorClosed, 0},
        {"no input handle, code 0", FailStdHandle(STD_INPUT_HANDLE, 0), 6, {}, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 0\r\n", kOutputAndErrorClosed, 0},
        {"null input handle is read and closed", NullInput(6), 6, {}, "", "ReadFile() returned error 6\r\n",
         kNullInputClosed, 1},

        {"input close failure keeps exit 0", WithCloseFailures(WithReads({{"QUJD"}}), {{kInput, 6}}), 0,
         {"ABC"},
         "ABC", "CloseHandle() returned error 6\r\n", kAllClosed, 2},
        {"output close failure keeps 13", WithCloseFailures(WithReads({{"!"}}), {{kOutput, 112}}), 13, {}, "",
         invalid + "1, column 1\r\nCloseHandle() returned error 112\r\n", kAllClosed, 1},
        {"error close failure is told on the error handle",
         WithCloseFailures(WithReads({{"Q"}}), {{kError, 5}}), 38, {}, "",
         inside + "1, column 1\r\nCloseHandle() returned error 5\r\n", kAllClosed, 2},
        {"every close failing keeps 38",
         WithCloseFailures(WithReads({{"QQ="}}), {{kInput, 1}, {kOutput, 2}, {kError, 3}}), 38, {}, "",
         inside + "1, column 1\r\nCloseHandle() returned error 1\r\nCloseHandle() returned error 2\r\n"
                  "CloseHandle() returned error 3\r\n",
         kAllClosed, 2},
        {"output close failing after no input handle",
         WithCloseFailures(FailStdHandle(STD_INPUT_HANDLE, 6), {{kOutput, 5}}), 6, {}, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 6\r\nCloseHandle() returned error 5\r\n",
         kOutputAndErrorClosed, 0},

        // The characters are told by their bytes' bounds: each end of each
        // run of the alphabet ("+", "/" to "9", "A" to "Z", "a" to "z"), in
        // whole groups and one by one.
        {"the alphabet's runs' ends, in whole groups", WithReads({{"+/09AZaz"}}), 0, {"\xfb\xfd\x3d\x01\x96\xb3"},
         "\xfb\xfd\x3d\x01\x96\xb3", "", kAllClosed, 2},
        {"the alphabet's runs' ends, one by one", WithReads({{"+\n/\n0\n9\nA\nZ\na\nz"}}), 0,
         {"\xfb\xfd\x3d\x01\x96\xb3"}, "\xfb\xfd\x3d\x01\x96\xb3", "", kAllClosed, 2},
    };
    // clang-format on
    // And the bytes just outside them are invalid, first in a group that
    // could be whole, and one by one after it; with its top bit set, "A" too.
    // Each after a run of groups and first in a run, after a line's end: the
    // image tells the two apart with code of its own.
    for (const char *outside : {"*", ",", ".", ":", "@", "[", "`", "{", "\x7f", "\xc1"}) {
        cases.push_back({outside,
                         WithReads({{"QUJD" + std::string(outside) + "UJD"}}),
                         13,
                         {"ABC"},
                         "ABC",
                         invalid + "1, column 5\r\n",
                         kAllClosed,
                         1});
        cases.push_back({outside,
                         WithReads({{"QUJD\r\n" + std::string(outside) + "UJD"}}),
                         13,
                         {"ABC"},
                         "ABC",
                         invalid + "2, column 1\r\n",
                         kAllClosed,
                         1});
    }
    // A line's end one off from CR LF in either byte is no line's end.
    for (const char *lineEnd : {"\x0c\n", "\x0e\n", "\r\x0b"})
        cases.push_back({lineEnd,
                         WithReads({{"QUJD" + std::string(lineEnd)}}),
                         13,
                         {"ABC"},
                         "ABC",
                         invalid + (lineEnd[0] == '\r' ? "1, column 6\r\n" : "1, column 5\r\n"),
                         kAllClosed,
                         1});
    return cases;
}

TEST_P(UnfilterMain, Table)
{
    for (const Case &c : Cases()) {
        Observed o = RunScript(c.script, GetParam(), c.name);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.writesOffered, c.writes) << c.name;
        EXPECT_EQ(o.output, c.output) << c.name;
        EXPECT_EQ(o.errors, c.errors) << c.name;
        EXPECT_EQ(o.closed, c.closed) << c.name;
        EXPECT_EQ(o.reads, c.reads) << c.name;
        // The first failure ends the work, and its message comes after
        // every byte written: no write to the output follows one to standard error.
        bool told = false;
        for (const auto &w : scripted::CallsOf(Call::WriteFile)) {
            told = told || w.handle == kError;
            EXPECT_FALSE(told && w.handle == kOutput) << c.name << ": output written after a message";
        }
    }
}

// The table's own texts agree with the model, so its expectations are the
// rules' and not the decoder's: the bytes written, and the message's position.
TEST_P(UnfilterMain, TableAgreesWithTheModel)
{
    for (const Case &c : Cases()) {
        std::string text;
        for (const ReadStep &r : c.script.reads) {
            if (r.error)
                break;
            text += r.data.substr(0, 4096);
        }
        if (c.exitCode != 0 && c.exitCode != 13 && c.exitCode != 38)
            continue;
        model::Decoded m = model::Decode(text);
        EXPECT_EQ(Joined(c.writes), m.Bytes()) << c.name;
        if (m.verdict != model::Verdict::Valid) {
            std::string where = std::to_string(m.line) + ", column " + std::to_string(m.column) + "\r\n";
            EXPECT_EQ(c.errors.substr(0, c.errors.find("\r\n") + 2).substr(c.errors.find(" line ") + 6),
                      where)
                << c.name;
        }
    }
}

// Handles are taken error, output, input, before anything is read.
TEST_P(UnfilterMain, HandlesTakenErrorOutputInput)
{
    RunScript(WithReads({{"QUJD"}}), GetParam(), "handles");
    entry_runs::ExpectHandlesTakenErrorOutputInput();
}

// An error handle that takes nothing changes neither the output nor the code.
TEST_P(UnfilterMain, LostMessagesChangeNothing)
{
    for (const WriteStep lost : {WriteStep{0, 6}, WriteStep{0, 0}, WriteStep{0}, WriteStep{3}}) {
        for (const Case &c : Cases()) {
            Script s = c.script;
            s.writes[kError] = std::deque<WriteStep>(8, lost);
            Observed o = RunScript(s, GetParam(), c.name);
            EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
            EXPECT_EQ(o.output, c.output) << c.name;
            EXPECT_EQ(o.closed, c.closed) << c.name;
        }
    }
}

// The image in constant time (notes/proof.md): two texts of the same shape,
// the same reads with the same bytes wherever either has no character of
// the alphabet, run the same instructions and read and write the same
// addresses; only the values written differ. Each pair's runs are traced on
// the emulated CPU and their steps compared.

// The alphabet's 64 characters, in the order of their bytes.
std::string AlphabetCharacters()
{
    std::string characters;
    for (int c = 0; c < 256; c++)
        if (model::AlphabetValue((char)c) >= 0)
            characters += (char)c;
    return characters;
}

// The script with each character of its reads' bytes, at each place in turn,
// replaced by the one `character` gives for that place: the same shape.
template <typename Character>
Script Reshaped(Script s, Character character)
{
    size_t place = 0;
    for (ReadStep &r : s.reads)
        for (char &c : r.data) {
            if (model::AlphabetValue(c) >= 0)
                c = character(place);
            place++;
        }
    return s;
}

std::string Describe(emulated::Machine &image, const emulated::TraceStep &step)
{
    std::string text = ".code+" +
                       emulated::Hex(step.address - emulated::kImageBase - emulated::CodeSection(image).rva) +
                       ", stack at " + emulated::Hex(step.stack);
    for (uint8_t i = 0; i < step.operands; i++)
        text += ", memory at " + emulated::Hex(step.data[i]);
    return text;
}

// Where the traces of two scripts' runs diverge: empty when they do not.
std::string Divergence(emulated::Machine &image, const Script &one, const Script &other)
{
    std::vector<emulated::TraceStep> traces[2];
    const Script *scripts[2] = {&one, &other};
    for (int i = 0; i < 2; i++) {
        scripted::Reset(*scripts[i]);
        emulated::Outcome run = emulated::Run(image);
        if (!run.exited)
            return "a run faulted: " + run.fault;
        traces[i] = emulated::LastTrace(image);
    }
    size_t step = 0;
    while (step < traces[0].size() && step < traces[1].size() && traces[0][step] == traces[1][step])
        step++;
    if (step == traces[0].size() && step == traces[1].size())
        return "";
    const auto said = [&](int i) {
        return step < traces[i].size() ? Describe(image, traces[i][step]) : std::string("the run's end");
    };
    return "step " + std::to_string(step) + ": " + said(0) + "; in the other, " + said(1);
}

// The short texts whose every character runs through every value: whole
// groups, a CR LF, a group across line ends, padding; and the same as
// UTF-16LE, whose units go through the narrowing first.
std::vector<std::string> ShortTexts()
{
    const std::string text = "QUJDQUJD\r\nQU\nJD\r\nQQ==";
    return {text, kLeMark + Le(text)};
}

// The first of the short texts' variants, each with one character changed
// to each other one, whose trace diverges from the text's own; empty when none.
std::string FirstDivergenceOfAnyValueAnywhere(emulated::Machine &image)
{
    const std::string alphabet = AlphabetCharacters();
    for (const std::string &text : ShortTexts()) {
        const Script script = WithReads({{text}});
        for (size_t place = 0; place < text.size(); place++) {
            if (model::AlphabetValue(text[place]) < 0)
                continue;
            for (char value : alphabet) {
                const Script variant =
                    Reshaped(script, [&](size_t at) { return at == place ? value : text[at]; });
                std::string divergence = Divergence(image, script, variant);
                if (!divergence.empty())
                    return "\"" + std::string(1, value) + "\" at " + std::to_string(place) +
                           " of a text of " + std::to_string(text.size()) + " bytes: " + divergence;
            }
        }
    }
    return "";
}

// The decoder's image, traced while a test runs; the test skips, saying
// why, when the image is not there.
class ImageTraces : public testing::Test {
protected:
    emulated::Machine *image = nullptr;
    void SetUp() override
    {
        std::string missing, fault;
        image = shipped::Image(&missing, &fault, shipped::Program::kUnfilter);
        if (!image && !missing.empty())
            GTEST_SKIP() << missing;
        ASSERT_TRUE(image) << fault;
        emulated::TraceRuns(*image, true);
    }
    void TearDown() override
    {
        if (image)
            emulated::TraceRuns(*image, false);
    }
};

TEST_F(ImageTraces, EachTableRowAsItsSameShapeVariant)
{
    std::mt19937 random(38);
    const std::string alphabet = AlphabetCharacters();
    for (const Case &c : Cases()) {
        const Script variant = Reshaped(c.script, [&](size_t) { return alphabet[random() % 64]; });
        EXPECT_EQ(Divergence(*image, c.script, variant), "") << c.name;
    }
}

// Random valid texts in each form, of groups whole and padded, with line
// ends between groups and inside them, ending now and then inside a group or
// at an invalid byte, cut into random reads; each beside a variant.
TEST_F(ImageTraces, RandomTextsInEachForm)
{
    std::mt19937 random(64);
    const std::string alphabet = AlphabetCharacters();
    const auto character = [&](size_t) { return alphabet[random() % 64]; };
    const std::string groups[] = {"xxxx", "xxxx", "xxxx", "xxxx", "xxx=", "xx==", "x\r\nxxx", "xx\nx="};
    const std::string ends[] = {"", "\r\n", "\n", "xx", "-"};
    for (int form = 0; form < 4; form++) {
        for (int n = 0; n < 6; n++) {
            std::string text;
            for (size_t count = random() % 1000; count != 0; count--)
                text += groups[random() % 8] + (random() % 19 ? "" : "\r\n");
            text += ends[random() % 5];
            text = Reshaped(WithReads({{text}}), character).reads[0].data;
            // Plain, after the UTF-8 mark, as UTF-16LE and as BE after theirs.
            const std::string marks[] = {"", kUtf8Mark, kLeMark, kBeMark};
            std::string formed = marks[form];
            formed += form < 2 ? text : model::Units(text, form == 3);
            text = formed;
            Script script;
            for (size_t at = 0; at < text.size(); at += script.reads.back().data.size())
                script.reads.push_back({text.substr(at, 1 + random() % 4096)});
            EXPECT_EQ(Divergence(*image, script, Reshaped(script, character)), "")
                << "form " << form << ", text " << n;
        }
    }
}

TEST_F(ImageTraces, EveryValueAtEveryPlaceOfShortTexts)
{
    EXPECT_EQ(FirstDivergenceOfAnyValueAnywhere(*image), "");
}

// The comparison finds each leak planted in an image of the tests' own
// (platform/windows/CMakeLists.txt): a table look-up by a character's byte,
// a branch on it. Without ImageTraces' fixture, so that one emulated CPU is
// open at a time: under qemu-user for s390x, Unicorn cannot allocate the
// translation buffer of a second one.
TEST(ImageTracesOfPlantedLeaks, EachShowsInTheTraces)
{
    for (const char *name : {"b64unfilter-table-leak.exe", "b64unfilter-branch-leak.exe"}) {
        std::string missing, fault;
        emulated::MachinePtr planted =
            shipped::LoadBeside(shipped::Program::kUnfilter, name, &missing, &fault);
        if (!planted && !missing.empty())
            GTEST_SKIP() << missing;
        ASSERT_TRUE(planted) << fault;
        emulated::TraceRuns(*planted, true);
        const std::string divergence = FirstDivergenceOfAnyValueAnywhere(*planted);
        EXPECT_NE(divergence, "") << name;
        printf("%s: %s\n", name, divergence.c_str());
    }
}

// cppcheck-suppress syntaxError ; the empty prefix keeps the names UnfilterMain.Test/Target
INSTANTIATE_TEST_SUITE_P(, UnfilterMain, testing::Values(Target::Host, Target::Image), TargetName);

}  // namespace
