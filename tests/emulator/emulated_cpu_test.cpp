// The emulated CPU's own checks: each fault a run of the image must catch,
// planted as machine code at the entry point of tests/emulator/tiny_pe.h's image,
// must stop the run saying what happened and where: every fault message the
// CPU has. All of them run on one loaded image, patched and put back row by
// row as a tool of many patched variants would. (The FilterMain tests show
// that the shipped image runs without a fault.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/emulator/emulated_cpu.h"
#include "tests/emulator/tiny_pe.h"
#include "tests/scripted_platform/scripted_platform.h"

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
        {"a read of nothing, above the import entry points",
         Join({{0xA1}, Word(emulated::kImportEntries + 0x1000)}),
         "read of unmapped memory, 4 bytes at 0xC0011000 (unmapped), by the instruction at 0x9E371000 "
         "(.code+0x0)"},
        {"a call of a null pointer", Join({{0xB8}, Word(0), {0xFF, 0xD0}}),  // mov eax, 0; call eax
         "instruction fetched outside .code at 0x0 (unmapped)"},
        {"a jump to the stack", Join({{0xB8}, Word(top - 64), {0xFF, 0xE0}}),  // jmp eax
         "instruction fetched outside .code at 0xBFFEFFC0 (the stack, 0x40 below its top)"},
        {"a jump between import entry points",
         Join({{0xB8}, Word(emulated::kImportEntries + 1), {0xFF, 0xE0}}),
         "instruction fetched outside .code at 0xC0010001 (the import entry points)"},
        {"a jump past the loader's entry point",
         Join({{0xB8}, Word(emulated::kImportEntries + 0x80), {0xFF, 0xE0}}),
         "instruction fetched outside .code at 0xC0010080 (the import entry points)"},
        {"ud2", {0x0F, 0x0B}, "invalid instruction at 0x9E371000 (.code+0x0)"},
        {"bytes that are no instruction",
         {0x90, 0x0F, 0x04},
         "invalid instruction at 0x9E371001 (.code+0x1)"},
        {"an interrupt", {0xCD, 0x2E}, "interrupt 46, by the instruction at 0x9E371002 (.code+0x2)"},
        // The CPU is past a trap, and on the instruction that raised an exception.
        {"int 0, before a division",
         {0xCD, 0x00, 0xF7, 0xF1},
         "interrupt 0, by the instruction at 0x9E371002 (.code+0x2)"},
        {"int3", {0xCC}, "interrupt 3, by the instruction at 0x9E371001 (.code+0x1)"},
        {"a division by zero",
         {0x31, 0xC9, 0xF7, 0xF1},  // xor ecx, ecx; div ecx
         "divide error (by zero, or a quotient too large for its register) at 0x9E371002 (.code+0x2)"},
        {"a quotient too large",
         Join({{0xBA}, Word(1), {0x6A, 1, 0x59, 0xF7, 0xF9}}),  // edx:eax / 1: idiv ecx
         "divide error (by zero, or a quotient too large for its register) at 0x9E371008 (.code+0x8)"},
        {"a bound exceeded", Join({{0x62, 0x05}, Word(data)}),  // eax (0xCCCCCCCC) against [0, 0]
         "the CPU stopped without ExitProcess, by the instruction at 0x9E371000 (.code+0x0)"},
        {"ud0",
         {0x0F, 0xFF, 0x00},
         "the CPU stopped without ExitProcess, by the instruction at 0x9E371000 (.code+0x0)"},
        {"a far call", {0x9A, 0, 0, 0, 0, 8, 0}, "far call, jump or return at 0x9E371000 (.code+0x0)"},
        {"a far jump", {0x90, 0xEA, 0, 0, 0, 0, 8, 0}, "far call, jump or return at 0x9E371001 (.code+0x1)"},
        {"a far return", {0xCB}, "far call, jump or return at 0x9E371000 (.code+0x0)"},
        {"an interrupt return", {0xCF}, "far call, jump or return at 0x9E371000 (.code+0x0)"},
        {"a 16-bit interrupt return",
         {0x90, 0x66, 0xCF},
         "far call, jump or return at 0x9E371001 (.code+0x1)"},
        {"hlt", {0xF4}, "the CPU stopped without ExitProcess, by the instruction at 0x9E371001 (.code+0x1)"},
        {"a push not popped", Join({callNext, {0x50, 0xC3}}),  // push eax; ret
         "ret at 0x9E371006 (.code+0x6) with the stack pointer at 0xBFFEFFF4 (the stack, 0xC below its top), "
         "not at 0xBFFEFFF8 (the stack, 0x8 below its top) where its call left the return address: the stack "
         "does not balance"},
        {"a return address overwritten", Join({callNext, {0xC7, 0x04, 0x24}, Word(0x1234), {0xC3}}),
         "ret at 0x9E37100C (.code+0xC): the return address its call left at 0xBFFEFFF8 (the stack, 0x8 "
         "below "
         "its top) was overwritten with 0x1234"},
        {"a jump to an import with a push not popped", Join({{0x50, 0xB8}, Word(getLastError), {0xFF, 0xE0}}),
         "jump to GetLastError with the stack pointer at 0xBFFEFFF8 (the stack, 0x8 below its top), not at "
         "0xBFFEFFFC (the stack, 0x4 below its top) where its call left the return address: the stack does "
         "not balance"},
        {"the entry returning",
         {0xC3},
         "the entry point returned to the loader instead of calling ExitProcess"},
        {"the entry jumping to an import that returns", Join({{0xB8}, Word(getLastError), {0xFF, 0xE0}}),
         "the entry point returned to the loader instead of calling ExitProcess"},
        {"a frame past the guard page", Join({{0x81, 0xEC}, Word(0x3000), {0x89, 0x04, 0x24}}),
         "stack touched at 0xBFFECFFC (the stack, 0x3004 below its top), below its guard page at 0xBFFEE000 "
         "(the stack, 0x2000 below its top), by the instruction at 0x9E371006 (.code+0x6)"},
        {"the reserve used up page by page",
         Join({{0x81, 0xEC}, Word(0x1000), {0x89, 0x04, 0x24, 0xEB, 0xF5}}),
         "stack overflow: the reserve of 1048576 bytes is used up, by the instruction at 0x9E371006 "
         "(.code+0x6)"},
        {"arguments above the stack", readFile,
         "ReadFile called with its arguments outside the stack, at 0xBFFEFFF8 (the stack, 0x8 below its "
         "top)"},
        {"a read past the end of its section",
         Join({{0x6A, 0}, Push(data), Push(0x10000), Push(data), {0x6A, 1}, readFile}),
         "ReadFile given a buffer of 65536 bytes at 0x9E372000 (.data+0x0) outside writable memory"},
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
        {"an argument list with no access",
         Join({format, Push(none), Push(data), Push(data + 16), wvsprintf}),
         "wvsprintfA given an argument list at 0x9E373000 (.none+0x0) it cannot read in full"},
        {"a string argument at nothing",  // "%s"; push 1; push esp: a list of one pointer, to 0x1
         Join({{0xC7, 0x05},
               Word(data),
               Word(0x7325),
               {0x6A, 1, 0x54},
               Push(data),
               Push(data + 16),
               wvsprintf}),
         "wvsprintfA given an argument list at 0xBFFEFFF8 (the stack, 0x8 below its top) it cannot read in "
         "full"},
        {"an output at nothing", Join({format, Push(data), Push(data), {0x6A, 0}, wvsprintf}),
         "wvsprintfA given its output buffer at 0x0 (unmapped), outside writable memory"},
        {"a loop for ever",
         {0xEB, 0xFE},
         "ran past its limit of 1000 instructions, at 0x9E371000 (.code+0x0)"},
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
    // A patch further into .code is decoded afresh too: a far return where
    // the load decoded an add of the zeros there.
    emulated::Patch(*m, entry, {0xEB, 0x1E});  // jmp +0x20
    emulated::Patch(*m, entry + 0x20, {0xCB});
    scripted::Reset(scripted::Script());
    EXPECT_EQ(emulated::Run(*m, 1000).fault, "far call, jump or return at 0x9E371020 (.code+0x20)");
    emulated::Unpatch(*m);
    // Put back, the image's own code runs again.
    scripted::Reset(scripted::Script());
    emulated::Outcome run = emulated::Run(*m, 1000);
    EXPECT_TRUE(run.exited) << run.fault;
    EXPECT_EQ(run.exitCode, 7u);
}

// Each run starts on a stack of zeros, though only what the run before
// reached is cleared: a byte it wrote by an instruction, and one an import
// wrote for it far below anything the image touched, each read back by the
// next run and exited with.
TEST(EmulatedCpu, EachRunStartsOnAClearedStack)
{
    const uint32_t data = kImageBase + tiny::kData, deep = emulated::kStackTop - 0x800;
    const std::vector<uint8_t> exitWithDeepByte =  // movzx eax, byte [deep]; push eax; ExitProcess
        Join({{0x0F, 0xB6, 0x05}, Word(deep), {0x50}, CallImport("KERNEL32.dll", "ExitProcess")});
    const struct {
        const char *name;
        std::vector<uint8_t> writer;
    } writers[] = {
        {"an instruction", Join({{0xC6, 0x05}, Word(deep), {0x55, 0xF4}})},  // mov byte [deep], 0x55; hlt
        {"ReadFile", Join({{0x6A, 0},
                           Push(data),
                           {0x6A, 4},
                           Push(deep),
                           {0x6A, 1},  // 4 bytes to deep
                           CallImport("KERNEL32.dll", "ReadFile"),
                           {0xF4}})},
    };
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    const uint32_t entry = emulated::Image(*m).entry;
    for (const auto &w : writers) {
        emulated::Patch(*m, entry, w.writer);
        scripted::Script script;
        script.reads = {{"\x55\x55\x55\x55"}};
        scripted::Reset(script);
        emulated::Run(*m, 1000);
        emulated::Unpatch(*m);
        emulated::Patch(*m, entry, exitWithDeepByte);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m, 1000);
        EXPECT_TRUE(run.exited) << w.name << ": " << run.fault;
        EXPECT_EQ(run.exitCode, 0u) << w.name;
        emulated::Unpatch(*m);
    }
}

// What the imports take from the image's memory and registers: a handle of
// -1 reaches the platform as INVALID_HANDLE_VALUE, and a null "%s" argument
// prints as "(null)", whose length the image then exits with.
TEST(EmulatedCpu, ImportsTakeTheImagesArgumentsAsWindowsDoes)
{
    const uint32_t data = kImageBase + tiny::kData;
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    emulated::Patch(*m, emulated::Image(*m).entry,
                    Join({{0x6A, 0xFF},
                          CallImport("KERNEL32.dll", "CloseHandle"),  // push -1
                          {0xC7, 0x05},
                          Word(data),
                          Word(0x7325),
                          {0x6A, 0, 0x54},  // "%s"; a list of null
                          Push(data),
                          Push(data + 16),
                          CallImport("USER32.dll", "wvsprintfA"),
                          {0x50},
                          CallImport("KERNEL32.dll", "ExitProcess")}));  // push eax
    scripted::Reset(scripted::Script());
    emulated::Outcome run = emulated::Run(*m, 1000);
    EXPECT_TRUE(run.exited) << run.fault;
    EXPECT_EQ(run.exitCode, 6u);
    EXPECT_EQ(scripted::ClosedHandles(), std::vector<HANDLE>{INVALID_HANDLE_VALUE});
}

using emulated::ConditionForm;
using emulated::InstructionKind;

struct Decoding {
    const char *name;
    std::vector<uint8_t> bytes;  // at 0x1000
    InstructionKind kind;
    ConditionForm form;
    uint8_t conditionAt;
    uint32_t target;  // of a direct branch, else 0
    uint8_t immediateAt, immediateSize;
};

// What the CPU tells calls and returns by, and what a tool that changes
// instructions finds in each: the condition's byte past any prefix, a
// branch's target, an immediate's place, one byte for what is no instruction.
TEST(EmulatedCpu, InstructionsAreDecodedWithTheirKindsConditionsTargetsAndImmediates)
{
    typedef InstructionKind K;
    typedef ConditionForm F;
    const std::vector<Decoding> decodings = {
        {"je short", {0x74, 0x05}, K::kConditionalJump, F::kShort, 0, 0x1007, 0, 0},
        {"jne near after a prefix",
         {0x3E, 0x0F, 0x85, 0x10, 0, 0, 0},
         K::kConditionalJump,
         F::kNear,
         2,
         0x1017,
         0,
         0},
        {"jecxz", {0xE3, 0xFE}, K::kConditionalJump, F::kCount, 0, 0x1000, 0, 0},
        {"call rel32", {0xE8, 0x10, 0, 0, 0}, K::kNearCall, F::kNone, 0, 0x1015, 0, 0},
        {"call [mem]", {0xFF, 0x15, 0, 0x50, 0, 0}, K::kNearCall, F::kNone, 0, 0, 0, 0},
        {"ret 8", {0xC2, 8, 0}, K::kNearReturn, F::kNone, 0, 0, 1, 2},
        {"sub esp, imm32", {0x81, 0xEC, 0, 0x30, 0, 0}, K::kOther, F::kNone, 0, 0, 2, 4},
        {"jmp eax", {0xFF, 0xE0}, K::kJump, F::kNone, 0, 0, 0, 0},
        {"int 0x2e", {0xCD, 0x2E}, K::kInterrupt, F::kNone, 0, 0, 1, 1},
        {"retf", {0xCB}, K::kFarTransfer, F::kNone, 0, 0, 0, 0},
        {"no instruction", {0x0F, 0x04}, K::kUndecodable, F::kNone, 0, 0, 0, 0},
    };
    for (const Decoding &d : decodings) {
        std::vector<emulated::Instruction> all =
            emulated::DecodeAll(d.bytes.data(), (uint32_t)d.bytes.size(), 0x1000);
        ASSERT_FALSE(all.empty()) << d.name;
        const emulated::Instruction &i = all[0];
        EXPECT_EQ(i.kind, d.kind) << d.name;
        EXPECT_EQ(i.size, d.kind == InstructionKind::kUndecodable ? 1u : d.bytes.size()) << d.name;
        EXPECT_EQ(i.form, d.form) << d.name;
        EXPECT_EQ(i.conditionAt, d.conditionAt) << d.name;
        EXPECT_EQ(i.direct, d.target != 0) << d.name;
        EXPECT_EQ(i.target, d.target) << d.name;
        EXPECT_EQ(i.immediateAt, d.immediateAt) << d.name;
        EXPECT_EQ(i.immediateSize, d.immediateSize) << d.name;
        EXPECT_EQ(all.back().rva + all.back().size, 0x1000 + d.bytes.size()) << d.name;
    }
    // And the emulator as the reports name it.
    EXPECT_EQ(emulated::EmulatorName().rfind("Unicorn 2.", 0), 0u) << emulated::EmulatorName();
}

// A traced run keeps, for each instruction it executes and each import
// entry point it reaches, the address, the stack pointer and the address of
// each memory operand: an index scaled and a displacement added, none for
// lea (which reads nothing), none for an untraced run.
TEST(EmulatedCpu, TracedRunsKeepEachStepsAddressesAndNoneOther)
{
    const uint32_t data = kImageBase + tiny::kData;
    const std::vector<uint8_t> code = Join({{0xBB},
                                            Word(2),  // mov ebx, 2
                                            {0x8B, 0x04, 0x9D},
                                            Word(data),  // mov eax, [ebx*4 + data]
                                            {0x8D, 0x0C, 0x9D},
                                            Word(data),  // lea ecx, [ebx*4 + data]
                                            {0xA3},
                                            Word(data + 12),  // mov [data + 12], eax
                                            {0x6A, 0},        // push 0
                                            CallImport("KERNEL32.dll", "ExitProcess")});
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    const uint32_t entry = kImageBase + emulated::Image(*m).entry, top = emulated::kStackTop - 4;
    emulated::Patch(*m, emulated::Image(*m).entry, code);
    const std::vector<emulated::TraceStep> expected = {
        {entry, top, 0, {}},          {entry + 5, top, 1, {data + 8}},
        {entry + 12, top, 0, {}},     {entry + 19, top, 1, {data + 12}},
        {entry + 24, top, 0, {}},     {entry + 26, top - 4, 0, {}},
        {entry + 31, top - 4, 0, {}}, {emulated::ImportEntry("KERNEL32.dll", "ExitProcess"), top - 8, 0, {}},
    };
    for (bool traced : {true, false}) {
        emulated::TraceRuns(*m, traced);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m, 1000);
        ASSERT_TRUE(run.exited) << run.fault;
        EXPECT_EQ(emulated::LastTrace(*m), traced ? expected : std::vector<emulated::TraceStep>()) << traced;
    }
}

// A stack word off its alignment, written and read back in one run, reads
// back as written and is no read of what the run never wrote, though the CPU
// reads it as the two aligned words around it (bytes the run did not write
// among them): a word two bytes off, a 16-bit word at an odd address, a word
// across a page (the guard page, which the write commits). Each run exits
// with what it read.
TEST(EmulatedCpu, UnalignedStackWordsReadBackAsWritten)
{
    const std::vector<uint8_t> exitWithEax = Join({{0x50}, CallImport("KERNEL32.dll", "ExitProcess")});
    const std::vector<uint8_t> word = {0xB8, 0x44, 0x33, 0x22, 0x11};  // mov eax, 0x11223344
    const struct {
        const char *name;
        std::vector<uint8_t> code;
        uint32_t exitCode;
    } runs[] = {
        {"a word two bytes off",  // mov [esp-14], eax; mov eax, [esp-14]
         Join({word, {0x89, 0x44, 0x24, 0xF2, 0x8B, 0x44, 0x24, 0xF2}, exitWithEax}), 0x11223344},
        {"a 16-bit word at an odd address",  // mov [esp-15], ax; movzx eax, word [esp-15]
         Join({word, {0x66, 0x89, 0x44, 0x24, 0xF1, 0x0F, 0xB7, 0x44, 0x24, 0xF1}, exitWithEax}), 0x3344},
        {"a word across a page",  // mov [esp-0xFFE], eax; mov eax, [esp-0xFFE]
         Join({word,
               {0x89, 0x84, 0x24},
               Word(0xFFFFF002u),
               {0x8B, 0x84, 0x24},
               Word(0xFFFFF002u),
               exitWithEax}),
         0x11223344},
    };
    std::string fault;
    emulated::MachinePtr m = emulated::Load(tiny::Image(), &fault);
    ASSERT_TRUE(m) << fault;
    emulated::RecordFootprints(*m);  // which checks every read against the run's writes
    for (const auto &r : runs) {
        emulated::Patch(*m, emulated::Image(*m).entry, r.code);
        scripted::Reset(scripted::Script());
        emulated::Outcome run = emulated::Run(*m, 1000);
        EXPECT_TRUE(run.exited) << r.name << ": " << run.fault;
        EXPECT_EQ(run.exitCode, r.exitCode) << r.name;
        emulated::Unpatch(*m);
    }
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
         "writes in this run" +
             at},
        {"a read of what nothing wrote", Join({{0x8B, 0x44, 0x24, 0xC0}, exit7}),  // mov eax, [esp-64]
         "stack read at 0xBFFEFFBC (the stack, 0x44 below its top) before the run wrote it" + at},
        {"an unaligned read of what nothing wrote", Join({{0x8B, 0x44, 0x24, 0xC1}, exit7}),  // [esp-63]
         "stack read at 0xBFFEFFBD (the stack, 0x43 below its top) before the run wrote it" + at},
        // The first fault is the one told: the footprint's comes second.
        {"a read past the guard page",
         Join({{0x8B, 0x84, 0x24}, Word(0xFFFFD000u), exit7}),  // eax, [esp-0x3000]
         "stack touched at 0xBFFECFFC (the stack, 0x3004 below its top), below its guard page at 0xBFFEE000 "
         "(the stack, 0x2000 below its top)" +
             at},
        {"a write past the guard page",
         Join({{0x89, 0x84, 0x24}, Word(0xFFFFD000u), exit7}),  // [esp-0x3000], eax
         "stack touched at 0xBFFECFFC (the stack, 0x3004 below its top), below its guard page at 0xBFFEE000 "
         "(the stack, 0x2000 below its top)" +
             at},
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
