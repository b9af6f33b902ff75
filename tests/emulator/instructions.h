// The image's machine code as instructions, decoded by Capstone (i386, with
// its detail): what the emulated CPU (tests/emulator/emulated_cpu.h) tells calls,
// returns and far transfers by, and what a tool that changes instructions
// needs to find them: each one's offset, size and bytes, its kind, where a
// conditional jump keeps its condition, a direct branch's target, where
// an immediate operand lies in the instruction, and how its memory operands
// make their addresses (which a run's trace records).
#ifndef B64FILTER_INSTRUCTIONS_H
#define B64FILTER_INSTRUCTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace emulated {

enum class InstructionKind {
    kNearCall,         // call rel32, call r/m32
    kNearReturn,       // ret, ret imm16
    kFarTransfer,      // far call, far jmp, retf, iret: the image never leaves its code segment
    kInterrupt,        // int n, int3, into, sysenter, syscall
    kJump,             // jmp, short, near or indirect
    kConditionalJump,  // jcc, and jcxz/jecxz/loop*, which test a count
    kOther,
    kUndecodable,  // bytes that are no instruction (size 1)
};

// Where a conditional jump's condition lives.
enum class ConditionForm {
    kNone,   // not a jcc
    kShort,  // 7x rel8: the opcode byte's low four bits are the condition
    kNear,   // 0F 8x rel32 (or rel16): the same of the 8x byte
    kCount,  // E0-E3 (loop*, jcxz): no condition bits to change
};

const uint32_t kLongestInstruction = 15;

// A memory operand that the instruction reads or writes, at base + index ×
// scale + displacement (the registers as Capstone names them, 0 for none).
// lea's operand is none: it computes an address and touches no memory.
struct MemoryOperand {
    uint16_t base, index;
    uint8_t scale;
    int32_t displacement;
};
const uint32_t kMostMemoryOperands = 2;  // movs has two

struct Instruction {
    uint32_t rva;  // offset from the image's base
    uint8_t size;
    uint8_t bytes[kLongestInstruction];
    InstructionKind kind;
    ConditionForm form;
    uint8_t conditionAt;  // offset in the instruction of the 7x or 8x byte (kShort, kNear)
    bool direct;          // a jump or call with its target in the instruction
    uint32_t target;      // then that target, as an offset from the base
    // An immediate operand (Capstone's encoding.imm_offset, imm_size), size 0
    // when there is none. A relative branch's displacement is not one.
    uint8_t immediateAt, immediateSize;
    uint8_t memoryOperands;
    MemoryOperand memory[kMostMemoryOperands];
    std::string text;  // "jne 0x1234", for messages
};

// The instruction that starts at offset `at` of the `size` bytes of `code`
// (which lie at `rva` from the base), read no further than their end.
Instruction DecodeAt(const uint8_t *code, uint32_t size, uint32_t rva, uint32_t at);

// Every instruction of the bytes in order from their start, each starting
// where the one before ends (an undecodable byte is one of its own).
std::vector<Instruction> DecodeAll(const uint8_t *code, uint32_t size, uint32_t rva);

}  // namespace emulated

#endif
