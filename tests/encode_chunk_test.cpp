// EncodeChunk against RFC 4648's vectors and against OpenSSL's encoder.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "filter/encode_chunk.h"
#include "tests/base64_oracle.h"

namespace {

struct Chunk {
    BYTE input[INPUT_BUFFER_BYTES];
    char line[LINE_BUFFER_BYTES];
};

// Fills both buffers with stale bytes, puts data at the start of the input
// and encodes it; returns the line as EncodeChunk sized it.
std::string Encode(Chunk &chunk, const std::string &data, std::mt19937 &random)
{
    for (BYTE &b : chunk.input)
        b = (BYTE)random();
    for (char &c : chunk.line)
        c = (char)random();
    std::copy(data.begin(), data.end(), chunk.input);
    DWORD length = EncodeChunk(chunk.input, (DWORD)data.size(), chunk.line);
    EXPECT_LE(length, (DWORD)LINE_BUFFER_BYTES);
    return std::string(chunk.line, length);
}

TEST(EncodeChunk, Rfc4648Vectors)
{
    const struct {
        const char *data;
        const char *line;
    } vectors[] = {
        {"f", "Zg==\r\n"},        {"fo", "Zm8=\r\n"},        {"foo", "Zm9v\r\n"},
        {"foob", "Zm9vYg==\r\n"}, {"fooba", "Zm9vYmE=\r\n"}, {"foobar", "Zm9vYmFy\r\n"},
    };
    std::mt19937 random(1);
    Chunk chunk;
    for (const auto &v : vectors)
        EXPECT_EQ(Encode(chunk, v.data, random), v.line) << v.data;
}

// Every count a read can give, with stale bytes of every kind after the data
// (left by an earlier, longer read): the line is OpenSSL's, and the input
// buffer changes only at index n, only when n < 57, and only to 0.
TEST(EncodeChunk, EveryCountMatchesOpenSslWhateverFollowsTheData)
{
    std::mt19937 random(2);
    for (DWORD n = 1; n <= CHUNK_BYTES; n++) {
        for (int trial = 0; trial < 20; trial++) {
            std::string data(n, '\0');
            for (char &c : data)
                c = (char)random();
            Chunk chunk;
            std::string line = Encode(chunk, data, random);
            ASSERT_EQ(line, OracleLine(data)) << "n=" << n;
            ASSERT_EQ(line.size(), 4 * ((n + 2) / 3) + 2) << "n=" << n;
        }
    }
}

TEST(EncodeChunk, WritesTheInputBufferOnlyAtTheCount)
{
    std::mt19937 random(3);
    for (DWORD n = 1; n <= CHUNK_BYTES; n++) {
        Chunk chunk;
        for (BYTE &b : chunk.input)
            b = (BYTE)(random() | 1);  // never 0, so a zeroed byte shows
        BYTE original[INPUT_BUFFER_BYTES];
        std::copy(std::begin(chunk.input), std::end(chunk.input), original);
        EncodeChunk(chunk.input, n, chunk.line);
        for (DWORD i = 0; i < INPUT_BUFFER_BYTES; i++) {
            BYTE expected = (i == n && n < CHUNK_BYTES) ? 0 : original[i];
            ASSERT_EQ(chunk.input[i], expected) << "n=" << n << " index " << i;
        }
    }
}

TEST(EncodeChunk, LineEdges)
{
    std::mt19937 random(4);
    Chunk chunk;
    const struct {
        DWORD n;
        size_t characters;
        const char *ending;
    } edges[] = {
        {1, 4, "=="}, {2, 4, "="}, {3, 4, ""}, {55, 76, "=="}, {56, 76, "="}, {57, 76, ""},
    };
    for (const auto &e : edges) {
        std::string line = Encode(chunk, std::string(e.n, '\xA5'), random);
        ASSERT_EQ(line.size(), e.characters + 2) << e.n;
        std::string text = line.substr(0, e.characters);
        EXPECT_EQ(line.substr(e.characters), "\r\n");
        size_t pads = text.size() - text.find_last_not_of('=') - 1;
        EXPECT_EQ(pads, strlen(e.ending)) << e.n;
    }
}

}  // namespace
