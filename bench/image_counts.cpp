// What the shipped image does on the emulated CPU, counted rather than timed,
// so the figures are the same on every run and every machine: instructions
// of its own code per line and per file, and the deepest stack it uses.
// Prints the report's section in Markdown.
//
//     image_counts build/win32/b64filter.exe
#include <stdio.h>

#include <string>
#include <vector>

#include "emulator/emulated_cpu.h"
#include "platform/test/scripted_platform.h"
#include "tests/base64_oracle.h"
#include "tests/shipped_image.h"

namespace {

emulated::Machine *image;

// One run of the image over these reads (then end of input), checked: it
// must end cleanly with the encoding of what it read.
emulated::Outcome RunReads(const std::vector<size_t> &sizes)
{
    scripted::Script script;
    std::string expected;
    for (size_t i = 0; i < sizes.size(); i++) {
        std::string data(sizes[i], '\0');
        for (size_t j = 0; j < data.size(); j++)
            data[j] = (char)(i * 57 + j * 11 + 5);
        script.reads.push_back({data});
        expected += OracleLine(data);
    }
    scripted::Reset(script);
    emulated::Outcome run = emulated::Run(*image);
    if (!run.exited || scripted::WrittenTo(scripted::kOutput) != expected) {
        fprintf(stderr, "image_counts: a run went wrong: %s\n", run.fault.c_str());
        exit(1);
    }
    return run;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: image_counts IMAGE\n");
        return 2;
    }
    std::string fault;
    emulated::MachinePtr machine = emulated::Load(shipped::ReadBytes(argv[1]), &fault);
    if (!machine) {
        fprintf(stderr, "image_counts: %s: %s\n", argv[1], fault.c_str());
        return 1;
    }
    image = machine.get();

    // A line's cost: one more read of n bytes, over the same run without it.
    const uint64_t empty = RunReads({}).instructions;
    auto line = [&](size_t n) { return RunReads({57, n}).instructions - RunReads({57}).instructions; };
    uint64_t fullMin = UINT64_MAX, fullMax = 0;
    for (size_t k = 1; k <= 100; k++) {
        uint64_t cost = (RunReads(std::vector<size_t>(k + 1, 57)).instructions -
                         RunReads(std::vector<size_t>(k, 57)).instructions);
        fullMin = cost < fullMin ? cost : fullMin;
        fullMax = cost > fullMax ? cost : fullMax;
    }
    const emulated::Outcome file = RunReads({57, 43});

    // The deepest stack: a clean run, and a run that writes a message.
    scripted::Script failing;
    failing.reads = {{"", 5}};
    scripted::Reset(failing);
    const emulated::Outcome message = emulated::Run(*image);
    if (!message.exited || message.exitCode != 5) {
        fprintf(stderr, "image_counts: the failing read went wrong: %s\n", message.fault.c_str());
        return 1;
    }

    printf("## The image on an emulated CPU\n\n");
    printf("The shipped `b64filter.exe` run on an emulated i386 CPU (%s), its imports served by the "
           "scripted platform (`emulator/emulated_cpu.h`). These are counts of its own instructions "
           "(the imports are not counted), not times: they are the same on every run and every machine.\n\n",
           emulated::EmulatorName().c_str());
    printf("| what | instructions |\n|---|---|\n");
    printf("| one 57-byte line (read, encode, write: `FilterMain` and `EncodeChunk`) | %llu",
           (unsigned long long)fullMin);
    if (fullMax != fullMin)
        printf(" to %llu", (unsigned long long)fullMax);
    printf(" |\n");
    for (size_t n : {1, 2, 3, 30, 56})
        printf("| one line of a %zu-byte read | %llu |\n", n, (unsigned long long)line(n));
    printf("| empty input, start to `ExitProcess` | %llu |\n", (unsigned long long)empty);
    printf("| a 100-byte file (reads of 57, 43 and 0 bytes), start to `ExitProcess` | %llu |\n\n",
           (unsigned long long)file.instructions);
    printf("Stack: %u bytes at most in a clean run, %u bytes with a message (`PrintFormat`'s buffer), of the "
           "%u bytes the header commits and the %u it reserves.\n\n",
           file.deepestStack, message.deepestStack, emulated::Image(*image).stackCommit,
           emulated::Image(*image).stackReserve);
    return 0;
}
