// The seven imports, served from the scripted platform as the CPU reaches
// their entry points: each call's arguments taken from the emulated stack,
// each buffer and string checked against the memory map, as Windows would
// take them from a 32-bit process.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/format/wvsprintf.h"
#include "tests/emulator/machine.h"
#include "tests/scripted_platform/scripted_platform.h"

namespace emulated {

namespace {

enum ImportId {
    kGetStdHandle,
    kReadFile,
    kWriteFile,
    kCloseHandle,
    kGetLastError,
    kExitProcess,
    kWvsprintfA,
};
static_assert(kWvsprintfA + 1 == kImportCount, "machine.h counts the imports");

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
    if (!ReadGuestWord(*list->machine, list->next, &word))
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
        if (!WriteGuestWord(m, a[3], done)) {
            Fault(m, name + " given its count to fill at " + Where(m, a[3]) + ", outside writable memory");
            return;
        }
        if (id == kReadFile)
            WriteGuest(m, a[1], buffer.data(), std::min(done, a[2]));
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

}  // namespace

void MapImportEntries(Machine &m)
{
    m.thunks.reset(new PageBuffer(kPage));
    for (uint32_t id = 0; id <= kImportCount; id++) {
        uint8_t *thunk = m.thunks->bytes + (size_t)id * kThunkBytes;
        uint32_t pop = id < kImportCount ? 4 * kImports[id].arguments : 0;
        thunk[0] = 0xC2;  // ret pop
        thunk[1] = (uint8_t)pop;
        thunk[2] = (uint8_t)(pop >> 8);
    }
    Require(uc_mem_map_ptr(m.uc, kThunks, kPage, UC_PROT_READ | UC_PROT_EXEC, m.thunks->bytes),
            "mapping the import entry points");
}

int ImportAt(uint32_t address)
{
    uint32_t offset = address - kThunks;
    if (address < kThunks || offset % kThunkBytes != 0 || offset / kThunkBytes > kImportCount)
        return -1;
    return (int)(offset / kThunkBytes);
}

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

}  // namespace emulated
