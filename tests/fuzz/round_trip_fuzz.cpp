// The encoder and then the decoder, both over the scripted platform: any
// bytes, given to FilterMain in reads of any size from 1 to 57; its text,
// as it is or saved as Windows saves text (after UTF-8's byte-order mark,
// or as UTF-16LE or BE after theirs), cut anew into reads of any size from
// 1 to 4096, given to UnfilterMain.
// The decoder must give back exactly the bytes, with exit code 0 and nothing
// on standard error, in one write for each read that completes a group.
//
// Input: the bytes to encode, each read's size, how the text is saved and
// each cut of it all drawn from the fuzzer's bytes (FuzzedDataProvider).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "filter/filter_main.h"
#include "tests/base64_decoder_model.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "unfilter/unfilter_main.h"

namespace {

void Fail(const char *what)
{
    fprintf(stderr, "round trip: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider fuzz(bytes, size);
    std::string data = fuzz.ConsumeBytesAsString(fuzz.ConsumeIntegralInRange<size_t>(0, 8000));

    scripted::Script encoding;
    for (size_t at = 0; at < data.size();) {
        size_t n = fuzz.ConsumeIntegralInRange<size_t>(1, 57);
        encoding.reads.push_back({data.substr(at, n)});
        at += n;
    }
    scripted::Reset(encoding);
    if (scripted::RunEntry(FilterMain) != 0)
        Fail("the encoder failed");
    const std::string written = scripted::WrittenTo(scripted::kOutput);
    // The text as saved, and how many of its bytes make a character: the
    // mark's come first, and a character ends with its last byte.
    std::string text = written;
    size_t mark = 0, unit = 1;
    switch (fuzz.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
        text = model::kUtf8Mark + written;
        mark = 3;
        break;
    case 2:
        text = model::kLeMark + model::Units(written, false);
        mark = 2, unit = 2;
        break;
    case 3:
        text = model::kBeMark + model::Units(written, true);
        mark = 2, unit = 2;
        break;
    }

    scripted::Script decoding;
    for (size_t at = 0; at < text.size();) {
        size_t n = fuzz.ConsumeIntegralInRange<size_t>(1, 4096);
        std::string piece = text.substr(at, n);
        decoding.reads.push_back({piece});
        at += piece.size();
    }
    scripted::Reset(decoding);
    DWORD exitCode = scripted::RunEntry(UnfilterMain);
    if (exitCode != 0)
        Fail("the decoder failed");
    if (scripted::WrittenTo(scripted::kOutput) != data)
        Fail("the decoder gave other bytes");
    if (!scripted::WrittenTo(scripted::kError).empty())
        Fail("the decoder wrote a message");

    // One write per read that completes a group: the characters seen so far,
    // CR and LF left out, pass a multiple of four in that read (a character
    // is seen once its last byte is).
    size_t characters = 0, completing = 0, at = 0;
    for (const scripted::ReadStep &read : decoding.reads) {
        size_t before = characters / 4;
        for (size_t end = at + read.data.size(); at < end; at++) {
            bool last = at >= mark && (at - mark) % unit == unit - 1;
            characters += last && written[(at - mark) / unit] != '\r' && written[(at - mark) / unit] != '\n';
        }
        completing += characters / 4 != before;
    }
    size_t writes = 0;
    for (const scripted::Record &r : scripted::CallsOf(scripted::Call::WriteFile))
        writes += r.handle == scripted::kOutput;
    if (writes != completing)
        Fail("not one write per read that completes a group");
    return 0;
}
