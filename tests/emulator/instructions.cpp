#include "tests/emulator/instructions.h"

#include <stdlib.h>
#include <string.h>

#include <capstone/capstone.h>

namespace emulated {

namespace {

// One Capstone handle for i386 with the instructions' detail.
struct Disassembler {
    csh handle = 0;
    cs_insn *insn = nullptr;
    Disassembler()
    {
        if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle) != CS_ERR_OK ||
            cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON) != CS_ERR_OK)
            abort();  // a Capstone built without x86: nothing here can work
        insn = cs_malloc(handle);
    }
    ~Disassembler()
    {
        cs_free(insn, 1);
        cs_close(&handle);
    }
    Disassembler(const Disassembler &) = delete;
    Disassembler &operator=(const Disassembler &) = delete;
};

InstructionKind KindOf(const Disassembler &d)
{
    switch (d.insn->id) {
    case X86_INS_CALL:
        return InstructionKind::kNearCall;
    case X86_INS_RET:
        return InstructionKind::kNearReturn;
    case X86_INS_LCALL:
    case X86_INS_LJMP:
    case X86_INS_RETF:
    case X86_INS_IRET:
    case X86_INS_IRETD:
        return InstructionKind::kFarTransfer;
    case X86_INS_JMP:
        return InstructionKind::kJump;
    }
    if (cs_insn_group(d.handle, d.insn, CS_GRP_INT))
        return InstructionKind::kInterrupt;
    if (cs_insn_group(d.handle, d.insn, CS_GRP_JUMP))
        return InstructionKind::kConditionalJump;
    return InstructionKind::kOther;
}

// A jcc's condition byte: Capstone names the opcode (7x, or 0F 8x), and no
// prefix byte can be mistaken for its first byte.
void FindCondition(const cs_x86 &x86, Instruction *i)
{
    bool near = x86.opcode[0] == 0x0F;
    i->form = (x86.opcode[0] & 0xF0) == 0x70 ? ConditionForm::kShort
              : near                         ? ConditionForm::kNear
                                             : ConditionForm::kCount;
    if (i->form == ConditionForm::kCount)
        return;
    uint32_t at = 0;
    while (i->bytes[at] != x86.opcode[0])
        at++;
    i->conditionAt = (uint8_t)(near ? at + 1 : at);
}

Instruction FromCapstone(const Disassembler &d)
{
    const cs_insn *insn = d.insn;
    Instruction i{};
    i.rva = (uint32_t)insn->address;
    i.size = (uint8_t)insn->size;
    memcpy(i.bytes, insn->bytes, insn->size);
    i.kind = KindOf(d);
    i.text = std::string(insn->mnemonic) + (insn->op_str[0] ? " " : "") + insn->op_str;
    const cs_x86 &x86 = insn->detail->x86;
    // A relative branch has one operand, its target.
    if (cs_insn_group(d.handle, insn, CS_GRP_BRANCH_RELATIVE)) {
        i.direct = true;
        i.target = (uint32_t)x86.operands[0].imm;
    } else if (x86.encoding.imm_size != 0) {
        i.immediateAt = x86.encoding.imm_offset;
        i.immediateSize = x86.encoding.imm_size;
    }
    if (i.kind == InstructionKind::kConditionalJump)
        FindCondition(x86, &i);
    for (uint8_t n = 0; n < x86.op_count && insn->id != X86_INS_LEA; n++) {
        const cs_x86_op &op = x86.operands[n];
        if (op.type == X86_OP_MEM && i.memoryOperands < kMostMemoryOperands)
            i.memory[i.memoryOperands++] = {(uint16_t)op.mem.base, (uint16_t)op.mem.index,
                                            (uint8_t)op.mem.scale, (int32_t)op.mem.disp};
    }
    return i;
}

Instruction Undecodable(const uint8_t *code, uint32_t rva, uint32_t at)
{
    Instruction i{};
    i.rva = rva + at;
    i.size = 1;
    i.bytes[0] = code[at];
    i.kind = InstructionKind::kUndecodable;
    i.text = "(bad)";
    return i;
}

Instruction Next(Disassembler &d, const uint8_t *code, uint32_t size, uint32_t rva, uint32_t at)
{
    const uint8_t *bytes = code + at;
    size_t left = size - at;
    uint64_t address = (uint64_t)rva + at;
    return cs_disasm_iter(d.handle, &bytes, &left, &address, d.insn) ? FromCapstone(d)
                                                                     : Undecodable(code, rva, at);
}

}  // namespace

Instruction DecodeAt(const uint8_t *code, uint32_t size, uint32_t rva, uint32_t at)
{
    Disassembler d;
    return Next(d, code, size, rva, at);
}

std::vector<Instruction> DecodeAll(const uint8_t *code, uint32_t size, uint32_t rva)
{
    Disassembler d;
    std::vector<Instruction> all;
    for (uint32_t at = 0; at < size; at += all.back().size)
        all.push_back(Next(d, code, size, rva, at));
    return all;
}

}  // namespace emulated
