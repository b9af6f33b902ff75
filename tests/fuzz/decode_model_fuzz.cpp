// UnfilterMain over the scripted platform against the model of the rules
// (tests/base64_decoder_model.h), on any text: characters drawn mostly from
// the alphabet, "=", CR and LF, some of any value, as bytes or as units of
// UTF-16 (some with their other byte set), after a byte-order mark or none
// or part of one, in reads of any size from 1 to 4096, which cut marks and
// units anywhere. The output, each write, the message with its position, the exit
// code and the reads made must all be what the model says. The same script
// then drives the decoder's image on the emulated CPU (B64UNFILTER_WIN32_IMAGE),
// which must end in ExitProcess without a fault, with the same exit code and
// the very same call record, call by call.
//
// Input: the fuzzer's bytes pick the text's form, then each read's size and
// the characters that fill it (a kind, then which of it) (FuzzedDataProvider).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/base64_decoder_model.h"
#include "tests/copy_loop/copy_loop_script.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"
#include "unfilter/unfilter_main.h"

namespace {

void Fail(const char *what)
{
    fprintf(stderr, "decoder against the model: %s\n", what);
    abort();
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char TextByte(FuzzedDataProvider &fuzz)
{
    uint8_t kind = fuzz.ConsumeIntegral<uint8_t>();
    if (kind < 176)
        return kAlphabet[fuzz.ConsumeIntegralInRange<size_t>(0, 63)];
    if (kind < 200)
        return '=';
    if (kind < 220)
        return '\r';
    if (kind < 245)
        return '\n';
    return (char)fuzz.ConsumeIntegral<uint8_t>();
}

// The text's start: no mark, each whole mark, or a mark begun (and then
// broken by what follows, or cut by the end).
std::string TextStart(FuzzedDataProvider &fuzz)
{
    static const char *const starts[] = {"",     "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF",
                                         "\xEF", "\xEF\xBB",     "\xFF",     "\xFE"};
    uint8_t kind = fuzz.ConsumeIntegral<uint8_t>();
    if (kind < 64)
        return starts[0];
    if (kind < 240)
        return starts[1 + kind % 3];
    return starts[4 + kind % 4];
}

// A character as the text's form writes it: a byte, or in UTF-16 a unit,
// its other byte 0 but now and then any.
std::string Character(FuzzedDataProvider &fuzz, const std::string &start)
{
    char c = TextByte(fuzz);
    if (start != model::kLeMark && start != model::kBeMark)
        return std::string(1, c);
    char other = fuzz.ConsumeIntegral<uint8_t>() < 8 ? (char)fuzz.ConsumeIntegral<uint8_t>() : '\0';
    return start == model::kLeMark ? std::string{c, other} : std::string{other, c};
}

emulated::Machine *image = nullptr;

// The image against the host-compiled UnfilterMain's run of the same script.
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
    image = shipped::Image(&missing, &fault, shipped::Program::kUnfilter);
    // cppcheck-suppress knownConditionTrueFalse ; the loader's lambda, run once, sets it
    if (!fault.empty()) {
        fprintf(stderr, "decoder against the model: %s\n", fault.c_str());
        abort();
    }
    if (!image)
        fprintf(stderr, "decoder against the model: UnfilterMain on the host only: %s\n", missing.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider fuzz(bytes, size);
    const std::string start = TextStart(fuzz);
    std::string text = start;
    std::vector<size_t> ends;  // where each read ends in the text
    scripted::Script script;
    size_t reads = fuzz.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t r = 0; r < reads && fuzz.remaining_bytes() > 0; r++) {
        // Mostly short reads, as pipes give, and now and then a full one.
        size_t n = fuzz.ConsumeBool() ? fuzz.ConsumeIntegralInRange<size_t>(1, 16)
                                      : fuzz.ConsumeIntegralInRange<size_t>(1, 4096);
        size_t from = ends.empty() ? 0 : ends.back();
        while (text.size() < from + n && fuzz.remaining_bytes() > 0)
            text += Character(fuzz, start);
        if (text.size() == from)
            break;
        script.reads.push_back({text.substr(from, n)});
        ends.push_back(from + script.reads.back().data.size());
    }
    // The text is what the reads give: its characters past the last read
    // are not, nor is the mark of a text with no reads.
    text.resize(ends.empty() ? 0 : ends.back());
    scripted::Reset(script);
    DWORD exitCode = scripted::RunEntry(UnfilterMain);

    model::Decoded m = model::Decode(text);
    std::string where = std::to_string(m.line) + ", column " + std::to_string(m.column) + "\r\n";
    DWORD wantCode = 0;
    std::string wantMessage;
    size_t wantReads = ends.size() + 1;
    if (m.verdict == model::Verdict::Invalid) {
        wantCode = 13;
        wantMessage = "Invalid Base64 input at line " + where;
        // Known at the read that holds the byte that makes it so, or, for
        // a mark or a unit begun at the end, at the read of 0 bytes.
        if (m.stop < text.size()) {
            wantReads = 0;
            while (ends[wantReads] <= m.stop)
                wantReads++;
            wantReads++;
        }
    } else if (m.verdict == model::Verdict::EndsInsideGroup) {
        wantCode = 38;
        wantMessage = "Base64 input ends inside a group at line " + where;
    }
    if (exitCode != wantCode)
        Fail("exit code");
    if (scripted::WrittenTo(scripted::kError) != wantMessage)
        Fail("message");
    if (scripted::CallsOf(scripted::Call::ReadFile).size() != wantReads)
        Fail("reads made");

    std::vector<std::string> wantWrites;
    for (size_t r = 0, from = 0; r < wantReads && r < ends.size(); from = ends[r++]) {
        std::string piece = model::BytesCompletedIn(m, from, ends[r]);
        if (!piece.empty())
            wantWrites.push_back(piece);
    }
    std::vector<std::string> writes;
    for (const scripted::Record &rec : scripted::CallsOf(scripted::Call::WriteFile))
        if (rec.handle == scripted::kOutput)
            writes.push_back(rec.data);
    if (writes != wantWrites)
        Fail("the writes");
    if (image)
        CheckImage(script, exitCode);
    return 0;
}
