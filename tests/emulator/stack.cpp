// The stack, watched on top of the page protections: its growth a page at a
// time as a Windows thread's stack grows, calls and returns balanced, and
// the footprints that hold a patched run to the image as loaded.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/emulator/machine.h"

namespace emulated {

namespace {

// The stack grows as a Windows thread's does: from its commit, a page at a
// time, each time the page below the committed part (the guard page) is
// touched. A touch further down faults there: a frame of more than a page
// has to probe its pages in order.
void TouchStack(Machine &m, uint32_t address)
{
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

}  // namespace

void StartStack(Machine &m)
{
    // Only what the last run reached: the rest of the reserve is still zero.
    const uint32_t dirty = std::min(m.lowest, m.dirtyLow);
    memset(m.stack->bytes + (dirty - m.stackRegion.start), 0, kStackTop - dirty);
    m.dirtyLow = kStackTop;
    m.committedLow = kStackTop - (uint32_t)PageRound(m.pe.stackCommit);
    m.lowest = kStackTop;
    m.splitLeft = 0;
}

void NoteStackWrite(Machine &m, uint32_t address, uint32_t bytes)
{
    if (m.watch == Watch::kOff)
        return;
    for (uint32_t a = address; a - address < bytes; a++) {
        if (!m.stackRegion.Holds(a, 1))
            continue;
        uint32_t below = kStackTop - 1 - a;
        if (m.heldTo && !m.heldTo->Wrote(below)) {
            Fault(m, "stack written at " + Where(m, a) +
                         ", which the image as loaded never writes in this run" + ByInstruction(m));
            return;
        }
        if (below >= m.footprint.written.size())
            m.footprint.written.resize(below + 1);
        m.footprint.written[below] = 1;
    }
}

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

void OnStackAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user)
{
    Machine &m = *(Machine *)user;
    const bool read = type != UC_MEM_WRITE;
    if (read && m.splitLeft > 0 && (uint32_t)address == m.splitNext && size == m.splitSize) {
        m.splitLeft--;
        m.splitNext += (uint32_t)size;
        return;
    }
    m.splitLeft = 0;
    if (read && size > 1 && address % (uint32_t)size != 0) {
        m.splitNext = (uint32_t)address & ~((uint32_t)size - 1);
        m.splitSize = size;
        m.splitLeft = 2;
    }
    m.lowest = std::min(m.lowest, (uint32_t)address);
    TouchStack(m, (uint32_t)address);
    if (!read)
        NoteStackWrite(m, (uint32_t)address, (uint32_t)size);
    else
        NoteStackRead(m, (uint32_t)address, (uint32_t)size);
}

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

}  // namespace emulated
