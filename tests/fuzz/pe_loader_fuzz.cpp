// The loader on any bytes: the PE loader on its own, then the CPU's mapping
// of what it loaded and a short run of whatever code that is. Every read and
// write of the file and of the image is bounded (AddressSanitizer sees the
// image's buffer at its exact size); a refusal says why; what the PE loader
// accepts keeps the layout the CPU maps from: the headers first, then each
// section on whole pages of its own, in order, inside the image (checked
// before the mapping, which would refuse some of it with a fault of its
// own); and a run ends in ExitProcess or in a fault it names, never in both
// or neither.
//
// Seeds: tests/emulator/tiny_pe.h's image and the shipped b64filter.exe.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"

namespace {

void Fail(const std::string &why)
{
    fprintf(stderr, "pe loader: %s\n", why.c_str());
    abort();
}

void CheckLayout(const emulated::LoadedImage &image)
{
    const uint64_t size = image.memory.size();
    if (size == 0 || size % emulated::kPage || size > emulated::kLargestImage)
        Fail("an image of " + emulated::Hex(size) + " bytes");
    if (image.sections.empty() || image.sections[0].name != "headers" || image.sections[0].rva != 0)
        Fail("the headers are not the first part of the image");
    uint64_t end = 0;
    for (const emulated::LoadedSection &s : image.sections) {
        if (s.rva % emulated::kPage || s.size % emulated::kPage || s.size == 0)
            Fail("section " + s.name + " not on whole pages");
        if (s.rva < end || (uint64_t)s.rva + s.size > size)
            Fail("section " + s.name + " overlaps the one before it or runs past the image");
        if (s.content == 0 || s.content > s.size)
            Fail("section " + s.name + " holds " + emulated::Hex(s.content) + " of its " +
                 emulated::Hex(s.size));
        end = (uint64_t)s.rva + s.size;
    }
    if (image.stackReserve < 2 * emulated::kPage || image.stackReserve > emulated::kLargestImage ||
        image.stackCommit > image.stackReserve)
        Fail("a stack of " + emulated::Hex(image.stackReserve) + ", committed " +
             emulated::Hex(image.stackCommit));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> file(data, data + size);
    emulated::LoadedImage image;
    std::string fault;
    if (!emulated::LoadPe(file, emulated::kImageBase, emulated::ImportEntry, &image, &fault)) {
        if (fault.empty())
            Fail("refused without saying why");
        return 0;
    }
    CheckLayout(image);
    emulated::MachinePtr machine = emulated::Load(file, &fault);
    if (!machine) {
        if (fault.empty())
            Fail("refused without saying why");
        return 0;
    }
    scripted::Reset(scripted::Script());
    emulated::Outcome run = emulated::Run(*machine, 2000);
    if (run.exited == !run.fault.empty())
        Fail(run.exited ? "exited, yet faulted: " + run.fault : "neither exited nor faulted");
    return 0;
}
