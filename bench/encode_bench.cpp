// EncodeChunk beside OpenSSL's EVP_EncodeBlock, on the same bytes in the same
// process: one benchmark per line size n, 1 to 57 (57 is a full line).
//
// Both encoders step through the same 64 KiB of random lines, one line per
// iteration, so neither gains from encoding one line over and over. Before any
// timing, every size is checked: the two must produce the same characters, or
// the comparison means nothing and the program fails.
//
// Extra flag: --check-only runs that check and exits.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "filter/encode_chunk.h"

namespace {

// Lines are laid out as the filter's input buffer is: each in a slot of
// INPUT_BUFFER_BYTES, since EncodeChunk may write the byte after the data.
constexpr int kLines = 1024;

struct Lines {
    BYTE input[kLines][INPUT_BUFFER_BYTES];
};

Lines &SharedLines()
{
    static Lines lines = [] {
        Lines made;
        std::mt19937 random(57);
        for (auto &slot : made.input)
            for (BYTE &b : slot)
                b = (BYTE)random();
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
    for (auto _ : state) {
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
    for (auto _ : state) {
        int length = EVP_EncodeBlock(line, lines.input[next], n);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
        next = (next + 1) & (kLines - 1);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
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
                std::fprintf(stderr, "encode_bench: EncodeChunk and EVP_EncodeBlock differ at n=%u, line %d\n",
                             (unsigned)n, i);
                return false;
            }
        }
    }
    return true;
}

// Pairs sit next to each other in the run, size by size, full lines first.
void RegisterPairs()
{
    for (int n = CHUNK_BYTES; n >= 1; n--) {
        benchmark::RegisterBenchmark("EncodeChunk", BM_EncodeChunk)->Arg(n);
        benchmark::RegisterBenchmark("EVP_EncodeBlock", BM_EVP_EncodeBlock)->Arg(n);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (!EncodersAgree())
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
