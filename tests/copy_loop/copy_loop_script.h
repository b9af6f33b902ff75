// The copy-loop fuzzer's scripts: what its bytes make of the scripted
// platform (any read sizes, any call failing with any code, short writes, a
// null input handle, ...), so that the fuzzer and the image's mutation run
// (tests/image_mutants.cpp) read the committed corpus the same way.
#ifndef B64FILTER_COPY_LOOP_SCRIPT_H
#define B64FILTER_COPY_LOOP_SCRIPT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"

// The script the bytes stand for, and in *input the input handle it gives.
scripted::Script CopyLoopScript(const uint8_t *data, size_t size, HANDLE *input);

// Whether two call records are the same call by call; if not, *differsAt is
// the first call that differs (or the end of the shorter).
bool SameCalls(const std::vector<scripted::Record> &a, const std::vector<scripted::Record> &b,
               size_t *differsAt);

// Runs the script again on the image, right after the host-compiled entry's
// run of it (whose record scripted::Calls() still holds), and says how the
// image's run differs: a fault, another exit code, a call not the host's; ""
// when it is the same run.
std::string ImageAgainstHost(emulated::Machine &image, const scripted::Script &script, DWORD hostExitCode);

#endif
