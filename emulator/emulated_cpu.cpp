#include "emulator/emulated_cpu.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <iterator>

#include <unicorn/unicorn.h>

#include "platform/format/wvsprintf.h"
#include "platform/test/scripted_platform.h"

namespace emulated {

namespace {

// Each import's entry point is one `ret 4n` instruction, 16 bytes apart in a
// page of their own: the code hook serves the import as the CPU reaches it,
// and the ret then pops the arguments, as a stdcall function does. One more
// entry point stands for the loader, which the image's entry would return to.
const uint32_t kThunks = kImportEntries;
const uint32_t kThunkBytes = 16;

enum ImportId {
    kGetStdHandle,
    kReadFile,
    kWriteFile,
    kCloseHandle,
    kGetLastError,
    kExitProcess,
    kWvsprintfA,
};
const uint32_t kImportCount = kWvsprintfA + 1;
const uint32_t kLoaderReturn = kThunks + kImportCount * kThunkBytes;

struct ImportSpec {
    const char *library;
    const char *name;
    uint32_t arguments;
};
const ImportSpec kImports[kImportCount] = {
    {"KERNEL32.dll", "GetStdHandle", 1}, {"KERNEL32.dll", "ReadFile", 5},
    {"KERNEL32.dll", "WriteFile", 5},    {"KERNEL32.dll", "CloseHandle", 1},
    {"KERNEL32.dll", "GetLastError", 0}, {"KERNEL32.dll", "ExitProcess", 1},
    {"USER32.dll", "wvsprintfA", 3},
};

// A run starts with every general register holding this, so code that used
// one it had not set would go wrong visibly.
const uint32_t kUnsetRegister = 0xCCCCCCCCu;

// Memory of the host that backs part of the emulated address space.
struct Region {
    std::string name;
    uint32_t start;
    uint32_t size;
    uint8_t *host;
    uint32_t perms;  // UC_PROT_*
    bool Holds(uint32_t address, uint32_t bytes) const
    {
        return address >= start && bytes <= size && address - start <= size - bytes;
    }
};

struct PageBuffer {
    uint8_t *bytes = nullptr;
    explicit PageBuffer(uint32_t size) : bytes((uint8_t *)aligned_alloc(kPage, PageRound(size)))
    {
        memset(bytes, 0, PageRound(size));
    }
    ~PageBuffer() { free(bytes); }
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;
};

// One return address a call left on the stack, and where it left it.
struct Frame {
    uint32_t esp;
    uint32_t returnAddress;
};

// What a run wrote on the stack: one flag per byte below its top (byte i is
// at kStackTop - 1 - i) down to the deepest it wrote, and the instructions
// it took.
struct Footprint {
    std::vector<uint8_t> written;
    uint64_t instructions;
    bool Wrote(uint32_t below) const { return below < written.size() && written[below]; }
};

enum class Watch { kOff, kRecording, kHolding };

// What the code hook needs of each instruction, by its offset in .code.
struct Decoded {
    uint8_t size;  // 0: not decoded yet (a patch covered it, or nothing started there)
    InstructionKind kind;
};

}  // namespace

struct Machine {
    uc_engine *uc = nullptr;
    std::unique_ptr<PageBuffer> image, stack, thunks;
    LoadedImage pe;                // the image as loaded
    std::vector<uint8_t> patched;  // and as patched, to start each run from
    std::vector<std::pair<uint32_t, uint32_t>> patches;  // offset and size of each since the load
    std::vector<Region> regions;   // headers and sections, then the stack
    Region code{}, stackRegion{};
    LoadedSection codeSection;
    std::vector<Instruction> instructions;  // of .code as loaded
    std::vector<Decoded> decoded;           // of .code as patched

    // The run under way.
    Outcome outcome{};
    uint64_t limit = 0;
    std::vector<Frame> frames;
    bool callPending = false;
    uint32_t pendingReturn = 0;
    uint32_t committedLow = 0, lowest = 0;

    // Stack footprints (RecordFootprints, HoldToFootprints).
    Watch watch = Watch::kOff;
    std::vector<Footprint> footprints;  // recorded, in the order of their runs
    size_t nextHeld = 0;                // the recorded run the next run is held to
    const Footprint *heldTo = nullptr;  // the run under way is held to
    Footprint footprint;                // of the run under way
};

void MachineDeleter::operator()(Machine *machine) const
{
    uc_close(machine->uc);
    delete machine;
}

namespace {

// Unicorn refusing what is asked of it here (a CPU, memory that the map keeps
// apart, a hook, a run whose every failure a hook names) is a broken build or
// a host out of memory, not a fault of the image: nothing can run.
void Require(uc_err error, const char *what)
{
    if (error == UC_ERR_OK)
        return;
    fprintf(stderr, "the CPU emulator: %s: %s\n", what, uc_strerror(error));
    abort();
}

uint32_t Register(Machine &m, int id)
{
    uint32_t value = 0;
    uc_reg_read(m.uc, id, &value);
    return value;
}

void SetRegister(Machine &m, int id, uint32_t value)
{
    uc_reg_write(m.uc, id, &value);
}

const Region *RegionOf(const Machine &m, uint32_t address, uint32_t bytes = 1)
{
    for (const Region &r : m.regions)
        if (r.Holds(address, bytes))
            return &r;
    return nullptr;
}

// An address with what it is in: "0x9E371234 (.code+0x234)".
std::string Where(const Machine &m, uint32_t address)
{
    std::string in = "unmapped";
    if (m.stackRegion.Holds(address, 1))
        in = "the stack, " + Hex(kStackTop - address) + " below its top";
    else if (const Region *r = RegionOf(m, address))
        in = r->name + "+" + Hex(address - r->start);
    else if (address >= kThunks && address < kThunks + kPage)
        in = "the import entry points";
    return Hex(address) + " (" + in + ")";
}

void Fault(Machine &m, const std::string &what)
{
    m.outcome.fault = what;  // Unicorn calls no hook after a stop: no run faults twice
    uc_emu_stop(m.uc);
}

std::string ByInstruction(Machine &m)
{
    return ", by the instruction at " + Where(m, Register(m, UC_X86_REG_EIP));
}

// Reads of the image's memory for the imports, from readable memory.
bool ReadGuest(const Machine &m, uint32_t address, void *to, uint32_t bytes)
{
    const Region *r = RegionOf(m, address, bytes);
    if (!r || !(r->perms & UC_PROT_READ))
        return false;
    memcpy(to, r->host + (address - r->start), bytes);
    return true;
}

uint32_t GuestWord(const Machine &m, uint32_t address)
{
    uint32_t word = 0;
    ReadGuest(m, address, &word, 4);
    return word;
}

bool ReadGuestString(const Machine &m, uint32_t address, std::string *text)
{
    text->clear();
    for (char c; ReadGuest(m, address, &c, 1); address++) {
        if (c == 0)
            return true;
        *text += c;
    }
    return false;
}

// Stack bytes written, by the image or by an import for it: held to a
// recorded run, a byte that run never wrote is a fault.
void NoteStackWrite(Machine &m, uint32_t address, uint32_t bytes)
{
    if (m.watch == Watch::kOff)
        return;
    for (uint32_t a = address; a - address < bytes; a++) {
        if (!m.stackRegion.Holds(a, 1))
            continue;
        uint32_t below = kStackTop - 1 - a;
        if (m.heldTo && !m.heldTo->Wrote(below)) {
            Fault(m, "stack written at " + Where(m, a) + ", which the image as loaded never writes in this run" +
                         ByInstruction(m));
            return;
        }
        if (below >= m.footprint.written.size())
            m.footprint.written.resize(below + 1);
        m.footprint.written[below] = 1;
    }
}

// Stack bytes read: each must have been written earlier in the run.
void NoteStackRead(Machine &m, uint32_t address, uint32_t bytes)
{
    if (m.watch == Watch::kOff)
        return;
    for (uint32_t a = address; a - address < bytes; a++) {
        if (m.stackRegion.Holds(a, 1) && !m.footprint.Wrote(kStackTop - 1 - a)) {
            Fault(m, "stack read at " + Where(m, a) + " before the run wrote it" + ByInstruction(m));
            return;
        }
    }
}

// What an import writes into the image's memory: writable memory only, as
// the pages' protections say.
bool WriteGuest(Machine &m, uint32_t address, const void *from, uint32_t bytes)
{
    const Region *r = RegionOf(m, address, bytes);
    if (!r || !(r->perms & UC_PROT_WRITE))
        return false;
    memcpy(r->host + (address - r->start), from, bytes);
    NoteStackWrite(m, address, bytes);
    return true;
}

// The stack grows as a Windows thread's does: from its commit, a page at a
// time, each time the page below the committed part (the guard page) is
// touched. A touch further down faults there: a frame of more than a page
// has to probe its pages in order.
void TouchStack(Machine &m, uint32_t address)
{
    if (address < m.lowest)
        m.lowest = address;
    if (address >= m.committedLow)
        return;
    if (address < m.committedLow - kPage) {
        Fault(m, "stack touched at " + Where(m, address) + ", below its guard page at " +
                     Where(m, m.committedLow - kPage) + ByInstruction(m));
        return;
    }
    m.committedLow -= kPage;
    if (m.committedLow - kPage < m.stackRegion.start)
        Fault(m, "stack overflow: the reserve of " + std::to_string(m.pe.stackReserve) + " bytes is used up" +
                     ByInstruction(m));
}

// The loader's frame, the first, stays: a return from it ends in the loader
// (kLoaderReturn), so no return ever finds the frames empty.
void CheckReturn(Machine &m, uint32_t esp, const std::string &what)
{
    Frame frame = m.frames.back();
    if (m.frames.size() > 1)
        m.frames.pop_back();
    if (esp != frame.esp)
        Fault(m, what + " with the stack pointer at " + Where(m, esp) + ", not at " + Where(m, frame.esp) +
                     " where its call left the return address: the stack does not balance");
    else if (GuestWord(m, esp) != frame.returnAddress)
        Fault(m, what + ": the return address its call left at " + Where(m, esp) + " was overwritten with " +
                     Hex(GuestWord(m, esp)));
}

// The formatter's arguments, read from the list the image built.
struct GuestList {
    Machine *machine;
    uint32_t next;
    bool bad;
    std::deque<std::string> strings;  // "%s" arguments, copied out
};

DWORD NextGuestDword(void *source)
{
    GuestList *list = (GuestList *)source;
    uint32_t word = 0;
    if (!ReadGuest(*list->machine, list->next, &word, 4))
        list->bad = true;
    list->next += 4;
    return word;
}

const char *NextGuestString(void *source)
{
    GuestList *list = (GuestList *)source;
    uint32_t pointer = NextGuestDword(source);
    if (pointer == 0)
        return nullptr;
    list->strings.emplace_back();
    if (!ReadGuestString(*list->machine, pointer, &list->strings.back()))
        list->bad = true;
    return list->strings.back().c_str();
}

// Sign-extended, as a 64-bit Windows widens a 32-bit process's handles: the
// pseudo-handles, INVALID_HANDLE_VALUE among them, stay themselves.
HANDLE HostHandle(uint32_t handle)
{
    return (HANDLE)(intptr_t)(int32_t)handle;
}

uint32_t GuestHandle(HANDLE handle)
{
    return (uint32_t)(uintptr_t)handle;
}

// The scripted platform only asks whether an OVERLAPPED was passed.
LPOVERLAPPED HostOverlapped(uint32_t overlapped)
{
    return (LPOVERLAPPED)(uintptr_t)overlapped;
}

void ServeImport(Machine &m, ImportId id, const uint32_t *a)
{
    const std::string name = kImports[id].name;
    uint32_t result = 0;
    switch (id) {
    case kGetStdHandle:
        result = GuestHandle(GetStdHandle(a[0]));
        break;
    case kReadFile:
    case kWriteFile: {
        // a: handle, buffer, count, address of the count done, overlapped.
        DWORD done = 0;
        uint32_t needs = id == kReadFile ? UC_PROT_WRITE : UC_PROT_READ;
        const Region *r = RegionOf(m, a[1], a[2]);
        if (!r || !(r->perms & needs)) {
            Fault(m, name + " given a buffer of " + std::to_string(a[2]) + " bytes at " + Where(m, a[1]) +
                         (id == kReadFile ? " outside writable memory" : " outside readable memory"));
            return;
        }
        std::vector<uint8_t> buffer(r->host + (a[1] - r->start), r->host + (a[1] - r->start) + a[2]);
        if (id == kWriteFile)
            NoteStackRead(m, a[1], a[2]);
        if (id == kReadFile)
            result = ReadFile(HostHandle(a[0]), buffer.data(), a[2], &done, HostOverlapped(a[4]));
        else
            result = WriteFile(HostHandle(a[0]), buffer.data(), a[2], &done, HostOverlapped(a[4]));
        if (!WriteGuest(m, a[3], &done, 4)) {
            Fault(m, name + " given its count to fill at " + Where(m, a[3]) + ", outside writable memory");
            return;
        }
        if (id == kReadFile) {
            memcpy(r->host + (a[1] - r->start), buffer.data(), a[2]);
            NoteStackWrite(m, a[1], std::min(done, a[2]));
        }
        break;
    }
    case kCloseHandle:
        result = CloseHandle(HostHandle(a[0]));
        break;
    case kGetLastError:
        result = GetLastError();
        break;
    case kExitProcess:
        scripted::RecordExit(a[0]);
        m.outcome.exited = true;
        m.outcome.exitCode = a[0];
        uc_emu_stop(m.uc);
        return;
    case kWvsprintfA: {
        // a: output, format, argument list.
        std::string format;
        char output[1025];
        GuestList list = {&m, a[2], false, {}};
        FormatArguments arguments = {NextGuestString, NextGuestDword, &list};
        if (!ReadGuestString(m, a[1], &format)) {
            Fault(m, "wvsprintfA given a format at " + Where(m, a[1]) + " that does not end in the image");
            return;
        }
        int count = FormatWith(output, format.c_str(), &arguments);
        if (list.bad) {
            Fault(m, "wvsprintfA given an argument list at " + Where(m, a[2]) + " it cannot read in full");
            return;
        }
        if (!WriteGuest(m, a[0], output, (uint32_t)count + 1)) {
            Fault(m, "wvsprintfA given its output buffer at " + Where(m, a[0]) + ", outside writable memory");
            return;
        }
        result = (uint32_t)count;
        break;
    }
    }
    SetRegister(m, UC_X86_REG_EAX, result);
}

// The import whose entry point is at `address`, kImportCount for the
// loader's, or -1 for any other address.
int ImportAt(uint32_t address)
{
    uint32_t offset = address - kThunks;
    if (address < kThunks || offset % kThunkBytes != 0 || offset / kThunkBytes > kImportCount)
        return -1;
    return (int)(offset / kThunkBytes);
}

// An import's entry point reached: the call's arguments are on the stack
// above its return address.
void EnterImport(Machine &m, uint32_t id)
{
    uint32_t esp = Register(m, UC_X86_REG_ESP);
    if (id == kImportCount) {
        Fault(m, "the entry point returned to the loader instead of calling ExitProcess");
        return;
    }
    const ImportSpec &spec = kImports[id];
    // Reached by a jump rather than a call, the import returns for the
    // function that jumped to it.
    if (!m.callPending)
        CheckReturn(m, esp, std::string("jump to ") + spec.name);
    m.callPending = false;
    if (!m.outcome.fault.empty())
        return;
    uint32_t arguments[5] = {};
    if (!m.stackRegion.Holds(esp, 4 + 4 * spec.arguments)) {
        Fault(m,
              std::string(spec.name) + " called with its arguments outside the stack, at " + Where(m, esp));
        return;
    }
    for (uint32_t i = 0; i < spec.arguments; i++)
        arguments[i] = GuestWord(m, esp + 4 + 4 * i);
    ServeImport(m, (ImportId)id, arguments);
}

// The instruction at `address`, decoded at load or, after a patch or at an
// offset no instruction of the load started at, now; null (and a fault)
// outside .code. Unicorn's own size is not used: for an instruction it
// cannot run it gives none, and OnInvalidInstruction then reports it.
const Decoded *Fetch(Machine &m, uint32_t address)
{
    if (!m.code.Holds(address, 1)) {
        Fault(m, "instruction fetched outside .code at " + Where(m, address));
        return nullptr;
    }
    Decoded &d = m.decoded[address - m.code.start];
    if (d.size == 0) {
        Instruction i = DecodeAt(m.code.host, m.code.size, m.codeSection.rva, address - m.code.start);
        d = {i.size, i.kind};
    }
    return &d;
}

bool CountInstruction(Machine &m, uint32_t address)
{
    if (++m.outcome.instructions <= m.limit)
        return true;
    Fault(m, "ran past its limit of " + std::to_string(m.limit) + " instructions, at " + Where(m, address));
    return false;
}

// Calls and returns, checked pairwise: the instruction after a call finds
// its return address on the stack, and a ret must find the stack pointer
// where the call left it and the address unchanged.
void TrackCalls(Machine &m, uint32_t address, const Decoded &d)
{
    if (m.callPending) {
        m.frames.push_back({Register(m, UC_X86_REG_ESP), m.pendingReturn});
        m.callPending = false;
    }
    if (d.kind == InstructionKind::kNearCall) {
        m.callPending = true;
        m.pendingReturn = address + d.size;
    } else if (d.kind == InstructionKind::kNearReturn) {
        CheckReturn(m, Register(m, UC_X86_REG_ESP), "ret at " + Where(m, address));
    } else if (d.kind == InstructionKind::kFarTransfer) {
        Fault(m, "far call, jump or return at " + Where(m, address));
    }
}

void OnInstruction(uc_engine *, uint64_t address64, uint32_t, void *user)
{
    Machine &m = *(Machine *)user;
    uint32_t address = (uint32_t)address64;
    int import = ImportAt(address);
    if (import >= 0) {
        EnterImport(m, (uint32_t)import);
        return;
    }
    const Decoded *d = Fetch(m, address);
    if (d && CountInstruction(m, address))
        TrackCalls(m, address, *d);
}

// Only the stack is watched: the protections say what else may be touched.
void OnStackAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    Machine &m = *(Machine *)user;
    TouchStack(m, (uint32_t)address);
    if (type == UC_MEM_WRITE)
        NoteStackWrite(m, (uint32_t)address, (uint32_t)size);
    else
        NoteStackRead(m, (uint32_t)address, (uint32_t)size);
}

bool OnBadAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    Machine &m = *(Machine *)user;
    if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT) {
        Fault(m, "instruction fetched outside .code at " + Where(m, (uint32_t)address));
        return false;
    }
    bool write = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
    bool unmapped = type == UC_MEM_READ_UNMAPPED || type == UC_MEM_WRITE_UNMAPPED;
    std::string what = write ? "write to " : "read of ";
    what += unmapped ? "unmapped memory" : write ? "memory that is not writable" : "memory that is not readable";
    Fault(m,
          what + ", " + std::to_string(size) + " bytes at " + Where(m, (uint32_t)address) + ByInstruction(m));
    return false;
}

void OnInterrupt(uc_engine *, uint32_t number, void *user)
{
    Machine &m = *(Machine *)user;
    Fault(m, "interrupt " + std::to_string(number) + ByInstruction(m));
}

// Bytes that are no instruction, or one the CPU will not run (ud2).
bool OnInvalidInstruction(uc_engine *, void *user)
{
    Machine &m = *(Machine *)user;
    Fault(m, "invalid instruction at " + Where(m, Register(m, UC_X86_REG_EIP)));
    return false;
}

uint32_t Protection(uint32_t flags)
{
    return ((flags & kSectionRead) ? UC_PROT_READ : 0) | ((flags & kSectionWrite) ? UC_PROT_WRITE : 0) |
           ((flags & kSectionExecute) ? UC_PROT_EXEC : 0);
}

// The loaded image into the CPU's memory, each section with its protection.
bool MapImage(Machine &m, std::string *fault)
{
    m.image.reset(new PageBuffer((uint32_t)m.pe.memory.size()));
    for (const LoadedSection &section : m.pe.sections) {
        Region r = {section.name, kImageBase + section.rva, section.size, m.image->bytes + section.rva,
                    Protection(section.flags)};
        if (uc_mem_map_ptr(m.uc, r.start, r.size, r.perms, r.host) != UC_ERR_OK) {
            *fault = "section " + r.name + " overlaps another";
            return false;
        }
        if (r.name == ".code" && (r.perms & UC_PROT_EXEC)) {
            m.code = r;
            m.codeSection = section;
        }
        m.regions.push_back(r);
    }
    if (!m.code.host) {
        *fault = "no executable .code section";
        return false;
    }
    return true;
}

// The loader's limits keep the image, the stack and the entry points apart.
static_assert((uint64_t)kImageBase + kLargestImage <= kStackTop - kLargestImage &&
                  kStackTop <= kImportEntries,
              "the memory map's parts overlap");

void MapStackAndThunks(Machine &m)
{
    m.stack.reset(new PageBuffer(m.pe.stackReserve));
    m.stackRegion = {"stack", kStackTop - PageRound(m.pe.stackReserve), PageRound(m.pe.stackReserve),
                     m.stack->bytes, UC_PROT_READ | UC_PROT_WRITE};
    m.thunks.reset(new PageBuffer(kPage));
    for (uint32_t id = 0; id <= kImportCount; id++) {
        uint8_t *thunk = m.thunks->bytes + (size_t)id * kThunkBytes;
        uint32_t pop = id < kImportCount ? 4 * kImports[id].arguments : 0;
        thunk[0] = 0xC2;  // ret pop
        thunk[1] = (uint8_t)pop;
        thunk[2] = (uint8_t)(pop >> 8);
    }
    Require(
        uc_mem_map_ptr(m.uc, m.stackRegion.start, m.stackRegion.size, m.stackRegion.perms, m.stack->bytes),
        "mapping the stack");
    Require(uc_mem_map_ptr(m.uc, kThunks, kPage, UC_PROT_READ | UC_PROT_EXEC, m.thunks->bytes),
            "mapping the import entry points");
    m.regions.push_back(m.stackRegion);
}

void AddHooks(Machine &m)
{
    uc_hook hook;
    Require(uc_hook_add(m.uc, &hook, UC_HOOK_CODE, (void *)OnInstruction, &m, 1, 0), "adding a hook");
    Require(uc_hook_add(m.uc, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, (void *)OnStackAccess, &m,
                        m.stackRegion.start, (uint64_t)kStackTop - 1),
            "adding a hook");
    Require(uc_hook_add(m.uc, &hook, UC_HOOK_MEM_INVALID, (void *)OnBadAccess, &m, 1, 0), "adding a hook");
    Require(uc_hook_add(m.uc, &hook, UC_HOOK_INTR, (void *)OnInterrupt, &m, 1, 0), "adding a hook");
    Require(uc_hook_add(m.uc, &hook, UC_HOOK_INSN_INVALID, (void *)OnInvalidInstruction, &m, 1, 0),
            "adding a hook");
}

// The code hook's table, from the instructions of .code as loaded.
void ResetDecoded(Machine &m)
{
    m.decoded.assign(m.code.size, Decoded{0, InstructionKind::kOther});
    for (const Instruction &i : m.instructions)
        m.decoded[i.rva - m.codeSection.rva] = {i.size, i.kind};
}

// Unicorn keeps the code it has translated: after a patch, the translations
// of those bytes go, or a run would execute what was there before. (Asked
// for the whole image at once, Unicorn 2.0.1 kept the entry point's.)
void ForgetTranslations(Machine &m, uint32_t rva, uint32_t size)
{
    uc_ctl_remove_cache(m.uc, (uint64_t)kImageBase + rva, (uint64_t)kImageBase + rva + size);
}

// A run's footprint starts empty; held to a recorded run, it may take
// kFootprintSlack times that run's instructions. A run beyond those
// recorded has nothing to be held to, and does not start.
bool StartFootprint(Machine &m)
{
    m.footprint = Footprint{};
    m.heldTo = nullptr;
    if (m.watch != Watch::kHolding)
        return true;
    if (m.nextHeld == m.footprints.size()) {
        m.outcome.fault = "a run past the " + std::to_string(m.footprints.size()) + " runs recorded";
        return false;
    }
    m.heldTo = &m.footprints[m.nextHeld++];
    m.limit = std::min(m.limit, kFootprintSlack * m.heldTo->instructions);
    return true;
}

void EndFootprint(Machine &m)
{
    if (m.watch != Watch::kRecording)
        return;
    m.footprint.instructions = m.outcome.instructions;
    m.footprints.push_back(m.footprint);
}

void Decode(Machine &m)
{
    m.instructions = DecodeAll(&m.pe.memory[m.codeSection.rva], m.codeSection.content, m.codeSection.rva);
    ResetDecoded(m);
}

}  // namespace

MachinePtr Load(const std::vector<uint8_t> &file, std::string *fault)
{
    MachinePtr m(new Machine);
    Require(uc_open(UC_ARCH_X86, UC_MODE_32, &m->uc), "opening an i386 CPU");
    // With exits on and none set, only the hooks end a run: uc_emu_start's
    // `until` would end it silently wherever it pointed, at 0 by default.
    Require(uc_ctl_exits_enable(m->uc), "turning off the run's end address");
    if (!LoadPe(file, kImageBase, ImportEntry, &m->pe, fault) || !MapImage(*m, fault))
        return nullptr;
    MapStackAndThunks(*m);
    AddHooks(*m);
    m->patched = m->pe.memory;
    Decode(*m);
    return m;
}

Outcome Run(Machine &m, uint64_t instructionLimit)
{
    memcpy(m.image->bytes, m.patched.data(), m.patched.size());
    memset(m.stack->bytes, 0, m.stackRegion.size);
    m.outcome = Outcome{};
    m.limit = instructionLimit;
    m.callPending = false;
    m.committedLow = kStackTop - PageRound(m.pe.stackCommit);
    m.lowest = kStackTop;
    if (!StartFootprint(m))
        return m.outcome;

    // The loader calls the entry point: its return address is on the stack.
    uint32_t esp = kStackTop - 4;
    WriteGuest(m, esp, &kLoaderReturn, 4);
    m.frames.assign(1, Frame{esp, kLoaderReturn});
    for (int id : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                   UC_X86_REG_EDI, UC_X86_REG_EBP})
        SetRegister(m, id, kUnsetRegister);
    SetRegister(m, UC_X86_REG_ESP, esp);
    SetRegister(m, UC_X86_REG_EFLAGS, 0x202);

    uc_err error = uc_emu_start(m.uc, kImageBase + m.pe.entry, 0, 0, 0);
    if (m.outcome.fault.empty())
        Require(error, "running the image");
    // hlt, or an exception Unicorn ends the run on without a hook (a division
    // by zero, ud0).
    if (m.outcome.fault.empty() && !m.outcome.exited)
        m.outcome.fault = "the CPU stopped without ExitProcess" + ByInstruction(m);
    if (!m.outcome.fault.empty())
        m.outcome.exited = false;
    m.outcome.deepestStack = kStackTop - m.lowest;
    EndFootprint(m);
    return m.outcome;
}

const LoadedImage &Image(const Machine &m)
{
    return m.pe;
}

const LoadedSection &CodeSection(const Machine &m)
{
    return m.codeSection;
}

const std::vector<Instruction> &CodeInstructions(const Machine &m)
{
    return m.instructions;
}

void Patch(Machine &m, uint32_t rva, const std::vector<uint8_t> &bytes)
{
    if (rva > m.patched.size() || bytes.size() > m.patched.size() - rva)
        abort();  // a caller's own mistake
    memcpy(&m.patched[rva], bytes.data(), bytes.size());
    m.patches.push_back({rva, (uint32_t)bytes.size()});
    ForgetTranslations(m, rva, (uint32_t)bytes.size());
    // Every instruction that may overlap the patch is decoded again when reached.
    uint32_t code = m.codeSection.rva, end = code + m.codeSection.size;
    uint32_t from = rva < code + kLongestInstruction ? code : rva - kLongestInstruction + 1;
    for (uint32_t at = from; at < end && at < rva + bytes.size(); at++)
        m.decoded[at - code].size = 0;
}

void RecordFootprints(Machine &m)
{
    m.watch = Watch::kRecording;
    m.footprints.clear();
}

void HoldToFootprints(Machine &m)
{
    m.watch = Watch::kHolding;
    m.nextHeld = 0;
}

void Unpatch(Machine &m)
{
    for (const auto &patch : m.patches) {
        memcpy(&m.patched[patch.first], &m.pe.memory[patch.first], patch.second);
        ForgetTranslations(m, patch.first, patch.second);
    }
    m.patches.clear();
    ResetDecoded(m);
}

std::string ImportName(uint32_t entry)
{
    int id = ImportAt(entry);
    return id >= 0 && (uint32_t)id < kImportCount ? kImports[id].name : "";
}

// Where the image's imports go: each of the seven to its entry point.
uint32_t ImportEntry(const std::string &library, const std::string &function)
{
    for (uint32_t id = 0; id < kImportCount; id++)
        if (strcasecmp(kImports[id].library, library.c_str()) == 0 && function == kImports[id].name)
            return kThunks + id * kThunkBytes;
    return 0;
}

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// B64FILTER_WIN32_IMAGE, or empty.
std::string ShippedImagePath()
{
    const char *path = getenv("B64FILTER_WIN32_IMAGE");
    return path ? path : "";
}

}  // namespace

std::vector<uint8_t> ShippedImageFile(std::string *missing)
{
    const std::string path = ShippedImagePath();
    std::vector<uint8_t> file = path.empty() ? std::vector<uint8_t>() : ReadBytes(path);
    if (path.empty())
        *missing = "B64FILTER_WIN32_IMAGE names no image";
    else if (file.empty())
        *missing = "no Windows image at " + path +
                   "; `cmake --preset win32 && cmake --build --preset win32` builds it (./check does)";
    return file;
}

std::string EmulatorName()
{
    return "Unicorn " + std::to_string(UC_VERSION_MAJOR) + "." + std::to_string(UC_VERSION_MINOR) + "." +
           std::to_string(UC_VERSION_PATCH);
}

MachinePtr LoadShippedImage(std::string *missing, std::string *fault)
{
    std::vector<uint8_t> file = ShippedImageFile(missing);
    MachinePtr machine;
    if (!file.empty() && !(machine = Load(file, fault)))
        *fault = ShippedImagePath() + ": " + *fault;
    return machine;
}

Machine *ShippedImage(std::string *missing, std::string *fault)
{
    static std::string missingWhy, faultWhy;
    static MachinePtr machine = LoadShippedImage(&missingWhy, &faultWhy);
    *missing = missingWhy;
    *fault = faultWhy;
    return machine.get();
}

}  // namespace emulated
