// FilterMain over the scripted platform: every step of the copy loop, every
// failure path, the order of acquiring and closing. Each test runs twice,
// with the same expectations: on FilterMain compiled for the host, and on the
// shipped Windows image, its own i586 code on an emulated CPU, whose imports
// the same scripted platform serves (tests/emulator/emulated_cpu.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/filter_main.h"
#include "tests/base64_oracle.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/entry_runs.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"

namespace {

using scripted::Call;
using scripted::kError;
using scripted::kInput;
using scripted::kOutput;
using scripted::Script;
using scripted::WriteStep;

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

class FilterMain : public entry_runs::OnBothTargets<shipped::Program::kFilter> {};

Observed RunScript(const Script &script, Target target)
{
    std::string missing, fault;
    return entry_runs::RunScript(script, target, ::FilterMain, shipped::Image(&missing, &fault));
}

void ExpectContractKept(const char *name)
{
    entry_runs::ExpectContractKept(name, 57);
}

TEST_P(FilterMain, HundredByteFileIsTwoWritesOf78And62)
{
    std::string data = Bytes(100, 1);
    Script s;
    s.reads = {{data.substr(0, 57)}, {data.substr(57)}};
    Observed o = RunScript(s, GetParam());
    ExpectContractKept("hundred bytes");

    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_EQ(o.output, OracleLine(data.substr(0, 57)) + OracleLine(data.substr(57)));
    auto writes = scripted::CallsOf(Call::WriteFile);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 78u);
    EXPECT_EQ(writes[1].value, 62u);
    EXPECT_EQ(o.errors, "");
    EXPECT_EQ(o.reads, 3u);
    EXPECT_EQ(o.closed, kAllClosed);

    // Handles are taken error, output, input, before anything is read.
    entry_runs::ExpectHandlesTakenErrorOutputInput();
}

// Reads are never joined or split: each becomes its own line, whatever its
// size, and a shorter read after a longer one shows none of its stale bytes.
// The last two: 57 bytes of 0xFF, then 56 bytes, whose last group takes the
// byte after them, which would show its stale top bits in the line.
TEST_P(FilterMain, OneLinePerRead)
{
    const std::vector<size_t> sizes = {10, 10, 57, 1, 56, 2, 57, 3, 30, 55};
    std::vector<std::string> pieces;
    for (size_t i = 0; i < sizes.size(); i++)
        pieces.push_back(Bytes(sizes[i], (unsigned)i + 7));
    pieces.push_back(std::string(57, '\xFF'));
    pieces.push_back(Bytes(56, 1));
    Script s;
    std::string expected;
    for (const std::string &piece : pieces) {
        s.reads.push_back({piece});
        expected += OracleLine(piece);
    }
    Observed o = RunScript(s, GetParam());
    ExpectContractKept("pieces");
    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_EQ(o.output, expected);
    EXPECT_EQ(o.outputWrites, pieces.size());
    EXPECT_EQ(o.reads, pieces.size() + 1);
    EXPECT_EQ(o.output.substr(0, 36), OracleLine(Bytes(10, 7)) + OracleLine(Bytes(10, 8)));
    EXPECT_EQ(o.output.substr(14, 2), "==");
}

TEST_P(FilterMain, EmptyInputWritesNothing)
{
    Observed o = RunScript(Script(), GetParam());
    ExpectContractKept("empty");
    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(o.errors, "");
    EXPECT_EQ(o.closed, kAllClosed);
}

struct FailureCase {
    const char *name;
    Script script;
    DWORD exitCode;
    std::string output;
    std::string errors;
    std::vector<HANDLE> closed;
    size_t reads;
};

std::vector<FailureCase> FailureCases()
{
    const std::string a = Bytes(57, 3), b = Bytes(20, 4);
    const std::string lineA = OracleLine(a), lineB = OracleLine(b);
    return {
        // (A code other than the fault code 6 that a code of 0 gets, so an exit
        // with 6 whatever the code given shows.)
        {"no error handle: nothing written or closed", FailStdHandle(STD_ERROR_HANDLE, 8), 8, "", "", {}, 0},
        {"no output handle: only the error handle closed", FailStdHandle(STD_OUTPUT_HANDLE, 87), 87, "",
         "GetStdHandle(STD_OUTPUT_HANDLE) returned error 87\r\n", kErrorClosed, 0},
        {"no input handle: output and error closed", FailStdHandle(STD_INPUT_HANDLE, 6), 6, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 6\r\n", kOutputAndErrorClosed, 0},
        {"broken pipe is a clean end", WithReads({{a}, {"", 109}}), 0, lineA, "", kAllClosed, 2},
        {"broken pipe ends input even with a stale count", WithReads({{a}, {b, 109}}), 0, lineA, "",
         kAllClosed, 2},
        {"read failure", WithReads({{a}, {"", 5}, {b}}), 5, lineA, "ReadFile() returned error 5\r\n",
         kAllClosed, 2},
        // (In both targets the digits come from the host formatter, which
        // serves the image's wvsprintfA: the image's part is to hand the code
        // on as the unsigned 32-bit value it got.)
        {"read failure with a code of 2^31", WithReads({{"", 0x80000000u}}), 0x80000000u, "",
         "ReadFile() returned error 2147483648\r\n", kAllClosed, 1},
        {"write failure stops reading", WithWrites({{a}, {b}, {a}}, {{}, {0, 232}}), 232, lineA,
         "WriteFile() returned error 232\r\n", kAllClosed, 2},
        {"write failure after part of the line keeps that part", WithWrites({{a}, {b}}, {{44, 223}}), 223,
         lineA.substr(0, 44), "WriteFile() returned error 223\r\n", kAllClosed, 1},
        {"short write is 29", WithWrites({{a}, {a}}, {{40}}), 29, lineA.substr(0, 40),
         "WriteFile() failed, 40 of 78 characters written\r\n", kAllClosed, 1},
        {"short by one byte", WithWrites({{a}}, {{77}}), 29, lineA.substr(0, 77),
         "WriteFile() failed, 77 of 78 characters written\r\n", kAllClosed, 1},
        {"write taking nothing is short", WithWrites({{b}}, {{0}}), 29, "",
         "WriteFile() failed, 0 of 30 characters written\r\n", kAllClosed, 1},
        // A failure without a code prints the 0 it was given, but must not
        // exit as success: each call has its fault code.
        {"no error handle, code 0", FailStdHandle(STD_ERROR_HANDLE, 0), 6, "", "", {}, 0},
        {"no output handle, code 0", FailStdHandle(STD_OUTPUT_HANDLE, 0), 6, "",
         "GetStdHandle(STD_OUTPUT_HANDLE) returned error 0\r\n", kErrorClosed, 0},
        {"no input handle, code 0", FailStdHandle(STD_INPUT_HANDLE, 0), 6, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 0\r\n", kOutputAndErrorClosed, 0},
        {"read failure, code 0", WithReads({{a}, {"", 0}}), 30, lineA, "ReadFile() returned error 0\r\n",
         kAllClosed, 2},
        {"write failure, code 0", WithWrites({{a}, {b}}, {{}, {0, 0}}), 29, lineA,
         "WriteFile() returned error 0\r\n", kAllClosed, 2},
        {"input close failure keeps exit 0", WithCloseFailures(WithReads({{a}}), {{kInput, 6}}), 0, lineA,
         "CloseHandle() returned error 6\r\n", kAllClosed, 2},
        {"output close failure keeps exit 0", WithCloseFailures(WithReads({{b}}), {{kOutput, 112}}), 0, lineB,
         "CloseHandle() returned error 112\r\n", kAllClosed, 2},
        {"error close failure is told on the error handle", WithCloseFailures(Script(), {{kError, 6}}), 0, "",
         "CloseHandle() returned error 6\r\n", kAllClosed, 1},
        {"every close failing keeps the read's code",
         WithCloseFailures(WithReads({{"", 38}}), {{kInput, 1}, {kOutput, 2}, {kError, 3}}), 38, "",
         "ReadFile() returned error 38\r\nCloseHandle() returned error 1\r\n"
         "CloseHandle() returned error 2\r\nCloseHandle() returned error 3\r\n",
         kAllClosed, 1},
        {"output close failing after no input handle",
         WithCloseFailures(FailStdHandle(STD_INPUT_HANDLE, 6), {{kOutput, 5}}), 6, "",
         "GetStdHandle(STD_INPUT_HANDLE) returned error 6\r\nCloseHandle() returned error 5\r\n",
         kOutputAndErrorClosed, 0},
        {"null input handle is read and closed", NullInput(6), 6, "", "ReadFile() returned error 6\r\n",
         kNullInputClosed, 1},
    };
}

TEST_P(FilterMain, FailurePaths)
{
    for (const FailureCase &c : FailureCases()) {
        Observed o = RunScript(c.script, GetParam());
        ExpectContractKept(c.name);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.output, c.output) << c.name;
        EXPECT_EQ(o.errors, c.errors) << c.name;
        EXPECT_EQ(o.closed, c.closed) << c.name;
        EXPECT_EQ(o.reads, c.reads) << c.name;
    }
}

// A null input handle is an ordinary handle: read from it, and close it.
TEST_P(FilterMain, NullInputHandleIsUsedUnchanged)
{
    RunScript(NullInput(6), GetParam());
    auto reads = scripted::CallsOf(Call::ReadFile);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].handle, nullptr);
}

// An error handle that takes nothing changes neither the output nor the code.
TEST_P(FilterMain, LostMessagesChangeNothing)
{
    for (const WriteStep lost : {WriteStep{0, 6}, WriteStep{0, 0}, WriteStep{0}, WriteStep{3}}) {
        for (const FailureCase &c : FailureCases()) {
            Script s = c.script;
            s.writes[kError] = std::deque<WriteStep>(8, lost);
            Observed o = RunScript(s, GetParam());
            EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
            EXPECT_EQ(o.output, c.output) << c.name;
            EXPECT_EQ(o.closed, c.closed) << c.name;
        }
    }
}

// cppcheck-suppress syntaxError ; the empty prefix keeps the names FilterMain.Test/Target
INSTANTIATE_TEST_SUITE_P(, FilterMain, testing::Values(Target::Host, Target::Image), TargetName);

}  // namespace
