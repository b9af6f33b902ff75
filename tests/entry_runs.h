// Runs of a program's entry, FilterMain or UnfilterMain, over the scripted
// platform: on the entry compiled for the host, or on a Windows image's own
// machine code on the emulated CPU, whose imports the same scripted platform
// serves (tests/emulator/emulated_cpu.h). The two programs' tables share these.
#ifndef B64FILTER_TESTS_ENTRY_RUNS_H
#define B64FILTER_TESTS_ENTRY_RUNS_H

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"

namespace entry_runs {

enum class Target { Host, Image };

inline std::string TargetName(const testing::TestParamInfo<Target> &info)
{
    return info.param == Target::Host ? "Host" : "Image";
}

// A program's table, run on both targets: a case on the image skips, saying
// why, when the image has not been built, and fails when it does not load.
template <shipped::Program program>
class OnBothTargets : public testing::TestWithParam<Target> {
protected:
    void SetUp() override
    {
        if (GetParam() != Target::Image)
            return;
        std::string missing, fault;
        if (!shipped::Image(&missing, &fault, program)) {
            if (!missing.empty())
                GTEST_SKIP() << missing;
            FAIL() << fault;
        }
    }
};

// What a run did, as a test compares it.
struct Observed {
    DWORD exitCode;
    std::string output;
    std::string errors;
    std::vector<HANDLE> closed;
    size_t reads;
    size_t outputWrites;
    std::vector<std::string> writesOffered;  // each write to the output, as offered
};

// Runs entry on the host, or image on the emulated CPU, to its ExitProcess;
// a run of the image that faults fails the test.
inline Observed RunScript(const scripted::Script &script, Target target, void (*entry)(void),
                          emulated::Machine *image)
{
    scripted::Reset(script);
    Observed o;
    if (target == Target::Host) {
        o.exitCode = scripted::RunEntry(entry);
    } else {
        emulated::Outcome run = emulated::Run(*image);
        EXPECT_TRUE(run.exited) << run.fault;
        o.exitCode = run.exitCode;
    }
    o.output = scripted::WrittenTo(scripted::kOutput);
    o.errors = scripted::WrittenTo(scripted::kError);
    o.closed = scripted::ClosedHandles();
    o.reads = scripted::CallsOf(scripted::Call::ReadFile).size();
    o.outputWrites = 0;
    for (const auto &w : scripted::CallsOf(scripted::Call::WriteFile)) {
        if (w.handle == scripted::kOutput) {
            o.outputWrites++;
            o.writesOffered.push_back(w.data);
        }
    }
    return o;
}

// Rules every run keeps, whatever its script: the code of a failed call is
// taken from GetLastError right after it; the process ends once, at the end;
// reads ask for readSize bytes and no call is overlapped.
inline void ExpectContractKept(const char *name, DWORD readSize)
{
    using scripted::Call;
    const auto &calls = scripted::Calls();
    ASSERT_FALSE(calls.empty()) << name;
    EXPECT_EQ(calls.back().call, Call::ExitProcess) << name;
    EXPECT_EQ(scripted::CallsOf(Call::ExitProcess).size(), 1u) << name;
    for (size_t i = 0; i < calls.size(); i++) {
        const auto &c = calls[i];
        if (c.call == Call::ReadFile) {
            EXPECT_EQ(c.value, readSize) << name;
        }
        EXPECT_FALSE(c.overlapped) << name;
        if (c.call == Call::GetLastError) {
            ASSERT_GT(i, 0u) << name;
            EXPECT_NE(calls[i - 1].call, Call::GetLastError) << name << ": code taken twice";
        }
    }
}

// n bytes that differ from seed to seed.
inline std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((size_t)seed * 131 + i * 7 + (i >> 3));
    return s;
}

// The standard handles were taken error, output, input, before anything was
// read, and the first read is of the input handle.
inline void ExpectHandlesTakenErrorOutputInput()
{
    auto handles = scripted::CallsOf(scripted::Call::GetStdHandle);
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_EQ(handles[0].value, STD_ERROR_HANDLE);
    EXPECT_EQ(handles[1].value, STD_OUTPUT_HANDLE);
    EXPECT_EQ(handles[2].value, STD_INPUT_HANDLE);
    EXPECT_EQ(scripted::Calls()[3].call, scripted::Call::ReadFile);
    EXPECT_EQ(scripted::Calls()[3].handle, scripted::kInput);
}

// The scripts the two programs' failure tables are made of.
inline scripted::Script FailStdHandle(DWORD which, DWORD error)
{
    scripted::Script s;
    s.stdHandles[which] = {INVALID_HANDLE_VALUE, error};
    return s;
}

inline scripted::Script WithReads(std::deque<scripted::ReadStep> reads)
{
    scripted::Script s;
    s.reads = std::move(reads);
    return s;
}

inline scripted::Script WithWrites(std::deque<scripted::ReadStep> reads,
                                   std::deque<scripted::WriteStep> writes)
{
    scripted::Script s = WithReads(std::move(reads));
    s.writes[scripted::kOutput] = std::move(writes);
    return s;
}

inline scripted::Script WithCloseFailures(scripted::Script s,
                                          const std::vector<std::pair<HANDLE, DWORD>> &failures)
{
    for (const auto &f : failures)
        s.closes[f.first] = {f.second};
    return s;
}

// A null standard input handle, read (with readError) and closed like any other.
inline scripted::Script NullInput(DWORD readError)
{
    scripted::Script s = WithReads({{"", readError}});
    s.stdHandles[STD_INPUT_HANDLE] = {nullptr, 0};
    return s;
}

// Which handles a run closes, in order: all three, only the error handle,
// output and error, and a null input handle's run.
const std::vector<HANDLE> kAllClosed = {scripted::kInput, scripted::kOutput, scripted::kError};
const std::vector<HANDLE> kErrorClosed = {scripted::kError};
const std::vector<HANDLE> kOutputAndErrorClosed = {scripted::kOutput, scripted::kError};
const std::vector<HANDLE> kNullInputClosed = {nullptr, scripted::kOutput, scripted::kError};

}  // namespace entry_runs

#endif
