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

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "filter/encode_chunk.h"
#include "filter/filter_main.h"
#include "tests/base64_oracle.h"
#include "tests/copy_loop/copy_loop_script.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"

namespace {

using scripted::Call;
using scripted::kError;
using scripted::kOutput;

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

// The image against the host-compiled FilterMain's run of the same script.
void CheckImage(const scripted::Script &script, DWORD hostExitCode)
{
    std::string differs = ImageAgainstHost(*image, script, hostExitCode);
    if (!differs.empty())
        Fail(differs.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string missing, fault;
    image = shipped::Image(&missing, &fault);
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
    HANDLE input;
    scripted::Script script = CopyLoopScript(data, size, &input);
    Expected e = Predict(script, input);
    scripted::Reset(script);
    DWORD exitCode = scripted::RunEntry(FilterMain);

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
