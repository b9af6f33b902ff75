// FilterMain over the scripted platform, with a script drawn from the
// fuzzer's bytes: any read sizes, any call failing with any code (0
// included), short writes, writes that fail after taking part of the line,
// failing or short writes of the messages themselves, a null input handle, a
// read that fails yet reports a count. Whatever the script:
// - the output decodes, line by line, to exactly the bytes of the reads made
//   before the first failure, each line offered in full and at most 76
//   characters; a line cut by a short or failed write is a prefix of its own;
// - nothing is read after a failure;
// - the exit code is that of the first failure (29 for a short write), or 0;
//   a failure whose code is 0 exits with its call's fault code instead (6 for
//   a standard handle, 30 for a read, 29 for a write), never with 0;
// - standard error was offered exactly the messages of the failures, in order;
// - every handle acquired is closed once, in the reverse order.
// The same script then drives the shipped image on the emulated CPU
// (B64FILTER_WIN32_IMAGE), which must end in ExitProcess without a fault,
// with the same exit code and the very same call record, call by call.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "filter/encode_chunk.h"
#include "emulator/emulated_cpu.h"
#include "platform/test/scripted_platform.h"
#include "tests/base64_oracle.h"

namespace {

using scripted::Call;
using scripted::kError;
using scripted::kInput;
using scripted::kOutput;

const DWORD kLargestCode = 0xFFFFFFFFu;

void Fail(const char *what)
{
    fprintf(stderr, "copy loop: %s\n", what);
    abort();
}

// The messages, spelled out here rather than taken from the filter's own table.
std::string CodeMessage(const char *call, DWORD code)
{
    return std::string(call) + " returned error " + std::to_string(code) + "\r\n";
}

std::string ShortWriteMessage(DWORD written, DWORD length)
{
    return "WriteFile() failed, " + std::to_string(written) + " of " + std::to_string(length) +
           " characters written\r\n";
}

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

// What the run must look like, worked out from the script alone.
struct Expected {
    DWORD exitCode = 0;
    std::vector<std::string> pieces;  // the data of each read that gives a line
    DWORD lastTaken = 0;              // when the last line's write fell short
    bool lastCut = false;
    size_t reads = 0;
    std::string messages;
    std::vector<HANDLE> closed;
};

scripted::Failure StdHandleFailure(const scripted::Script &script, DWORD which)
{
    auto it = script.stdHandles.find(which);
    if (it == script.stdHandles.end() || it->second.result != INVALID_HANDLE_VALUE)
        return std::nullopt;
    return it->second.error;
}

DWORD ExitCodeOf(DWORD code, DWORD fault)
{
    return code != 0 ? code : fault;
}

// The copy loop as the script drives it: which reads give lines, and how it stops.
void PredictLoop(const scripted::Script &script, Expected &e)
{
    auto writes =
        script.writes.count(kOutput) ? script.writes.at(kOutput) : std::deque<scripted::WriteStep>();
    for (const scripted::ReadStep &read : script.reads) {
        e.reads++;
        if (read.error) {
            if (*read.error != ERROR_BROKEN_PIPE) {
                e.exitCode = ExitCodeOf(*read.error, 30);
                e.messages += CodeMessage("ReadFile()", *read.error);
            }
            return;
        }
        if (read.data.empty())
            return;
        e.pieces.push_back(read.data);
        DWORD length = (DWORD)OracleLine(read.data).size();
        scripted::WriteStep write;
        if (!writes.empty()) {
            write = writes.front();
            writes.pop_front();
        }
        if (write.error || write.taken < length) {
            e.lastCut = true;
            e.lastTaken = write.taken < length ? write.taken : length;
            e.exitCode = write.error ? ExitCodeOf(*write.error, 29) : 29;
            e.messages += write.error ? CodeMessage("WriteFile()", *write.error)
                                      : ShortWriteMessage(write.taken, length);
            return;
        }
    }
    e.reads++;  // past the script every read is the end of input
}

Expected Predict(const scripted::Script &script, HANDLE input)
{
    Expected e;
    if (scripted::Failure code = StdHandleFailure(script, STD_ERROR_HANDLE)) {
        e.exitCode = ExitCodeOf(*code, 6);
        return e;
    }
    std::vector<HANDLE> held = {kError};
    if (scripted::Failure code = StdHandleFailure(script, STD_OUTPUT_HANDLE)) {
        e.exitCode = ExitCodeOf(*code, 6);
        e.messages += CodeMessage("GetStdHandle(STD_OUTPUT_HANDLE)", *code);
    } else {
        held.push_back(kOutput);
        if (scripted::Failure code = StdHandleFailure(script, STD_INPUT_HANDLE)) {
            e.exitCode = ExitCodeOf(*code, 6);
            e.messages += CodeMessage("GetStdHandle(STD_INPUT_HANDLE)", *code);
        } else {
            held.push_back(input);
            PredictLoop(script, e);
        }
    }
    for (auto h = held.rbegin(); h != held.rend(); ++h) {
        e.closed.push_back(*h);
        auto step = script.closes.find(*h);
        if (step != script.closes.end() && step->second.error)
            e.messages += CodeMessage("CloseHandle()", *step->second.error);
    }
    return e;
}

// The bytes a line of Base64 (without CR LF) stands for, by OpenSSL.
std::string Decode(const std::string &text)
{
    if (text.size() % 4 != 0)
        Fail("line length not a multiple of 4");
    std::string bytes(text.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock((unsigned char *)&bytes[0], (const unsigned char *)text.data(), (int)text.size());
    if (n < 0)
        Fail("line does not decode");
    size_t pad = 0;
    while (pad < text.size() && pad < 2 && text[text.size() - 1 - pad] == '=')
        pad++;
    bytes.resize((size_t)n - pad);
    return bytes;
}

void CheckOutput(const Expected &e)
{
    const std::string output = scripted::WrittenTo(kOutput);
    std::vector<scripted::Record> lineWrites;
    for (const auto &w : scripted::CallsOf(Call::WriteFile))
        if (w.handle == kOutput)
            lineWrites.push_back(w);
    if (lineWrites.size() != e.pieces.size())
        Fail("not one write per read");

    size_t at = 0;
    for (size_t i = 0; i < e.pieces.size(); i++) {
        if (lineWrites[i].data != OracleLine(e.pieces[i]))
            Fail("line offered is not the encoding of its read");
        if (e.lastCut && i + 1 == e.pieces.size()) {
            if (output.compare(at, std::string::npos, lineWrites[i].data, 0, e.lastTaken) != 0 ||
                output.size() - at != e.lastTaken)
                Fail("cut line is not what the platform took");
            at = output.size();
            break;
        }
        size_t end = output.find("\r\n", at);
        if (end == std::string::npos)
            Fail("line without CR LF");
        if (end - at > 76)
            Fail("line longer than 76 characters");
        if (Decode(output.substr(at, end - at)) != e.pieces[i])
            Fail("line does not decode to its read");
        at = end + 2;
    }
    if (at != output.size())
        Fail("output beyond the lines of the reads");
}

emulated::Machine *image = nullptr;

bool SameCall(const scripted::Record &a, const scripted::Record &b)
{
    return a.call == b.call && a.handle == b.handle && a.value == b.value && a.data == b.data &&
           a.taken == b.taken && a.overlapped == b.overlapped;
}

// The image against the host-compiled FilterMain's run of the same script.
void CheckImage(const scripted::Script &script, DWORD hostExitCode)
{
    // (A copy: the image's run starts a new record.)
    const std::vector<scripted::Record> host(scripted::Calls().begin(), scripted::Calls().end());
    scripted::Reset(script);
    emulated::Outcome run = emulated::Run(*image);
    if (!run.exited) {
        fprintf(stderr, "copy loop: the image faulted: %s\n", run.fault.c_str());
        abort();
    }
    if (run.exitCode != hostExitCode)
        Fail("the image's exit code is not the host's");
    const std::vector<scripted::Record> &calls = scripted::Calls();
    for (size_t i = 0; i < calls.size() || i < host.size(); i++) {
        if (i >= calls.size() || i >= host.size() || !SameCall(calls[i], host[i])) {
            fprintf(stderr, "copy loop: call %zu of the image differs from the host's\n", i);
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string missing, fault;
    image = emulated::ShippedImage(&missing, &fault);
    if (!fault.empty()) {
        fprintf(stderr, "copy loop: %s\n", fault.c_str());
        abort();
    }
    if (!image)
        fprintf(stderr, "copy loop: FilterMain on the host only: %s\n", missing.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    scripted::Script script;
    HANDLE input = kInput;
    const DWORD which[] = {STD_ERROR_HANDLE, STD_OUTPUT_HANDLE, STD_INPUT_HANDLE};
    for (DWORD std : which)
        if (scripted::Failure code = MaybeFailure(in, 16))
            script.stdHandles[std] = {INVALID_HANDLE_VALUE, *code};
    if (!script.stdHandles.count(STD_INPUT_HANDLE) && in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        input = nullptr;  // a null standard input is read and closed like any other
        script.stdHandles[STD_INPUT_HANDLE] = {input, 0};
    }
    for (HANDLE h : {input, kOutput, kError})
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

    Expected e = Predict(script, input);
    scripted::Reset(script);
    DWORD exitCode = scripted::RunFilter();

    if (exitCode != e.exitCode)
        Fail("exit code is not the first failure's");
    const auto &calls = scripted::Calls();
    if (calls.back().call != Call::ExitProcess || scripted::CallsOf(Call::ExitProcess).size() != 1)
        Fail("process not ended once, at the end");
    auto readCalls = scripted::CallsOf(Call::ReadFile);
    if (readCalls.size() != e.reads)
        Fail("input read after a failure, or not to its end");
    for (const auto &r : readCalls)
        if (r.handle != input || r.value != CHUNK_BYTES || r.overlapped)
            Fail("read of the wrong handle or size");
    CheckOutput(e);

    std::string offered;
    for (const auto &w : scripted::CallsOf(Call::WriteFile))
        if (w.handle == kError)
            offered += w.data;
    if (offered != e.messages)
        Fail("messages are not those of the failures");
    if (scripted::ClosedHandles() != e.closed)
        Fail("handles not closed once each, in reverse order");
    if (image)
        CheckImage(script, exitCode);
    return 0;
}
