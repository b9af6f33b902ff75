// The emulated CPU's parts, shared by the files of tests/emulator/ and by nothing
// else (tests/emulator/emulated_cpu.h is the interface): the machine's state and
// memory, which emulated_cpu.cpp maps and runs; the import entry points,
// which imports.cpp serves; the watch on the stack and its footprints, which
// stack.cpp keeps.
#ifndef B64FILTER_MACHINE_H
#define B64FILTER_MACHINE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unicorn/unicorn.h>

#include "tests/emulator/emulated_cpu.h"

namespace emulated {

// Each import's entry point is one `ret 4n` instruction, 16 bytes apart in a
// page of their own: the code hook serves the import as the CPU reaches it,
// and the ret then pops the arguments, as a stdcall function does. One more
// entry point stands for the loader, which the image's entry would return to.
const uint32_t kThunks = kImportEntries;
const uint32_t kThunkBytes = 16;
const uint32_t kImportCount = 7;  // imports.cpp's table
const uint32_t kLoaderReturn = kThunks + kImportCount * kThunkBytes;

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
    explicit PageBuffer(uint64_t size) : bytes((uint8_t *)aligned_alloc(kPage, PageRound(size)))
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
    uint8_t memoryOperands;
    MemoryOperand memory[kMostMemoryOperands];
};

struct Machine {
    uc_engine *uc = nullptr;
    std::unique_ptr<PageBuffer> image, stack, thunks;
    LoadedImage pe;                                      // the image as loaded
    std::vector<uint8_t> patched;                        // and as patched, to start each run from
    std::vector<std::pair<uint32_t, uint32_t>> patches;  // offset and size of each since the load
    std::vector<Region> regions;                         // headers and sections, then the stack
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
    uint32_t committedLow = 0;
    uint32_t lowest = kStackTop;    // the deepest stack byte the image touched
    uint32_t dirtyLow = kStackTop;  // and the deepest anything wrote, cleared before the next run
    uint32_t lastInstruction = 0;   // the address the code hook saw last
    // Unicorn reads an unaligned word of the stack (memory served by
    // functions) as the two aligned words around it, and hooks each of them
    // too, after the image's own read: those two are not the image's.
    uint32_t splitNext = 0;  // where the next of them is
    int splitSize = 0;
    int splitLeft = 0;

    // The steps of the run under way, when runs are traced (TraceRuns).
    bool tracing = false;
    std::vector<TraceStep> trace;

    // Stack footprints (RecordFootprints, HoldToFootprints).
    Watch watch = Watch::kOff;
    std::vector<Footprint> footprints;  // recorded, in the order of their runs
    size_t nextHeld = 0;                // the recorded run the next run is held to
    const Footprint *heldTo = nullptr;  // the run under way is held to
    Footprint footprint;                // of the run under way
};

// The machine's memory and its faults (emulated_cpu.cpp).

// Unicorn refusing what is asked of it here (a CPU, memory that the map keeps
// apart, a hook, a run whose every failure a hook names) is a broken build or
// a host out of memory, not a fault of the image: nothing can run.
void Require(uc_err error, const char *what);
uint32_t Register(Machine &m, int id);
void SetRegister(Machine &m, int id, uint32_t value);
const Region *RegionOf(const Machine &m, uint32_t address, uint32_t bytes = 1);

// An address with what it is in: "0x9E371234 (.code+0x234)".
std::string Where(const Machine &m, uint32_t address);

// The first fault of a run is the one it reports: one access can fault twice
// (a read below the guard page, of a byte not yet written), and Unicorn may
// still call hooks for the rest of an instruction after the stop.
void Fault(Machine &m, const std::string &what);
bool Faulted(const Machine &m);
std::string ByInstruction(Machine &m);

// The guest's words are little-endian on any host: every word the emulator
// reads from or puts into the image's memory goes through these two.
inline uint32_t LittleEndianWord(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}
inline void PutLittleEndianWord(uint8_t *bytes, uint32_t word)
{
    for (int i = 0; i < 4; i++)
        bytes[i] = (uint8_t)(word >> (8 * i));
}

// Reads of the image's memory for the imports, from readable memory.
bool ReadGuest(const Machine &m, uint32_t address, void *to, uint32_t bytes);
bool ReadGuestWord(const Machine &m, uint32_t address, uint32_t *word);
uint32_t GuestWord(const Machine &m, uint32_t address);
bool ReadGuestString(const Machine &m, uint32_t address, std::string *text);

// What an import writes into the image's memory: writable memory only, as
// the pages' protections say.
bool WriteGuest(Machine &m, uint32_t address, const void *from, uint32_t bytes);
bool WriteGuestWord(Machine &m, uint32_t address, uint32_t word);

// The imports (imports.cpp).

// Maps the entry points: one `ret 4n` for each import, and the loader's.
void MapImportEntries(Machine &m);

// The import whose entry point is at `address`, kImportCount for the
// loader's, or -1 for any other address.
int ImportAt(uint32_t address);

// An import's entry point reached: the call's arguments are on the stack
// above its return address.
void EnterImport(Machine &m, uint32_t id);

// The stack (stack.cpp).

// Before a run: the stack as the last run left it cleared, its commit and
// its deepest touch reset.
void StartStack(Machine &m);

// Stack bytes written, by the image or by an import for it: held to a
// recorded run, a byte that run never wrote is a fault.
void NoteStackWrite(Machine &m, uint32_t address, uint32_t bytes);

// Stack bytes read: each must have been written earlier in the run.
void NoteStackRead(Machine &m, uint32_t address, uint32_t bytes);

// The loader's frame, the first, stays: a return from it ends in the loader
// (kLoaderReturn), so no return ever finds the frames empty.
void CheckReturn(Machine &m, uint32_t esp, const std::string &what);

// Only the stack is watched: the protections say what else may be touched.
void OnStackAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user);

// A run's footprint starts empty; held to a recorded run, it may take
// kFootprintSlack times that run's instructions. A run beyond those
// recorded has nothing to be held to, and does not start.
bool StartFootprint(Machine &m);
void EndFootprint(Machine &m);

}  // namespace emulated

#endif
