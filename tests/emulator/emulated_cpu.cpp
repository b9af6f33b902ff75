// The machine: the loaded image, its stack and the import entry points mapped
// into Unicorn's memory, the hooks that name each fault, and the runs.
#include "tests/emulator/emulated_cpu.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include "tests/emulator/machine.h"

namespace emulated {

namespace {

// A run starts with every general register holding this, so code that used
// one it had not set would go wrong visibly.
const uint32_t kUnsetRegister = 0xCCCCCCCCu;

}  // namespace

void MachineDeleter::operator()(Machine *machine) const
{
    if (machine->uc)  // none for an image the loader refused
        uc_close(machine->uc);
    delete machine;
}

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

const Region *RegionOf(const Machine &m, uint32_t address, uint32_t bytes)
{
    for (const Region &r : m.regions)
        if (r.Holds(address, bytes))
            return &r;
    return nullptr;
}

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
    if (m.outcome.fault.empty())
        m.outcome.fault = what;
    uc_emu_stop(m.uc);
}

bool Faulted(const Machine &m)
{
    return !m.outcome.fault.empty();
}

std::string ByInstruction(Machine &m)
{
    return ", by the instruction at " + Where(m, Register(m, UC_X86_REG_EIP));
}

bool ReadGuest(const Machine &m, uint32_t address, void *to, uint32_t bytes)
{
    const Region *r = RegionOf(m, address, bytes);
    if (!r || !(r->perms & UC_PROT_READ))
        return false;
    memcpy(to, r->host + (address - r->start), bytes);
    return true;
}

bool ReadGuestWord(const Machine &m, uint32_t address, uint32_t *word)
{
    uint8_t bytes[4] = {};
    bool read = ReadGuest(m, address, bytes, 4);
    *word = LittleEndianWord(bytes);
    return read;
}

uint32_t GuestWord(const Machine &m, uint32_t address)
{
    uint32_t word = 0;
    ReadGuestWord(m, address, &word);
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

bool WriteGuest(Machine &m, uint32_t address, const void *from, uint32_t bytes)
{
    const Region *r = RegionOf(m, address, bytes);
    if (!r || !(r->perms & UC_PROT_WRITE))
        return false;
    memcpy(r->host + (address - r->start), from, bytes);
    if (m.stackRegion.Holds(address, 1))
        m.dirtyLow = std::min(m.dirtyLow, address);
    NoteStackWrite(m, address, bytes);
    return true;
}

bool WriteGuestWord(Machine &m, uint32_t address, uint32_t word)
{
    uint8_t bytes[4];
    PutLittleEndianWord(bytes, word);
    return WriteGuest(m, address, bytes, 4);
}

namespace {

Decoded DecodedOf(const Instruction &i)
{
    Decoded d = {i.size, i.kind, i.memoryOperands, {}};
    std::copy(i.memory, i.memory + i.memoryOperands, d.memory);
    return d;
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
    if (d.size == 0)
        d = DecodedOf(DecodeAt(m.code.host, m.code.size, m.codeSection.rva, address - m.code.start));
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

// A general register as Capstone names it, read as the CPU holds it.
uint32_t CapstoneRegister(Machine &m, uint16_t reg)
{
    static const std::pair<uint16_t, int> kRegisters[] = {
        {X86_REG_EAX, UC_X86_REG_EAX}, {X86_REG_EBX, UC_X86_REG_EBX}, {X86_REG_ECX, UC_X86_REG_ECX},
        {X86_REG_EDX, UC_X86_REG_EDX}, {X86_REG_ESI, UC_X86_REG_ESI}, {X86_REG_EDI, UC_X86_REG_EDI},
        {X86_REG_EBP, UC_X86_REG_EBP}, {X86_REG_ESP, UC_X86_REG_ESP},
    };
    for (const auto &r : kRegisters)
        if (r.first == reg)
            return Register(m, r.second);
    return 0;  // none (X86_REG_INVALID), or a register no address of the image's code is made of
}

// A step of a traced run, as the instruction at `address` starts.
void TraceStepAt(Machine &m, uint32_t address, const Decoded *d)
{
    TraceStep step = {address, Register(m, UC_X86_REG_ESP), 0, {}};
    for (uint8_t n = 0; d && n < d->memoryOperands; n++) {
        const MemoryOperand &op = d->memory[n];
        step.data[step.operands++] = CapstoneRegister(m, op.base) +
                                     CapstoneRegister(m, op.index) * (op.index ? op.scale : 0) +
                                     (uint32_t)op.displacement;
    }
    m.trace.push_back(step);
}

void OnInstruction(uc_engine *, uint64_t address64, uint32_t, void *user)
{
    Machine &m = *(Machine *)user;
    if (Faulted(m))
        return;
    uint32_t address = (uint32_t)address64;
    m.lastInstruction = address;
    int import = ImportAt(address);
    if (import >= 0) {
        if (m.tracing)
            TraceStepAt(m, address, nullptr);
        EnterImport(m, (uint32_t)import);
        return;
    }
    const Decoded *d = Fetch(m, address);
    if (d && m.tracing)
        TraceStepAt(m, address, d);
    if (d && CountInstruction(m, address))
        TrackCalls(m, address, *d);
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
    what += unmapped ? "unmapped memory"
            : write  ? "memory that is not writable"
                     : "memory that is not readable";
    Fault(m,
          what + ", " + std::to_string(size) + " bytes at " + Where(m, (uint32_t)address) + ByInstruction(m));
    return false;
}

// Whether the CPU is on a div or idiv that the code hook saw last: a divide
// error leaves it there, where int n and int3 leave it past themselves (so
// `int 0` before a division is not taken for one).
bool OnDivision(Machine &m)
{
    uint32_t eip = Register(m, UC_X86_REG_EIP);
    if (eip != m.lastInstruction || !m.code.Holds(eip, 1))
        return false;
    const std::string text = DecodeAt(m.code.host, m.code.size, m.codeSection.rva, eip - m.code.start).text;
    return text.rfind("div ", 0) == 0 || text.rfind("idiv ", 0) == 0;
}

// Software interrupts, and the one exception Unicorn hands to this hook:
// the divide error (as interrupt 0, or 8 for a quotient too large for its
// register). The others end the run with no hook (Run says which).
void OnInterrupt(uc_engine *, uint32_t number, void *user)
{
    Machine &m = *(Machine *)user;
    if (OnDivision(m))
        Fault(m, "divide error (by zero, or a quotient too large for its register) at " +
                     Where(m, Register(m, UC_X86_REG_EIP)));
    else
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
        // The loader keeps the sections apart, on whole pages and inside the image.
        Require(uc_mem_map_ptr(m.uc, r.start, r.size, r.perms, r.host), "mapping a section");
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

// The stack's bytes as the CPU reads and writes them (little-endian, as the
// guest's words are).
uint64_t ReadStack(uc_engine *, uint64_t offset, unsigned size, void *user)
{
    const Machine &m = *(const Machine *)user;
    uint64_t value = 0;
    for (unsigned i = 0; i < size; i++)
        value |= (uint64_t)m.stack->bytes[offset + i] << (8 * i);
    return value;
}

void WriteStack(uc_engine *, uint64_t offset, unsigned size, uint64_t value, void *user)
{
    Machine &m = *(Machine *)user;
    for (unsigned i = 0; i < size; i++)
        m.stack->bytes[offset + i] = (uint8_t)(value >> (8 * i));
}

// The stack is memory the CPU reaches through the two functions above, not
// through its TLB: the watch (stack.cpp) has to see every read, and
// Unicorn 2.0.1 built for an ARM host calls a read hook only when a read
// misses its TLB (the first read of a page in a run), where on x86 it calls
// it for every read; its writes it hooks on both. Memory served by
// functions misses the TLB every time, on every host.
void MapStack(Machine &m)
{
    m.stack.reset(new PageBuffer(m.pe.stackReserve));
    const uint32_t reserve = (uint32_t)PageRound(m.pe.stackReserve);  // the loader bounds it
    m.stackRegion = {"stack", kStackTop - reserve, reserve, m.stack->bytes, UC_PROT_READ | UC_PROT_WRITE};
    Require(uc_mmio_map(m.uc, m.stackRegion.start, m.stackRegion.size, ReadStack, &m, WriteStack, &m),
            "mapping the stack");
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
    m.decoded.assign(m.code.size, Decoded{0, InstructionKind::kOther, 0, {}});
    for (const Instruction &i : m.instructions)
        m.decoded[i.rva - m.codeSection.rva] = DecodedOf(i);
}

// Unicorn keeps the code it has translated: after a patch, the translations
// of those bytes go, or a run would execute what was there before. (Asked
// for the whole image at once, Unicorn 2.0.1 kept the entry point's.)
void ForgetTranslations(Machine &m, uint32_t rva, uint32_t size)
{
    uc_ctl_remove_cache(m.uc, (uint64_t)kImageBase + rva, (uint64_t)kImageBase + rva + size);
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
    if (!LoadPe(file, kImageBase, ImportEntry, &m->pe, fault))
        return nullptr;
    Require(uc_open(UC_ARCH_X86, UC_MODE_32, &m->uc), "opening an i386 CPU");
    // With exits on and none set, only the hooks end a run: uc_emu_start's
    // `until` would end it silently wherever it pointed, at 0 by default.
    Require(uc_ctl_exits_enable(m->uc), "turning off the run's end address");
    if (!MapImage(*m, fault))
        return nullptr;
    MapStack(*m);
    MapImportEntries(*m);
    AddHooks(*m);
    m->patched = m->pe.memory;
    Decode(*m);
    return m;
}

Outcome Run(Machine &m, uint64_t instructionLimit)
{
    memcpy(m.image->bytes, m.patched.data(), m.patched.size());
    m.outcome = Outcome{};
    m.limit = instructionLimit;
    m.trace.clear();
    m.callPending = false;
    StartStack(m);
    if (!StartFootprint(m))
        return m.outcome;

    // The loader calls the entry point: its return address is on the stack.
    uint32_t esp = kStackTop - 4;
    WriteGuestWord(m, esp, kLoaderReturn);
    m.frames.assign(1, Frame{esp, kLoaderReturn});
    for (int id : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                   UC_X86_REG_EDI, UC_X86_REG_EBP})
        SetRegister(m, id, kUnsetRegister);
    SetRegister(m, UC_X86_REG_ESP, esp);
    SetRegister(m, UC_X86_REG_EFLAGS, 0x202);

    uc_err error = uc_emu_start(m.uc, kImageBase + m.pe.entry, 0, 0, 0);
    if (m.outcome.fault.empty())
        Require(error, "running the image");
    // hlt, ud0, and the exceptions that Unicorn ends a run on without a hook
    // (bound, into, segment and privileged instructions): the address is
    // where Unicorn stopped, the faulting instruction or its block's start.
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

void Unpatch(Machine &m)
{
    for (const auto &patch : m.patches) {
        memcpy(&m.patched[patch.first], &m.pe.memory[patch.first], patch.second);
        ForgetTranslations(m, patch.first, patch.second);
    }
    m.patches.clear();
    ResetDecoded(m);
}

bool operator==(const TraceStep &a, const TraceStep &b)
{
    return a.address == b.address && a.stack == b.stack && a.operands == b.operands &&
           std::equal(a.data, a.data + a.operands, b.data);
}

void TraceRuns(Machine &m, bool on)
{
    m.tracing = on;
    m.trace.clear();
}

const std::vector<TraceStep> &LastTrace(const Machine &m)
{
    return m.trace;
}

std::string EmulatorName()
{
    return "Unicorn " + std::to_string(UC_VERSION_MAJOR) + "." + std::to_string(UC_VERSION_MINOR) + "." +
           std::to_string(UC_VERSION_PATCH);
}

}  // namespace emulated
