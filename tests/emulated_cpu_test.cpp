// The emulated CPU's own checks: each fault a run of the image must catch,
// planted in the loaded image as machine code at its entry point, must stop
// the run saying what happened and where. (The FilterMain tests show that
// the image as shipped runs without a fault.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/emulated_cpu.h"
#include "platform/test/scripted_platform.h"

namespace {

std::vector<uint8_t> Word(uint32_t w)
{
    return {(uint8_t)w, (uint8_t)(w >> 8), (uint8_t)(w >> 16), (uint8_t)(w >> 24)};
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Planted {
    const char *name;
    std::vector<uint8_t> code;  // put at the entry point
    std::vector<std::string> said;
};

TEST(EmulatedImage, PlantedFaultsStopTheRunSayingWhatAndWhere)
{
    std::string missing;
    std::vector<uint8_t> file = emulated::ShippedImageFile(&missing);
    if (file.empty())
        GTEST_SKIP() << missing;
    const uint32_t entry = emulated::kImageBase;               // plus the entry point, below
    const std::vector<uint8_t> callNext = {0xE8, 0, 0, 0, 0};  // call the next instruction
    const std::vector<Planted> planted = {
        {"a write into the image",
         Join({{0xB8}, Word(entry + 0x1000), {0x89, 0x00}}),  // mov eax, X; mov [eax], eax
         {"write to memory that is not writable, 4 bytes at", "(.code+0x0)", "by the instruction at"}},
        {"a jump to the stack",
         Join({{0xB8}, Word(emulated::kStackTop - 64), {0xFF, 0xE0}}),  // jmp eax
         {"instruction fetched outside .code at", "(the stack, 0x40 below its top)"}},
        {"a read of nothing", {0xA1, 0, 0, 0, 0}, {"read of unmapped memory, 4 bytes at 0x0 (unmapped)"}},
        {"a push not popped",
         Join({callNext, {0x50, 0xC3}}),  // push eax; ret
         {"ret at", "the stack does not balance"}},
        {"a return address overwritten",
         Join({callNext, {0xC7, 0x04, 0x24}, Word(0x1234), {0xC3}}),
         {"was overwritten with 0x1234"}},
        {"the entry returning",
         {0xC3},
         {"the entry point returned to the loader instead of calling ExitProcess"}},
        {"a frame past the guard page",
         Join({{0x81, 0xEC}, Word(0x3000), {0x89, 0x04, 0x24}}),
         {"stack touched at", "below its guard page at", "(the stack, 0x2000 below its top)"}},
        {"a loop for ever", {0xEB, 0xFE}, {"ran past its limit of 1000 instructions, at"}},
    };
    for (const Planted &p : planted) {
        std::string fault;
        emulated::MachinePtr m = emulated::Load(file, &fault);
        ASSERT_TRUE(m) << fault;
        emulated::Patch(*m, emulated::Image(*m).entry, p.code);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m, 1000);
        EXPECT_FALSE(run.exited) << p.name;
        for (const std::string &text : p.said)
            EXPECT_NE(run.fault.find(text), std::string::npos) << p.name << ": " << run.fault;
    }
}

// The loader takes the seven imports and nothing else.
TEST(EmulatedImage, AnImportNotAmongTheSevenFailsTheLoad)
{
    std::string missing;
    std::vector<uint8_t> file = emulated::ShippedImageFile(&missing);
    if (file.empty())
        GTEST_SKIP() << missing;
    const std::string from = std::string("GetLastError") + '\0', to = std::string("GetVersion\0\0\0", 13);
    auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
    ASSERT_NE(at, file.end());
    std::copy(to.begin(), to.end(), at);
    std::string fault;
    EXPECT_FALSE(emulated::Load(file, &fault));
    EXPECT_EQ(fault, "imports KERNEL32.dll!GetVersion, which is not one of the seven");
}

}  // namespace
