// A third implementation of the platform, for unit tests and the fuzzer.
//
// A test scripts what each call returns, runs a program's entry (FilterMain
// or UnfilterMain) with RunEntry, and reads back every call it made, in
// order, with its arguments. ExitProcess hands control back to RunEntry with
// the exit code. Calls left unscripted
// succeed: distinct standard handles, end of input, whole writes, closes.
// A script can go beyond the contract in platform/platform.h where the filter
// must not depend on it (a failed read with a count, a code of 0, a write
// that takes part of a line and succeeds), so that tests show it does not.
// The formatter is the host's own wvsprintfA (platform.h says why).
#ifndef B64FILTER_SCRIPTED_PLATFORM_H
#define B64FILTER_SCRIPTED_PLATFORM_H

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace scripted {

// The handles GetStdHandle gives unless a test says otherwise.
extern const HANDLE kInput;
extern const HANDLE kOutput;
extern const HANDLE kError;

enum class Call { GetStdHandle, ReadFile, WriteFile, CloseHandle, GetLastError, ExitProcess };

struct Record {
    Call call;
    HANDLE handle;     // the handle the call was given or returned
    DWORD value;       // GetStdHandle: which; ReadFile/WriteFile: count asked;
                       // GetLastError: the code given; ExitProcess: the exit code
    std::string data;  // WriteFile: the bytes offered
    DWORD taken;       // WriteFile: how many of them the platform took
    bool overlapped;   // ReadFile/WriteFile: an OVERLAPPED pointer was passed
};

// The failures below are optional codes: a step with a code fails with it,
// and 0 is a code like any other.
typedef std::optional<DWORD> Failure;

struct StdHandleStep {
    HANDLE result;
    DWORD error;  // GetLastError's code when result is INVALID_HANDLE_VALUE
};

// A successful read delivers data (empty: end of input). A failed one
// reports data.size() as its count, which the contract says is 0: a larger
// one is a hostile platform.
struct ReadStep {
    std::string data;
    Failure error = std::nullopt;
};

// A write takes `taken` bytes (kAll: every byte offered; never more than
// offered) and succeeds, or takes them and then fails with error.
struct WriteStep {
    static const DWORD kAll = 0xFFFFFFFFu;
    DWORD taken = kAll;
    Failure error = std::nullopt;
};

struct CloseStep {
    Failure error = std::nullopt;  // the close fails with this code
};

struct Script {
    std::map<DWORD, StdHandleStep> stdHandles;  // by STD_*_HANDLE
    std::deque<ReadStep> reads;
    std::map<HANDLE, std::deque<WriteStep>> writes;  // by handle, in order
    std::map<HANDLE, CloseStep> closes;
};

// Starts a new run: the script to follow and an empty record.
void Reset(const Script &next);
// Runs entry to its ExitProcess and returns the exit code.
DWORD RunEntry(void (*entry)(void));
// Records the run's ExitProcess call. The scripted ExitProcess does, then
// leaves the entry; the emulated image (tests/emulator/emulated_cpu.h),
// whose ExitProcess is no host function, calls it and stops the CPU.
void RecordExit(DWORD exitCode);
// Every call since Reset, in order.
const std::vector<Record> &Calls();

// Conveniences over Calls().
std::vector<Record> CallsOf(Call call);
std::string WrittenTo(HANDLE handle);  // the bytes each write to handle took, joined
std::vector<HANDLE> ClosedHandles();   // in order of the calls

}  // namespace scripted

#endif
