#include "platform/test/emulated_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <fstream>
#include <iterator>

#include <unicorn/unicorn.h>

#include "platform/posix/wvsprintf.h"
#include "platform/test/scripted_platform.h"

namespace emulated {

namespace {

const uint32_t kPage = 0x1000;

// Each import's entry point is one `ret 4n` instruction in a page of its
// own: the code hook serves the import as the CPU reaches it, and the ret
// then pops the arguments, as a stdcall function does. One more entry point
// stands for the loader, which the entry point would return to.
const uint32_t kThunks = 0xC0010000u;
const uint32_t kThunkBytes = 16;

enum ImportId {
    kGetStdHandle,
    kReadFile,
    kWriteFile,
    kCloseHandle,
    kGetLastError,
    kExitProcess,
    kWvsprintfA,
    kImportCount
};
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

// Section flags (IMAGE_SCN_MEM_*).
const uint32_t kExecute = 0x20000000u, kRead = 0x40000000u, kWrite = 0x80000000u;

// A run starts with every general register holding this, so code that used
// one it had not set would go wrong visibly.
const uint32_t kUnsetRegister = 0xCCCCCCCCu;

uint32_t PageRound(uint32_t n)
{
    return (n + kPage - 1) & ~(kPage - 1);
}

std::string Hex(uint64_t n)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)n);
    return text;
}

// Memory of the host that backs part of the emulated address space.
struct Region {
    std::string name;
    uint32_t start;
    uint32_t size;
    uint8_t *host;
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

}  // namespace

struct Machine {
    uc_engine *uc = nullptr;
    std::unique_ptr<PageBuffer> image, stack, thunks;
    std::vector<uint8_t> loaded;  // the image as loaded, to start each run from
    std::vector<Region> regions;  // headers and sections, then the stack
    Region code{}, stackRegion{};
    uint32_t entry = 0, stackReserve = 0, stackCommit = 0;

    // The run under way.
    Outcome outcome{};
    uint64_t limit = 0;
    std::vector<Frame> frames;
    bool callPending = false;
    uint32_t pendingReturn = 0;
    uint32_t committedLow = 0, lowest = 0;
};

void MachineDeleter::operator()(Machine *machine) const
{
    if (machine->uc)
        uc_close(machine->uc);
    delete machine;
}

namespace {

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
    if (m.outcome.fault.empty())
        m.outcome.fault = what;
    uc_emu_stop(m.uc);
}

std::string ByInstruction(Machine &m)
{
    return ", by the instruction at " + Where(m, Register(m, UC_X86_REG_EIP));
}

// Reads of the image's memory for the imports, from any region.
bool ReadGuest(const Machine &m, uint32_t address, void *to, uint32_t bytes)
{
    const Region *r = RegionOf(m, address, bytes);
    if (!r)
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

// What an import writes into the image's memory: its stack only, the one
// writable place there is.
bool WriteGuestStack(Machine &m, uint32_t address, const void *from, uint32_t bytes)
{
    if (!m.stackRegion.Holds(address, bytes))
        return false;
    memcpy(m.stackRegion.host + (address - m.stackRegion.start), from, bytes);
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
        Fault(m, "stack overflow: the reserve of " + std::to_string(m.stackReserve) + " bytes is used up" +
                     ByInstruction(m));
}

void CheckReturn(Machine &m, uint32_t esp, const std::string &what)
{
    if (m.frames.empty()) {
        Fault(m, what + " with no call to return from");
        return;
    }
    Frame frame = m.frames.back();
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

HANDLE HostHandle(uint32_t handle)
{
    return handle == 0xFFFFFFFFu ? INVALID_HANDLE_VALUE : (HANDLE)(uintptr_t)handle;
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

void Transfer(Machine &m, ImportId id, const uint32_t *a)
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
        std::vector<uint8_t> buffer(a[2] <= m.stackReserve ? a[2] : 0);
        DWORD done = 0;
        if (buffer.size() != a[2] || !ReadGuest(m, a[1], buffer.data(), a[2]) ||
            (id == kReadFile && !m.stackRegion.Holds(a[1], a[2]))) {
            Fault(m, name + " given a buffer of " + std::to_string(a[2]) + " bytes at " + Where(m, a[1]) +
                         " outside the image's memory or, to fill, outside its stack");
            return;
        }
        if (id == kReadFile)
            result = ReadFile(HostHandle(a[0]), buffer.data(), a[2], &done, HostOverlapped(a[4]));
        else
            result = WriteFile(HostHandle(a[0]), buffer.data(), a[2], &done, HostOverlapped(a[4]));
        if ((id == kReadFile && !WriteGuestStack(m, a[1], buffer.data(), a[2])) ||
            !WriteGuestStack(m, a[3], &done, 4)) {
            Fault(m, name + " given its count to fill at " + Where(m, a[3]) + ", outside the stack");
            return;
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
        if (!WriteGuestStack(m, a[0], output, (uint32_t)count + 1)) {
            Fault(m, "wvsprintfA given its output buffer at " + Where(m, a[0]) + ", outside the stack");
            return;
        }
        result = (uint32_t)count;
        break;
    }
    case kImportCount:
        break;
    }
    SetRegister(m, UC_X86_REG_EAX, result);
}

// An import's entry point reached: the call's arguments are on the stack
// above its return address.
void ServeImport(Machine &m, uint32_t address)
{
    uint32_t esp = Register(m, UC_X86_REG_ESP);
    if (address == kLoaderReturn) {
        Fault(m, "the entry point returned to the loader instead of calling ExitProcess");
        return;
    }
    uint32_t offset = address - kThunks;
    if (offset % kThunkBytes != 0 || offset / kThunkBytes >= kImportCount) {
        Fault(m, "instruction fetched outside .code at " + Where(m, address));
        return;
    }
    ImportId id = (ImportId)(offset / kThunkBytes);
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
    Transfer(m, id, arguments);
}

bool IsPrefix(uint8_t byte)
{
    switch (byte) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
        return true;
    }
    return false;
}

void OnInstruction(uc_engine *, uint64_t address64, uint32_t size, void *user)
{
    Machine &m = *(Machine *)user;
    uint32_t address = (uint32_t)address64;
    if (address >= kThunks && address < kThunks + kPage) {
        ServeImport(m, address);
        return;
    }
    if (!m.code.Holds(address, size)) {
        Fault(m, "instruction fetched outside .code at " + Where(m, address));
        return;
    }
    if (++m.outcome.instructions > m.limit) {
        Fault(m,
              "ran past its limit of " + std::to_string(m.limit) + " instructions, at " + Where(m, address));
        return;
    }
    if (m.callPending) {
        m.frames.push_back({Register(m, UC_X86_REG_ESP), m.pendingReturn});
        m.callPending = false;
    }
    const uint8_t *op = m.code.host + (address - m.code.start);
    const uint8_t *end = op + size;
    while (op + 1 < end && IsPrefix(*op))
        op++;
    if (op[0] == 0xE8 || (op[0] == 0xFF && op + 1 < end && ((op[1] >> 3) & 7) == 2)) {
        m.callPending = true;
        m.pendingReturn = address + size;
    } else if (op[0] == 0xC3 || op[0] == 0xC2) {
        CheckReturn(m, Register(m, UC_X86_REG_ESP), "ret at " + Where(m, address));
    } else if (op[0] == 0xCA || op[0] == 0xCB || op[0] == 0xCF ||
               (op[0] == 0xFF && op + 1 < end && ((op[1] >> 3) & 7) == 3)) {
        Fault(m, "far call or return at " + Where(m, address));
    }
}

void OnWrite(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *user)
{
    Machine &m = *(Machine *)user;
    if (m.stackRegion.Holds((uint32_t)address, (uint32_t)size))
        TouchStack(m, (uint32_t)address);
    else
        Fault(m, "write outside the stack, " + std::to_string(size) + " bytes at " +
                     Where(m, (uint32_t)address) + ByInstruction(m));
}

void OnStackRead(uc_engine *, uc_mem_type, uint64_t address, int, int64_t, void *user)
{
    TouchStack(*(Machine *)user, (uint32_t)address);
}

bool OnBadAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    Machine &m = *(Machine *)user;
    std::string what;
    switch (type) {
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
        Fault(m, "instruction fetched outside .code at " + Where(m, (uint32_t)address));
        return false;
    case UC_MEM_READ_UNMAPPED:
        what = "read of unmapped memory";
        break;
    case UC_MEM_READ_PROT:
        what = "read of memory that is not readable";
        break;
    default:
        what = "write to memory that is not writable";
        break;
    }
    Fault(m,
          what + ", " + std::to_string(size) + " bytes at " + Where(m, (uint32_t)address) + ByInstruction(m));
    return false;
}

void OnInterrupt(uc_engine *, uint32_t number, void *user)
{
    Machine &m = *(Machine *)user;
    Fault(m, "interrupt " + std::to_string(number) + ByInstruction(m));
}

bool OnInvalidInstruction(uc_engine *, void *user)
{
    Machine &m = *(Machine *)user;
    Fault(m, "invalid instruction" + ByInstruction(m));
    return false;
}

// The PE headers, read with bounds: a field past the end of the file reads as
// absent (and fails the load).
struct FileReader {
    const std::vector<uint8_t> &bytes;
    bool ok = true;
    uint32_t At(size_t offset, size_t width)
    {
        if (offset + width > bytes.size()) {
            ok = false;
            return 0;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < width; i++)
            value |= (uint32_t)bytes[offset + i] << (8 * i);
        return value;
    }
};

// A word of the image being loaded, at an offset from its base.
uint32_t ImageWord(const Machine &m, uint32_t rva, bool *ok)
{
    if (m.loaded.size() < 4 || rva > m.loaded.size() - 4) {
        *ok = false;
        return 0;
    }
    uint32_t value;
    memcpy(&value, &m.loaded[rva], 4);
    return value;
}

bool ImageString(const Machine &m, uint32_t rva, std::string *text)
{
    text->clear();
    for (; rva < m.loaded.size(); rva++) {
        if (m.loaded[rva] == 0)
            return true;
        *text += (char)m.loaded[rva];
    }
    return false;
}

bool Relocate(Machine &m, uint32_t rva, uint32_t size, uint32_t delta, std::string *fault)
{
    bool ok = true;
    for (uint32_t block = rva; block < rva + size;) {
        uint32_t page = ImageWord(m, block, &ok), blockSize = ImageWord(m, block + 4, &ok);
        if (!ok || blockSize < 8) {
            *fault = "base relocations cut short at " + Hex(block);
            return false;
        }
        for (uint32_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
            uint16_t fixup = (uint16_t)(m.loaded[entry] | m.loaded[entry + 1] << 8);
            uint32_t at = page + (fixup & 0xFFF);
            if (fixup >> 12 == 0)  // padding
                continue;
            uint32_t word = ImageWord(m, at, &ok);
            if (fixup >> 12 != 3 || !ok) {
                *fault = "base relocation of type " + std::to_string(fixup >> 12) + " at " + Hex(at) +
                         " that a 32-bit image does not have";
                return false;
            }
            word += delta;
            memcpy(&m.loaded[at], &word, 4);
        }
        block += blockSize;
    }
    return true;
}

bool BindImports(Machine &m, uint32_t rva, std::string *fault)
{
    bool ok = true;
    for (uint32_t descriptor = rva;; descriptor += 20) {
        uint32_t names = ImageWord(m, descriptor, &ok), nameRva = ImageWord(m, descriptor + 12, &ok);
        uint32_t table = ImageWord(m, descriptor + 16, &ok);
        if (!ok) {
            *fault = "import directory cut short";
            return false;
        }
        if (nameRva == 0 && table == 0)
            return true;
        std::string library;
        if (!ImageString(m, nameRva, &library)) {
            *fault = "import library name cut short";
            return false;
        }
        for (uint32_t i = 0;; i++) {
            uint32_t entry = ImageWord(m, (names ? names : table) + 4 * i, &ok);
            if (!ok) {
                *fault = "import table of " + library + " cut short";
                return false;
            }
            if (entry == 0)
                break;
            std::string function;
            if (entry & 0x80000000u || !ImageString(m, entry + 2, &function)) {
                *fault = "an import from " + library + " by ordinal or with no name";
                return false;
            }
            int id = 0;
            while (id < kImportCount &&
                   (strcasecmp(kImports[id].library, library.c_str()) != 0 || function != kImports[id].name))
                id++;
            if (id == kImportCount) {
                *fault = "imports " + library;
                *fault += "!" + function + ", which is not one of the seven";
                return false;
            }
            uint32_t thunk = kThunks + (uint32_t)id * kThunkBytes;
            ImageWord(m, table + 4 * i, &ok);
            if (!ok) {
                *fault = "import address table of " + library + " cut short";
                return false;
            }
            memcpy(&m.loaded[table + 4 * i], &thunk, 4);
        }
    }
}

// The loader's work on the file: headers, sections at their addresses, base
// relocations, the import address table.
bool MapFile(Machine &m, const std::vector<uint8_t> &file, std::string *fault)
{
    FileReader in{file};
    uint32_t pe = in.At(0x3C, 4);
    if (in.At(0, 2) != 0x5A4D || in.At(pe, 4) != 0x4550 || in.At(pe + 4, 2) != 0x14C ||
        in.At(pe + 24, 2) != 0x10B || !in.ok) {
        *fault = "not a PE32 image for i386";
        return false;
    }
    uint32_t sections = in.At(pe + 6, 2), optional = pe + 24, table = optional + in.At(pe + 20, 2);
    uint32_t preferred = in.At(optional + 28, 4), alignment = in.At(optional + 32, 4);
    uint32_t imageSize = in.At(optional + 56, 4), headerSize = in.At(optional + 60, 4);
    m.entry = in.At(optional + 16, 4);
    m.stackReserve = in.At(optional + 72, 4);
    m.stackCommit = in.At(optional + 76, 4);
    uint32_t importRva = in.At(optional + 104, 4), relocRva = in.At(optional + 136, 4);
    uint32_t relocSize = in.At(optional + 140, 4);
    if (!in.ok || alignment != kPage || imageSize == 0 || imageSize > 0x10000000u || headerSize > imageSize ||
        headerSize > file.size() || m.stackReserve < 2 * kPage || m.stackReserve > 0x10000000u) {
        *fault = "headers this loader cannot take (section alignment " + Hex(alignment) + ", image size " +
                 Hex(imageSize) + ", stack reserve " + Hex(m.stackReserve) + ")";
        return false;
    }
    m.loaded.assign(PageRound(imageSize), 0);
    memcpy(m.loaded.data(), file.data(), headerSize);
    m.regions.push_back({"headers", kImageBase, PageRound(headerSize), nullptr});
    std::vector<uint32_t> flags;
    for (uint32_t i = 0; i < sections; i++) {
        uint32_t at = table + 40 * i;
        char name[9] = {};
        for (int c = 0; c < 8; c++)
            name[c] = (char)in.At(at + c, 1);
        uint32_t virtualSize = in.At(at + 8, 4), rva = in.At(at + 12, 4);
        uint32_t rawSize = in.At(at + 16, 4), rawAt = in.At(at + 20, 4);
        uint32_t copied = rawSize < virtualSize ? rawSize : virtualSize;
        if (!in.ok || rva % kPage || rva < PageRound(headerSize) || rva > m.loaded.size() ||
            PageRound(virtualSize) > m.loaded.size() - rva || rawAt > file.size() ||
            copied > file.size() - rawAt) {
            *fault = std::string("section ") + name + " lies outside the image or the file";
            return false;
        }
        memcpy(&m.loaded[rva], &file[rawAt], copied);
        m.regions.push_back({name, kImageBase + rva, PageRound(virtualSize), nullptr});
        flags.push_back(in.At(at + 36, 4));
    }
    if (relocRva == 0 || relocSize == 0) {
        *fault = "no base relocations: the image can only load at its preferred base";
        return false;
    }
    if (!Relocate(m, relocRva, relocSize, kImageBase - preferred, fault) || !BindImports(m, importRva, fault))
        return false;

    const Region *code = nullptr;
    for (size_t i = 1; i < m.regions.size(); i++)
        if (m.regions[i].name == ".code" && flags[i - 1] & kExecute)
            code = &m.regions[i];
    if (!code) {
        *fault = "no executable .code section";
        return false;
    }
    m.code = *code;
    m.image.reset(new PageBuffer((uint32_t)m.loaded.size()));
    for (size_t i = 0; i < m.regions.size(); i++) {
        Region &r = m.regions[i];
        r.host = m.image->bytes + (r.start - kImageBase);
        uint32_t f = i == 0 ? kRead : flags[i - 1];
        uint32_t perms = ((f & kRead) ? UC_PROT_READ : 0) | ((f & kWrite) ? UC_PROT_WRITE : 0) |
                         ((f & kExecute) ? UC_PROT_EXEC : 0);
        if (uc_mem_map_ptr(m.uc, r.start, r.size, perms, r.host) != UC_ERR_OK) {
            *fault = "section " + r.name + " overlaps another";
            return false;
        }
    }
    m.code.host = m.image->bytes + (m.code.start - kImageBase);
    return true;
}

bool MapStackAndThunks(Machine &m, std::string *fault)
{
    m.stack.reset(new PageBuffer(m.stackReserve));
    m.stackRegion = {"stack", kStackTop - PageRound(m.stackReserve), PageRound(m.stackReserve),
                     m.stack->bytes};
    m.thunks.reset(new PageBuffer(kPage));
    for (uint32_t id = 0; id <= kImportCount; id++) {
        uint8_t *thunk = m.thunks->bytes + (size_t)id * kThunkBytes;
        uint32_t pop = id < kImportCount ? 4 * kImports[id].arguments : 0;
        thunk[0] = 0xC2;  // ret pop
        thunk[1] = (uint8_t)pop;
        thunk[2] = (uint8_t)(pop >> 8);
    }
    if (uc_mem_map_ptr(m.uc, m.stackRegion.start, m.stackRegion.size, UC_PROT_READ | UC_PROT_WRITE,
                       m.stack->bytes) != UC_ERR_OK ||
        uc_mem_map_ptr(m.uc, kThunks, kPage, UC_PROT_READ | UC_PROT_EXEC, m.thunks->bytes) != UC_ERR_OK) {
        *fault = "the image overlaps its stack";
        return false;
    }
    m.regions.push_back(m.stackRegion);
    return true;
}

bool AddHooks(Machine &m)
{
    uc_hook hook;
    return uc_hook_add(m.uc, &hook, UC_HOOK_CODE, (void *)OnInstruction, &m, 1, 0) == UC_ERR_OK &&
           uc_hook_add(m.uc, &hook, UC_HOOK_MEM_WRITE, (void *)OnWrite, &m, 1, 0) == UC_ERR_OK &&
           uc_hook_add(m.uc, &hook, UC_HOOK_MEM_READ, (void *)OnStackRead, &m, m.stackRegion.start,
                       (uint64_t)kStackTop - 1) == UC_ERR_OK &&
           uc_hook_add(m.uc, &hook, UC_HOOK_MEM_INVALID, (void *)OnBadAccess, &m, 1, 0) == UC_ERR_OK &&
           uc_hook_add(m.uc, &hook, UC_HOOK_INTR, (void *)OnInterrupt, &m, 1, 0) == UC_ERR_OK &&
           uc_hook_add(m.uc, &hook, UC_HOOK_INSN_INVALID, (void *)OnInvalidInstruction, &m, 1, 0) ==
               UC_ERR_OK;
}

}  // namespace

MachinePtr Load(const std::vector<uint8_t> &file, std::string *fault)
{
    MachinePtr m(new Machine);
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &m->uc) != UC_ERR_OK) {
        m->uc = nullptr;
        *fault = "the CPU emulator does not start";
        return nullptr;
    }
    if (!MapFile(*m, file, fault) || !MapStackAndThunks(*m, fault))
        return nullptr;
    if (!AddHooks(*m)) {
        *fault = "the CPU emulator takes no hooks";
        return nullptr;
    }
    return m;
}

Outcome Run(Machine &m, uint64_t instructionLimit)
{
    memcpy(m.image->bytes, m.loaded.data(), m.loaded.size());
    memset(m.stack->bytes, 0, m.stackRegion.size);
    m.outcome = Outcome{};
    m.outcome.stackReserve = m.stackReserve;
    m.outcome.stackCommit = m.stackCommit;
    m.limit = instructionLimit;
    m.callPending = false;
    m.committedLow = kStackTop - PageRound(m.stackCommit);
    m.lowest = kStackTop;

    // The loader calls the entry point: its return address is on the stack.
    uint32_t esp = kStackTop - 4;
    WriteGuestStack(m, esp, &kLoaderReturn, 4);
    m.frames.assign(1, Frame{esp, kLoaderReturn});
    for (int id : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
                   UC_X86_REG_EDI, UC_X86_REG_EBP})
        SetRegister(m, id, kUnsetRegister);
    SetRegister(m, UC_X86_REG_ESP, esp);
    SetRegister(m, UC_X86_REG_EFLAGS, 0x202);

    uc_err error = uc_emu_start(m.uc, kImageBase + m.entry, 0, 0, 0);
    if (m.outcome.fault.empty() && error != UC_ERR_OK)
        m.outcome.fault = std::string("the CPU stopped: ") + uc_strerror(error) + ByInstruction(m);
    if (m.outcome.fault.empty() && !m.outcome.exited)
        m.outcome.fault = "the CPU stopped without ExitProcess" + ByInstruction(m);
    if (!m.outcome.fault.empty())
        m.outcome.exited = false;
    m.outcome.deepestStack = kStackTop - m.lowest;
    return m.outcome;
}

void Patch(Machine &m, uint32_t rva, const std::vector<uint8_t> &bytes)
{
    if (rva > m.loaded.size() || bytes.size() > m.loaded.size() - rva)
        abort();  // a test's own mistake
    memcpy(&m.loaded[rva], bytes.data(), bytes.size());
    uc_ctl_remove_cache(m.uc, (uint64_t)kImageBase + rva, (uint64_t)kImageBase + rva + bytes.size());
}

uint32_t EntryPoint(const Machine &m)
{
    return m.entry;
}

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Machine *ShippedImage(std::string *missing, std::string *fault)
{
    static MachinePtr machine;
    static std::string missingWhy, faultWhy;
    static bool tried = false;
    if (!tried) {
        tried = true;
        const char *path = getenv("B64FILTER_WIN32_IMAGE");
        std::vector<uint8_t> file = path ? ReadBytes(path) : std::vector<uint8_t>();
        if (!path)
            missingWhy = "B64FILTER_WIN32_IMAGE names no image";
        else if (file.empty())
            missingWhy = std::string("no Windows image at ") + path +
                         "; `cmake --preset win32 && cmake --build --preset win32` builds it (./check does)";
        else if (!(machine = Load(file, &faultWhy)))
            faultWhy = std::string(path) + ": " + faultWhy;
    }
    *missing = missingWhy;
    *fault = faultWhy;
    return machine.get();
}

}  // namespace emulated
