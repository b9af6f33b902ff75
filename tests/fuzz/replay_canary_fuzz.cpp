// A fuzzer that fails on purpose, for tests/fuzz/test_fixed_runs.py: it aborts on
// an input that starts with "b64!", which libFuzzer finds from its compare
// feedback within a few thousand inputs. With B64_CANARY_QUIET set it never
// fails, so a run ends only at its count of inputs.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = getenv("B64_CANARY_QUIET") != nullptr;
    if (!quiet && size >= 4 && memcmp(data, "b64!", 4) == 0)
        abort();
    return 0;
}
