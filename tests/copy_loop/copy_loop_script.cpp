#include "tests/copy_loop/copy_loop_script.h"

#include B64FILTER_FUZZED_DATA_PROVIDER  // tests/CMakeLists.txt finds it

#include "filter/encode_chunk.h"
#include "tests/base64_oracle.h"

namespace {

using scripted::kError;
using scripted::kInput;
using scripted::kOutput;

const DWORD kLargestCode = 0xFFFFFFFFu;

// Any code a failure can give: 0 now and then, since it must still end
// the run as a failure.
DWORD AnyCode(FuzzedDataProvider &in)
{
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return 0;
    return in.ConsumeIntegralInRange<DWORD>(1, kLargestCode);
}

// Most calls succeed, so that runs get long; one in `odds` fails.
scripted::Failure MaybeFailure(FuzzedDataProvider &in, int odds)
{
    if (in.ConsumeIntegralInRange<int>(1, odds) != 1)
        return std::nullopt;
    return AnyCode(in);
}

// The write of a line of `length` bytes: mostly whole; now and then failing
// after taking any part of it, or taking one byte less, or any number of
// bytes less.
scripted::WriteStep WriteStepFrom(FuzzedDataProvider &in, DWORD length)
{
    scripted::WriteStep step;
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
        step.taken = in.ConsumeIntegralInRange<DWORD>(0, length - 1);
        step.error = AnyCode(in);
        break;
    case 1:
        step.taken = length - 1;
        break;
    case 2:
        step.taken = in.ConsumeIntegralInRange<DWORD>(0, length - 1);
        break;
    }
    return step;
}

scripted::ReadStep ReadStepFrom(FuzzedDataProvider &in)
{
    scripted::ReadStep step;
    switch (in.ConsumeIntegralInRange<int>(0, 31)) {
    case 0:  // end of input
        break;
    case 1:  // the writer closed the pipe; now and then with a bogus count
        step.error = ERROR_BROKEN_PIPE;
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
            step.data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 57));
        break;
    case 2:
        step.error = AnyCode(in);
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
            step.data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 57));
        break;
    default:
        step.data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 57));
        if (step.data.empty())  // the fuzzer's bytes ran out: a byte of zero
            step.data = std::string(1, '\0');
    }
    return step;
}

}  // namespace

scripted::Script CopyLoopScript(const uint8_t *data, size_t size, HANDLE *input)
{
    FuzzedDataProvider in(data, size);
    scripted::Script script;
    *input = kInput;
    const DWORD which[] = {STD_ERROR_HANDLE, STD_OUTPUT_HANDLE, STD_INPUT_HANDLE};
    for (DWORD std : which)
        if (scripted::Failure code = MaybeFailure(in, 16))
            script.stdHandles[std] = {INVALID_HANDLE_VALUE, *code};
    if (!script.stdHandles.count(STD_INPUT_HANDLE) && in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        *input = nullptr;  // a null standard input is read and closed like any other
        script.stdHandles[STD_INPUT_HANDLE] = {*input, 0};
    }
    for (HANDLE h : {*input, kOutput, kError})
        script.closes[h].error = MaybeFailure(in, 8);
    // A message, which is shorter than a line buffer, may be written in
    // part or not at all.
    for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; i--)
        script.writes[kError].push_back(WriteStepFrom(in, LINE_BUFFER_BYTES));

    // Each read that delivers data is followed by the write of its line.
    size_t reads = in.ConsumeIntegralInRange<size_t>(0, 80);
    for (size_t i = 0; i < reads; i++) {
        script.reads.push_back(ReadStepFrom(in));
        const scripted::ReadStep &read = script.reads.back();
        if (!read.error && !read.data.empty())
            script.writes[kOutput].push_back(WriteStepFrom(in, (DWORD)OracleLine(read.data).size()));
    }
    return script;
}

bool SameCalls(const std::vector<scripted::Record> &a, const std::vector<scripted::Record> &b,
               size_t *differsAt)
{
    for (size_t i = 0; i < a.size() || i < b.size(); i++) {
        if (i >= a.size() || i >= b.size() || a[i].call != b[i].call || a[i].handle != b[i].handle ||
            a[i].value != b[i].value || a[i].data != b[i].data || a[i].taken != b[i].taken ||
            a[i].overlapped != b[i].overlapped) {
            *differsAt = i;
            return false;
        }
    }
    return true;
}

std::string ImageAgainstHost(emulated::Machine &image, const scripted::Script &script, DWORD hostExitCode)
{
    // (A copy: the image's run starts a new record.)
    const std::vector<scripted::Record> host(scripted::Calls().begin(), scripted::Calls().end());
    scripted::Reset(script);
    emulated::Outcome run = emulated::Run(image);
    if (!run.exited)
        return "the image faulted: " + run.fault;
    if (run.exitCode != hostExitCode)
        return "the image's exit code is not the host's";
    size_t differs = 0;
    if (!SameCalls(scripted::Calls(), host, &differs))
        return "call " + std::to_string(differs) + " of the image differs from the host's";
    return "";
}
