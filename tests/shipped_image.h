// The shipped Windows images that the tests, the copy-loop fuzzer and
// tests/bench/image_counts run on the emulated CPU, each named by an environment
// variable (cmake/tests.cmake sets it): whether one is there, for every
// caller, C++ and Python alike. tests/shipped_image.py answers by the same
// rule for tests/skip-unless and the image's own tests, with the same words,
// and ShippedImage.* holds the two to one answer: the variable unset or
// empty names no image; a path to no file, to one that cannot be read or
// to an empty one, is no image.
#ifndef B64FILTER_SHIPPED_IMAGE_H
#define B64FILTER_SHIPPED_IMAGE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/emulator/emulated_cpu.h"

namespace shipped {

enum class Program {
    kFilter,    // b64filter.exe, B64FILTER_WIN32_IMAGE
    kUnfilter,  // b64unfilter.exe, B64UNFILTER_WIN32_IMAGE
};

// The environment variable that names the program's image.
const char *Variable(Program program);

// A file's bytes; none for a file that is not there or cannot be read.
std::vector<uint8_t> ReadBytes(const std::string &path);

// The image's bytes, or none with why in *missing.
std::vector<uint8_t> File(Program program, std::string *missing);

// The image loaded: null, with why in *missing when there is none, or in
// *fault (after its path) when it does not load.
emulated::MachinePtr Load(Program program, std::string *missing, std::string *fault);

// An image of the tests' own that the win32 tree builds beside the program's
// (build/win32/NAME), loaded: null, with why in *missing when the program's
// image or this one is not there, or in *fault when it does not load.
emulated::MachinePtr LoadBeside(Program program, const std::string &name, std::string *missing,
                                std::string *fault);

// The same, loaded once per program for the process, for tests that run it
// again and again.
emulated::Machine *Image(std::string *missing, std::string *fault, Program program = Program::kFilter);

}  // namespace shipped

#endif
