// EncodeChunk on every input of its domain (notes/proof.md): for every count
// 1 to 57, 2^24 lines that put every value of a group at every place, and
// every tail with every byte past the data that the tail's word load reads.
// Each line must be RFC 4648's with CR LF; the input must change only at
// index count (below 57), and nothing past the line may be written.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>

#include "filter/encode_chunk.h"
#include "tests/proof/encoder_line.h"
#include "tests/proof/shards.h"

namespace {

using proof::GroupValue;

// What the buffers hold before a call, where a fault would leave it or show
// it: never 0, a character, "=", CR or LF.
uint8_t Stale(unsigned at)
{
    return (uint8_t)(0x80 | (at * 37));
}
const uint8_t kLineSentinel = 0xA5;

// Line L's bytes for count: its groups, then its tail and the bytes past
// the tail that its word load reads, which L's 24 bits give together (every
// tail with every such byte over the 2^24 lines). Every other byte is left
// as it was: stale, or the data of the line before at the same count.
void FillInput(uint32_t line, unsigned count, uint8_t input[INPUT_BUFFER_BYTES])
{
    const unsigned groups = count / 3, tail = count % 3;
    for (unsigned j = 0; j < groups; j++) {
        proof::PutGroup(input + 3 * (size_t)j, GroupValue(line, j));
    }
    uint8_t *at = input + 3 * (size_t)groups;
    if (tail == 1) {  // data, (zeroed), read, read
        at[0] = (uint8_t)line;
        at[2] = (uint8_t)(line >> 8);
        at[3] = (uint8_t)(line >> 16);
    } else if (tail == 2) {  // data, data, (zeroed), read
        at[0] = (uint8_t)line;
        at[1] = (uint8_t)(line >> 8);
        at[3] = (uint8_t)(line >> 16);
    } else if (count == CHUNK_BYTES) {  // the last group's fourth byte, never written
        input[CHUNK_BYTES] = (uint8_t)(line >> 5);
    }
    if (count < CHUNK_BYTES)
        input[count] = Stale(count);  // which the call must zero
}

std::string SweepCount(unsigned count, unsigned shard, unsigned shards)
{
    const proof::Alphabet alphabet;
    proof::Findings findings;
    uint64_t from, to;
    proof::ShardRange(proof::kGroupValues, shard, shards, &from, &to);
    uint8_t input[INPUT_BUFFER_BYTES], before[INPUT_BUFFER_BYTES];
    char line[LINE_BUFFER_BYTES], expected[LINE_BUFFER_BYTES];
    for (unsigned at = 0; at < INPUT_BUFFER_BYTES; at++)
        input[at] = Stale(at);
    memset(expected, kLineSentinel, sizeof expected);
    for (uint32_t l = (uint32_t)from; l < to; l++) {
        FillInput(l, count, input);
        memcpy(before, input, sizeof before);
        if (count < CHUNK_BYTES)
            before[count] = 0;
        memset(line, kLineSentinel, sizeof line);
        const unsigned length = proof::ExpectedLine(alphabet, input, count, expected);

        const DWORD got = EncodeChunk(input, count, line);
        if (got != length || memcmp(line, expected, sizeof line) != 0 ||
            memcmp(input, before, sizeof input) != 0) {
            findings.Add("count " + std::to_string(count) + ", line " + proof::Hex(l) + ": returned " +
                         std::to_string(got) + " for " + std::to_string(length) + ", line buffer \"" +
                         proof::Escaped(std::string(line, sizeof line)) + "\" for \"" +
                         proof::Escaped(std::string(expected, sizeof expected)) + "\"" +
                         (memcmp(input, before, sizeof input) ? ", input changed" : ""));
            memcpy(input, before, sizeof input);
        }
    }
    return findings.Report();
}

TEST(EncoderProof, EveryCountGroupAndTail)
{
    for (unsigned count = 1; count <= CHUNK_BYTES; count++) {
        auto start = std::chrono::steady_clock::now();
        const std::string found = proof::InThreads(
            [count](unsigned shard, unsigned shards) { return SweepCount(count, shard, shards); });
        EXPECT_EQ(found, "") << "count " << count;
        if (count == 1 || count == 57)
            printf("count %u: %.2f s\n", count,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

}  // namespace
