// The emulated CPU's own checks: each fault a run of the image must catch,
// planted as machine code at the entry point of tests/tiny_pe.h's image,
// must stop the run saying what happened and where: every fault message the
// CPU has. All of them run on one loaded image, patched and put back row by
// row as a tool of many patched variants would. (The FilterMain tests show
// that the shipped image runs without a fault.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/emulated_cpu.h"
#include "platform/test/scripted_platform.h"
#include "tests/tiny_pe.h"

namespace {

using emulated::kImageBase;

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

// push imm32 of an address, and a call of an import's entry point.
std::vector<uint8_t> Push(uint32_t value)
{
    return Join({{0x68}, Word(value)});
}

std::vector<uint8_t> CallImport(const char *library, const char *function)
{
    return Join({{0xB8}, Word(emulated::ImportEntry(library, function)), {0xFF, 0xD0}});  // mov eax; call eax
}

struct Planted {
    const char *name;
    std::vector<uint8_t> code;  // put at the entry point
    std::string fault;
};

TEST(EmulatedCpu, EachPlantedFaultStopsTheRunSayingWhatAndWhere)
{
    const uint32_t data = kImageBase + tiny::kData, none = kImageBase + tiny::kNone;
    const uint32_t idata = kImageBase + tiny::kImports, top = emulated::kStackTop;
    const std::vector<uint8_t> callNext = {0xE8, 0, 0, 0, 0};
    const std::vector<uint8_t> format = Join({{0xC7, 0x05}, Word(data), Word(0x00756C25)});  // "%lu" at data
    const std::vector<uint8_t> readFile = CallImport("KERNEL32.dll", "ReadFile");
    const std::vector<uint8_t> writeFile = CallImport("KERNEL32.dll", "WriteFile");
    const std::vector<uint8_t> wvsprintf = CallImport("USER32.dll", "wvsprintfA");
    const uint32_t getLastError = emulated::ImportEntry("KERNEL32.dll", "GetLastError");
    const std::vector<Planted> planted = {
        {"a write to a read-only section", Join({{0xB8}, Word(idata), {0x89, 0x00}}),  // mov [eax], eax
         "write to memory that is not writable, 4 bytes at 0x9E374000 (.idata+0x0), by the instruction at "
         "0x9E371005 (.code+0x5)"},
        {"a write to nothing", Join({{0xA3}, Word(0)}),
         "write to unmapped memory, 4 bytes at 0x0 (unmapped), by the instruction at 0x9E371000 (.code+0x0)"},
        {"a write to a writable section, then a read of one with no access",
         Join({{0xA3}, Word(data), {0xA1}, Word(none)}),
         "read of memory that is not readable, 4 bytes at 0x9E373000 (.none+0x0), by the instruction at "
         "0x9E371005 (.code+0x5)"},
        {"a read of nothing", Join({{0xA1}, Word(0)}),
         "read of unmapped memory, 4 bytes at 0x0 (unmapped), by the instruction at 0x9E371000 (.code+0x0)"},
        {"a jump to the stack", Join({{0xB8}, Word(top - 64), {0xFF, 0xE0}}),  // jmp eax
         "instruction fetched outside .code at 0xBFFEFFC0 (the stack, 0x40 below its top)"},
        {"a jump between import entry points", Join({{0xB8}, Word(emulated::kImportEntries + 1), {0xFF, 0xE0}}),
         "instruction fetched outside .code at 0xC0010001 (the import entry points)"},
        {"ud2", {0x0F, 0x0B}, "invalid instruction at 0x9E371000 (.code+0x0)"},
        {"bytes that are no instruction", {0x90, 0x0F, 0x04}, "invalid instruction at 0x9E371001 (.code+0x1)"},
        {"an interrupt", {0xCD, 0x2E}, "interrupt 46, by the instruction at 0x9E371002 (.code+0x2)"},
        {"a far call", {0x9A, 0, 0, 0, 0, 8, 0}, "far call, jump or return at 0x9E371000 (.code+0x0)"},
        {"a far jump", {0x90, 0xEA, 0, 0, 0, 0, 8, 0}, "far call, jump or return at 0x9E371001 (.code+0x1)"},
        {"a far return", {0xCB}, "far call, jump or return at 0x9E371000 (.code+0x0)"},
        {"a push not popped", Join({callNext, {0x50, 0xC3}}),  // push eax; ret
         "ret at 0x9E371006 (.code+0x6) with the stack pointer at 0xBFFEFFF4 (the stack, 0xC below its top), "
         "not at 0xBFFEFFF8 (the stack, 0x8 below its top) where its call left the return address: the stack "
         "does not balance"},
        {"a return address overwritten", Join({callNext, {0xC7, 0x04, 0x24}, Word(0x1234), {0xC3}}),
         "ret at 0x9E37100C (.code+0xC): the return address its call left at 0xBFFEFFF8 (the stack, 0x8 below "
         "its top) was overwritten with 0x1234"},
        {"a jump to an import with a push not popped", Join({{0x50, 0xB8}, Word(getLastError), {0xFF, 0xE0}}),
         "jump to GetLastError with the stack pointer at 0xBFFEFFF8 (the stack, 0x8 below its top), not at "
         "0xBFFEFFFC (the stack, 0x4 below its top) where its call left the return address: the stack does "
         "not balance"},
        {"the entry returning", {0xC3}, "the entry point returned to the loader instead of calling ExitProcess"},
        {"the entry jumping to an import that returns", Join({{0xB8}, Word(getLastError), {0xFF, 0xE0}}),
         "the entry point returned to the loader instead of calling ExitProcess"},
        {"a frame past the guard page", Join({{0x81, 0xEC}, Word(0x3000), {0x89, 0x04, 0x24}}),
         "stack touched at 0xBFFECFFC (the stack, 0x3004 below its top), below its guard page at 0xBFFEE000 "
         "(the stack, 0x2000 below its top), by the instruction at 0x9E371006 (.code+0x6)"},
        {"the reserve used up page by page", Join({{0x81, 0xEC}, Word(0x1000), {0x89, 0x04, 0x24, 0xEB, 0xF5}}),
         "stack overflow: the reserve of 1048576 bytes is used up, by the instruction at 0x9E371006 (.code+0x6)"},
        {"arguments above the stack", readFile,
         "ReadFile called with its arguments outside the stack, at 0xBFFEFFF8 (the stack, 0x8 below its top)"},
        {"a read into a read-only section",
         Join({{0x6A, 0}, Push(data), {0x6A, 4}, Push(idata), {0x6A, 1}, readFile}),
         "ReadFile given a buffer of 4 bytes at 0x9E374000 (.idata+0x0) outside writable memory"},
        {"a write from a section with no access",
         Join({{0x6A, 0}, Push(data), {0x6A, 4}, Push(none), {0x6A, 1}, writeFile}),
         "WriteFile given a buffer of 4 bytes at 0x9E373000 (.none+0x0) outside readable memory"},
        {"a count into a read-only section",
         Join({{0x6A, 0}, Push(idata), {0x6A, 4}, Push(idata), {0x6A, 1}, writeFile}),
         "WriteFile given its count to fill at 0x9E374000 (.idata+0x0), outside writable memory"},
        {"a format at nothing", Join({{0x6A, 0, 0x6A, 0}, Push(data), wvsprintf}),
         "wvsprintfA given a format at 0x0 (unmapped) that does not end in the image"},
        {"an argument list at nothing", Join({format, {0x6A, 0}, Push(data), Push(data + 16), wvsprintf}),
         "wvsprintfA given an argument list at 0x0 (unmapped) it cannot read in full"},
        {"an output in a read-only section", Join({format, Push(data), Push(data), Push(idata), wvsprintf}),
         "wvsprintfA given its output buffer at 0x9E374000 (.idata+0x0), outside writable memory"},
        {"a loop for ever", {0xEB, 0xFE}, "ran past its limit of 1000 instructions, at 0x9E371000 (.code+0x0)"},
    };
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    const uint32_t entry = emulated::Image(*m).entry;
    for (const Planted &p : planted) {
        emulated::Patch(*m, entry, p.code);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m, 1000);
        EXPECT_FALSE(run.exited) << p.name;
        EXPECT_EQ(run.fault, p.fault) << p.name;
        emulated::Unpatch(*m);
    }
    // Put back, the image's own code runs again.
    scripted::Reset(scripted::Script());
    emulated::Outcome run = emulated::Run(*m, 1000);
    EXPECT_TRUE(run.exited) << run.fault;
    EXPECT_EQ(run.exitCode, 7u);
}

// Held to the footprint of the image's own run (push 7; call ExitProcess),
// a patched run faults at a stack byte that run never wrote, at a read of
// one not yet written, past kFootprintSlack times its instructions, and at
// a run beyond those recorded; the image as loaded passes.
TEST(EmulatedCpu, StackFootprintsHoldAPatchedRunToTheRecordedOne)
{
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    const uint32_t entry = emulated::Image(*m).entry;
    const std::vector<uint8_t> exit7 = Join({Push(7), CallImport("KERNEL32.dll", "ExitProcess")});
    const std::string at = ", by the instruction at 0x9E371000 (.code+0x0)";
    const std::vector<Planted> planted = {
        {"a write below what the run wrote", Join({{0x89, 0x44, 0x24, 0xC0}, exit7}),  // mov [esp-64], eax
         "stack written at 0xBFFEFFBC (the stack, 0x44 below its top), which the image as loaded never "
         "writes in this run" + at},
        {"a read of what nothing wrote", Join({{0x8B, 0x44, 0x24, 0xC0}, exit7}),  // mov eax, [esp-64]
         "stack read at 0xBFFEFFBC (the stack, 0x44 below its top) before the run wrote it" + at},
        {"four times the instructions", Join({std::vector<uint8_t>(8, 0x90), exit7}),
         "ran past its limit of 8 instructions, at 0x9E371008 (.code+0x8)"},
    };
    scripted::Reset(scripted::Script());
    emulated::RecordFootprints(*m);
    ASSERT_TRUE(emulated::Run(*m).exited);
    for (const Planted &p : planted) {
        emulated::Patch(*m, entry, p.code);
        emulated::HoldToFootprints(*m);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m);
        EXPECT_FALSE(run.exited) << p.name;
        EXPECT_EQ(run.fault, p.fault) << p.name;
        emulated::Unpatch(*m);
    }
    emulated::HoldToFootprints(*m);
    scripted::Reset(scripted::Script());
    emulated::Outcome run = emulated::Run(*m);
    EXPECT_TRUE(run.exited) << run.fault;
    run = emulated::Run(*m);
    EXPECT_EQ(run.fault, "a run past the 1 runs recorded");
}

}  // namespace
