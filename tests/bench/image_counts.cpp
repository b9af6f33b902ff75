// What the shipped images do on the emulated CPU, counted rather than timed,
// so the figures are the same on every run and every machine: instructions
// of their own code per line and per file, and the deepest stack they use.
// Prints the report's section in Markdown; with the decoder's image too, its
// instructions for one line of the filter's text.
//
//     image_counts build/win32/b64filter.exe [build/win32/b64unfilter.exe]
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/base64_oracle.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"

namespace {

emulated::MachinePtr image;

// The data of the i-th read of a run: bytes that differ from read to read.
std::string ReadData(size_t i, size_t size)
{
    std::string data(size, '\0');
    for (size_t j = 0; j < data.size(); j++)
        data[j] = (char)(i * 57 + j * 11 + 5);
    return data;
}

// One run of `machine` over these reads (then end of input), checked: it
// must end cleanly with this output.
emulated::Outcome RunChecked(emulated::Machine &machine, const scripted::Script &script,
                             const std::string &expected)
{
    scripted::Reset(script);
    emulated::Outcome run = emulated::Run(machine);
    if (!run.exited || run.exitCode != 0 || scripted::WrittenTo(scripted::kOutput) != expected) {
        fprintf(stderr, "image_counts: a run went wrong: %s\n", run.fault.c_str());
        exit(1);
    }
    return run;
}

// The encoder over reads of these sizes: its output is their encoding.
emulated::Outcome RunReads(const std::vector<size_t> &sizes)
{
    scripted::Script script;
    std::string expected;
    for (size_t i = 0; i < sizes.size(); i++) {
        std::string data = ReadData(i, sizes[i]);
        script.reads.push_back({data});
        expected += OracleLine(data);
    }
    return RunChecked(*image, script, expected);
}

// A line as UTF-16LE, each character a unit.
std::string Utf16Le(const std::string &line)
{
    std::string units;
    for (char c : line)
        units += std::string{c, '\0'};
    return units;
}

// The decoder over `lines` reads, each one line of the encoder's text for 57
// bytes (78 characters, CR LF included), or that line as UTF-16LE (156
// bytes, the first read with the mark FF FE before it): its output is those
// bytes.
emulated::Outcome RunLines(emulated::Machine &decoder, size_t lines, bool utf16)
{
    scripted::Script script;
    std::string expected;
    for (size_t i = 0; i < lines; i++) {
        std::string data = ReadData(i, 57);
        std::string line = OracleLine(data);
        script.reads.push_back({utf16 ? (i == 0 ? "\xFF\xFE" : "") + Utf16Le(line) : line});
        expected += data;
    }
    return RunChecked(decoder, script, expected);
}

// The fewest and the most instructions that one more step costs, from k to
// k + 1 steps for k = 1 .. 100.
void StepCost(const std::function<uint64_t(size_t)> &run, uint64_t *fewest, uint64_t *most)
{
    *fewest = UINT64_MAX;
    *most = 0;
    uint64_t before = run(1);
    for (size_t k = 1; k <= 100; k++) {
        uint64_t after = run(k + 1), cost = after - before;
        *fewest = cost < *fewest ? cost : *fewest;
        *most = cost > *most ? cost : *most;
        before = after;
    }
}

void PrintRange(uint64_t fewest, uint64_t most)
{
    printf("%llu", (unsigned long long)fewest);
    if (most != fewest)
        printf(" to %llu", (unsigned long long)most);
}

emulated::MachinePtr LoadOrExit(const char *path)
{
    std::string fault;
    emulated::MachinePtr machine = emulated::Load(shipped::ReadBytes(path), &fault);
    if (!machine) {
        fprintf(stderr, "image_counts: %s: %s\n", path, fault.c_str());
        exit(1);
    }
    return machine;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: image_counts ENCODER-IMAGE [DECODER-IMAGE]\n");
        return 2;
    }
    image = LoadOrExit(argv[1]);

    // A line's cost: one more read of n bytes, over the same run without it.
    const uint64_t empty = RunReads({}).instructions;
    auto line = [&](size_t n) { return RunReads({57, n}).instructions - RunReads({57}).instructions; };
    uint64_t fullMin, fullMax;
    StepCost([](size_t k) { return RunReads(std::vector<size_t>(k, 57)).instructions; }, &fullMin, &fullMax);
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
           "scripted platform (`tests/emulator/emulated_cpu.h`). These are counts of its own instructions "
           "(the imports are not counted), not times: they are the same on every run and every machine.\n\n",
           emulated::EmulatorName().c_str());
    printf("| what | instructions |\n|---|---|\n");
    printf("| one 57-byte line (read, encode, write: `FilterMain` and `EncodeChunk`) | ");
    PrintRange(fullMin, fullMax);
    printf(" |\n");
    for (size_t n : {1, 2, 3, 30, 56})
        printf("| one line of a %zu-byte read | %llu |\n", n, (unsigned long long)line(n));
    printf("| empty input, start to `ExitProcess` | %llu |\n", (unsigned long long)empty);
    printf("| a 100-byte file (reads of 57, 43 and 0 bytes), start to `ExitProcess` | %llu |\n",
           (unsigned long long)file.instructions);
    if (argc == 3) {
        emulated::MachinePtr decoder = LoadOrExit(argv[2]);
        for (bool utf16 : {false, true}) {
            uint64_t lineMin, lineMax;
            StepCost([&](size_t k) { return RunLines(*decoder, k, utf16).instructions; }, &lineMin, &lineMax);
            const char *what =
                utf16 ? "the same line as UTF-16LE (156 bytes), read alone"
                      : "one 78-byte line of the filter's text, read alone (read, decode, write: "
                        "`UnfilterMain` and `DecodeChunk`)";
            printf("| `b64unfilter.exe`: %s | ", what);
            PrintRange(lineMin, lineMax);
            printf(" |\n");
        }
    }
    printf("\n");
    printf("Stack: %u bytes at most in a clean run, %u bytes with a message (`PrintFormat`'s buffer), of the "
           "%u bytes the header commits and the %u it reserves.\n\n",
           file.deepestStack, message.deepestStack, emulated::Image(*image).stackCommit,
           emulated::Image(*image).stackReserve);
    return 0;
}
