// EncodeChunk beside OpenSSL's EVP_EncodeBlock, on the same bytes in the same
// process: one benchmark per line size n, 1 to 57 (57 is a full line). And
// the decoder's DecodeChunk beside EVP_DecodeBlock on the same lines of
// text: the filter's own 78-byte lines (76 characters and CR LF).
//
// Each steps through the same 64 KiB of random lines, one line per
// iteration, so none gains from coding one line over and over. Before any
// timing, every size is checked: the two encoders must produce the same
// characters, and both decoders give back each line's bytes, or the
// comparison means nothing and the program fails.
//
// Extra flag: --check-only runs that check and exits.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "filter/encode_chunk.h"
#include "unfilter/decode_chunk.h"

namespace {

// Lines are laid out as the filter's input buffer is: each in a slot of
// INPUT_BUFFER_BYTES, since EncodeChunk may write the byte after the data.
constexpr int kLines = 1024;

// A line of the filter's text: 76 characters and CR LF for 57 bytes.
constexpr int kTextLine = 78;

struct Lines {
    BYTE input[kLines][INPUT_BUFFER_BYTES];
    // The first 57 bytes of each input as made (EncodeChunk may write the
    // byte after a shorter line's data), and their encoding.
    BYTE original[kLines][CHUNK_BYTES];
    BYTE text[kLines][kTextLine];
};

Lines &SharedLines()
{
    static Lines lines = [] {
        Lines made;
        std::mt19937 random(57);
        for (auto &slot : made.input)
            for (BYTE &b : slot)
                b = (BYTE)random();
        for (int i = 0; i < kLines; i++) {
            char line[LINE_BUFFER_BYTES];
            std::memcpy(made.original[i], made.input[i], CHUNK_BYTES);
            EncodeChunk(made.input[i], CHUNK_BYTES, line);
            std::memcpy(made.text[i], line, kTextLine);
        }
        return made;
    }();
    return lines;
}

void BM_EncodeChunk(benchmark::State &state)
{
    const DWORD n = (DWORD)state.range(0);
    Lines &lines = SharedLines();
    char line[LINE_BUFFER_BYTES];
    int next = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): it only counts the runs
        DWORD length = EncodeChunk(lines.input[next], n, line);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
        next = (next + 1) & (kLines - 1);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

void BM_EVP_EncodeBlock(benchmark::State &state)
{
    const int n = (int)state.range(0);
    Lines &lines = SharedLines();
    unsigned char line[LINE_BUFFER_BYTES];
    int next = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): it only counts the runs
        int length = EVP_EncodeBlock(line, lines.input[next], n);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
        next = (next + 1) & (kLines - 1);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

// As UnfilterMain does, one state for the whole text, line after line.
void BM_DecodeChunk(benchmark::State &state)
{
    Lines &lines = SharedLines();
    BYTE decoded[DECODED_BUFFER_BYTES];
    DecodeState decoding;
    StartDecoding(&decoding);
    int next = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): it only counts the runs
        DWORD count;
        BOOL valid = DecodeChunk(&decoding, lines.text[next], kTextLine, decoded, &count);
        benchmark::DoNotOptimize(valid);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
        next = (next + 1) & (kLines - 1);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kTextLine);
}

void BM_EVP_DecodeBlock(benchmark::State &state)
{
    Lines &lines = SharedLines();
    unsigned char decoded[DECODED_BUFFER_BYTES];
    int next = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): it only counts the runs
        int count = EVP_DecodeBlock(decoded, lines.text[next], kTextLine);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
        next = (next + 1) & (kLines - 1);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kTextLine);
}

// Both decoders give back each line's 57 bytes (EVP_DecodeBlock strips the
// CR LF at the end). Returns false and says where when one does not.
bool DecodersAgree()
{
    Lines &lines = SharedLines();
    DecodeState decoding;
    StartDecoding(&decoding);
    for (int i = 0; i < kLines; i++) {
        BYTE ours[DECODED_BUFFER_BYTES];
        unsigned char theirs[DECODED_BUFFER_BYTES];
        DWORD count = 0;
        BOOL valid = DecodeChunk(&decoding, lines.text[i], kTextLine, ours, &count);
        int expected = EVP_DecodeBlock(theirs, lines.text[i], kTextLine);
        if (!valid || count != CHUNK_BYTES || expected != CHUNK_BYTES ||
            std::memcmp(ours, lines.original[i], CHUNK_BYTES) != 0 ||
            std::memcmp(theirs, lines.original[i], CHUNK_BYTES) != 0) {
            std::fprintf(stderr, "encode_bench: DecodeChunk or EVP_DecodeBlock does not give back line %d\n",
                         i);
            return false;
        }
    }
    return true;
}

// The two encoders agree on every size (EncodeChunk adds CR LF, OpenSSL a
// terminating zero). Returns false and says where when they do not.
bool EncodersAgree()
{
    Lines &lines = SharedLines();
    for (DWORD n = 1; n <= CHUNK_BYTES; n++) {
        for (int i = 0; i < kLines; i++) {
            char ours[LINE_BUFFER_BYTES];
            unsigned char theirs[LINE_BUFFER_BYTES];
            DWORD length = EncodeChunk(lines.input[i], n, ours);
            int expected = EVP_EncodeBlock(theirs, lines.input[i], (int)n);
            if (length != (DWORD)expected + 2 || std::memcmp(ours, theirs, expected) != 0 ||
                ours[expected] != '\r' || ours[expected + 1] != '\n') {
                std::fprintf(stderr,
                             "encode_bench: EncodeChunk and EVP_EncodeBlock differ at n=%u, line %d\n",
                             (unsigned)n, i);
                return false;
            }
        }
    }
    return true;
}

// Pairs sit next to each other in the run, size by size, full lines first,
// and the decoders' pair last.
void RegisterPairs()
{
    for (int n = CHUNK_BYTES; n >= 1; n--) {
        benchmark::RegisterBenchmark("EncodeChunk", BM_EncodeChunk)->Arg(n);
        benchmark::RegisterBenchmark("EVP_EncodeBlock", BM_EVP_EncodeBlock)->Arg(n);
    }
    benchmark::RegisterBenchmark("DecodeChunk", BM_DecodeChunk)->Arg(kTextLine);
    benchmark::RegisterBenchmark("EVP_DecodeBlock", BM_EVP_DecodeBlock)->Arg(kTextLine);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!EncodersAgree() || !DecodersAgree())
        return 1;
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], "--check-only") == 0)
            return 0;
    RegisterPairs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
