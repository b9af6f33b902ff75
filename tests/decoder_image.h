// The decoder's Windows image, loaded once from the file that
// B64UNFILTER_WIN32_IMAGE names, for the tests and the fuzzer that run it on
// the emulated CPU (as emulated::ShippedImage gives the encoder's).
#ifndef B64FILTER_TESTS_DECODER_IMAGE_H
#define B64FILTER_TESTS_DECODER_IMAGE_H

#include <stdlib.h>

#include <string>
#include <vector>

#include "emulator/emulated_cpu.h"

// The machine, or null with why in *missing (not built) or *fault (it does
// not load).
inline emulated::Machine *DecoderImage(std::string *missing, std::string *fault)
{
    static std::string missingWhy, faultWhy;
    static emulated::MachinePtr machine = [] {
        const char *path = getenv("B64UNFILTER_WIN32_IMAGE");
        std::vector<uint8_t> file = path ? emulated::ReadBytes(path) : std::vector<uint8_t>();
        if (file.empty()) {
            missingWhy = path ? std::string("no Windows image at ") + path +
                                    "; `cmake --preset win32 && cmake --build --preset win32` builds it"
                              : "B64UNFILTER_WIN32_IMAGE names no image";
            return emulated::MachinePtr();
        }
        emulated::MachinePtr loaded = emulated::Load(file, &faultWhy);
        if (!loaded)
            faultWhy = std::string(path) + ": " + faultWhy;
        return loaded;
    }();
    *missing = missingWhy;
    *fault = faultWhy;
    return machine.get();
}

#endif
