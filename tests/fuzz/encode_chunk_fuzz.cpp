// EncodeChunk on any count and any bytes, with any stale bytes after the data
// and in the line buffer. The line must be OpenSSL's encoding with CR LF, of
// 4 * ceil(n / 3) + 2 bytes, and the input buffer may change only at index n
// (to 0, when n < 57). The buffers are allocated at their exact sizes, so
// AddressSanitizer sees any access past either of them.
//
// Input: one byte that picks n (1 to 57), then the 60 bytes of the input
// buffer (data first, stale bytes after), then the 80 bytes of the line
// buffer; what is missing reads as zero.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "filter/encode_chunk.h"
#include "tests/base64_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    DWORD count = 1 + data[0] % CHUNK_BYTES;
    data++;
    size--;

    uint8_t initial[INPUT_BUFFER_BYTES + LINE_BUFFER_BYTES] = {};
    memcpy(initial, data, size < sizeof initial ? size : sizeof initial);

    std::unique_ptr<BYTE[]> input(new BYTE[INPUT_BUFFER_BYTES]);
    std::unique_ptr<char[]> line(new char[LINE_BUFFER_BYTES]);
    memcpy(input.get(), initial, INPUT_BUFFER_BYTES);
    memcpy(line.get(), initial + INPUT_BUFFER_BYTES, LINE_BUFFER_BYTES);

    DWORD length = EncodeChunk(input.get(), count, line.get());

    std::string expected = OracleLine(std::string((const char *)initial, count));
    if (length != 4 * ((count + 2) / 3) + 2 || length != expected.size())
        abort();
    if (std::string(line.get(), length) != expected)
        abort();
    for (DWORD i = 0; i < INPUT_BUFFER_BYTES; i++) {
        BYTE want = (i == count && count < CHUNK_BYTES) ? 0 : initial[i];
        if (input[i] != want)
            abort();
    }
    return 0;
}
