// An image's mutants: small faults put into the shipped bytes one at a time,
// each run in this process on the emulated CPU (no file per mutant: the
// loaded image is patched) against that image's own tests (kPrograms): for
// the encoder the FilterMain table's /Image runs and the copy-loop fuzzer's
// committed corpus, whose every script must give the image the host build's
// exit code and call record; for the decoder the UnfilterMain table's. (The
// emulated CPU's own tests plant their faults over a fresh load of a file and
// hold nothing a mutant could change.)
//
// The mutants, of every instruction of .code as Capstone decodes it:
// - a conditional jump made always taken (a jmp to its target), never taken
//   (nops) and inverted (the low bit of its condition);
// - an immediate operand +1 and -1, in its own width;
// - a direct call (of the image's own functions) removed: nops, so that the
//   caller's own clean-up still balances the stack. Calls of the imports are
//   left alone: each import pops its own arguments, so a removed one always
//   unbalances the stack, which every run catches.
//
// Killed: an expectation fails, or a run faults: every fault of the emulated
// CPU, and its stack footprints (tests/emulator/emulated_cpu.h), recorded from the
// image as loaded first, so a mutant that writes a stack byte the image as
// loaded never writes in that run, or reads one not yet written, is killed
// even when its output is right; and a run that takes more than
// kFootprintSlack times the instructions of the same run unmutated (a hang,
// named so). The first failure of a mutant ends it (--gtest_fail_fast).
//
// Each mutant is keyed "image PROGRAM.exe FUNCTION: +0xOFFSET INSTRUCTION => MUTANT",
// the offset from the start of its function and the instruction as Capstone
// writes it, a direct target given from that start ("jne +0x2A") or as the
// function called: a change elsewhere leaves the key alone, while another
// instruction at that offset, or the same one with another operand, is
// another key (and an equivalent listed for the old one goes stale). The
// image has no symbols: the entry point is FilterMain (or UnfilterMain), and every other
// function (each target of a direct call) is named by the imports it calls,
// "f(CloseHandle,GetLastError)". Each mutant's line says "killed" (and why:
// the first failure, whole, on one line) or "survived"; `tools/mutate
// --image` judges the survivors against tools/equivalent-mutants.txt, tells a
// hang by the whole message (a long path in it would hide a cut one's end),
// and writes the report. With --equivalents the runner judges them itself
// against that list (ctest's image_mutants.* tests), with no report.
//
//   image_mutants [--program b64unfilter] [--equivalents FILE] [--list] [--only TEXT]
//                 [--gtest_filter=TESTS]
//
// --program chooses the image (b64filter if not given); --equivalents FILE
// fails the run on a survivor FILE does not list and on an entry of this
// image that no survivor matches (stale); --list prints the mutants' keys and
// runs nothing; --only runs the mutants whose key holds TEXT; --gtest_filter
// runs them against fewer tests (to see what the FilterMain table alone
// kills, say). Exit status 0 when every mutant ran (and, judged, none is
// unlisted or stale), 1 when judged otherwise, 2 when none can be judged (the
// image as loaded fails its own tests, or .code has no mutation point), 77
// when there is no image.
#include <gtest/gtest.h>

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "filter/filter_main.h"
#include "tests/copy_loop/copy_loop_script.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"

namespace {

using emulated::ConditionForm;
using emulated::Instruction;
using emulated::InstructionKind;

const uint8_t kNop = 0x90, kJmpShort = 0xEB, kJmpNear = 0xE9;

// Each image: the machine its tests run on (the one the mutants are patched
// into), its entry point's name, the tests its mutants run against.
struct Program {
    const char *name;
    shipped::Program image;
    const char *entry, *tests;
};
const Program kPrograms[] = {
    {"b64filter", shipped::Program::kFilter, "FilterMain", "FilterMain.*/Image:CopyLoopCorpus.*"},
    {"b64unfilter", shipped::Program::kUnfilter, "UnfilterMain", "UnfilterMain.*/Image"},
};

struct Mutant {
    std::string key;
    uint32_t rva;
    std::vector<uint8_t> bytes;
};

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> files;
    if (DIR *dir = opendir(B64FILTER_COPY_LOOP_CORPUS)) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                files.push_back(std::string(B64FILTER_COPY_LOOP_CORPUS) + "/" + entry->d_name);
        closedir(dir);
    }
    std::sort(files.begin(), files.end());  // the runs' order is the footprints' order
    return files;
}

// The copy-loop corpus on the image: the host build's run of each script is
// what the image's must be, as the fuzzer demands.
TEST(CopyLoopCorpus, TheImageRunsEachScriptAsTheHostDoes)
{
    std::string missing, fault;
    emulated::Machine *image = shipped::Image(&missing, &fault);
    ASSERT_TRUE(image) << missing << fault;
    const std::vector<std::string> files = CorpusFiles();
    ASSERT_FALSE(files.empty()) << B64FILTER_COPY_LOOP_CORPUS;
    for (const std::string &file : files) {
        std::vector<uint8_t> bytes = shipped::ReadBytes(file);
        HANDLE input;
        scripted::Script script = CopyLoopScript(bytes.data(), bytes.size(), &input);
        scripted::Reset(script);
        DWORD hostExit = scripted::RunEntry(FilterMain);
        // (A copy: the image's run starts a new record.)
        const std::vector<scripted::Record> host(scripted::Calls().begin(), scripted::Calls().end());
        scripted::Reset(script);
        emulated::Outcome run = emulated::Run(*image);
        ASSERT_TRUE(run.exited) << file << ": " << run.fault;
        EXPECT_EQ(run.exitCode, hostExit) << file;
        size_t differs = 0;
        EXPECT_TRUE(SameCalls(scripted::Calls(), host, &differs))
            << file << ": call " << differs << " differs";
    }
}

// --- The mutants -----------------------------------------------------------

std::string Mnemonic(const Instruction &i)
{
    return i.text.substr(0, i.text.find(' '));
}

uint32_t Word(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The import an instruction calls through the import address table
// (call dword ptr [slot]), or "".
std::string ImportCalled(const emulated::Machine &m, const Instruction &i)
{
    if (i.kind != InstructionKind::kNearCall || i.size != 6 || i.bytes[0] != 0xFF || i.bytes[1] != 0x15)
        return "";
    uint32_t slot = Word(&i.bytes[2]) - emulated::kImageBase;
    const std::vector<uint8_t> &memory = emulated::Image(m).memory;
    return slot <= memory.size() - 4 ? emulated::ImportName(Word(&memory[slot])) : "";
}

const Program *ProgramNamed(const char *name)
{
    for (const Program &p : kPrograms)
        if (strcmp(p.name, name) == 0)
            return &p;
    return nullptr;
}

// Each function's start (the entry point and every direct call's target)
// with its name, by the imports it calls.
std::map<uint32_t, std::string> Functions(const emulated::Machine &m, const Program &program)
{
    const std::vector<Instruction> &code = emulated::CodeInstructions(m);
    std::map<uint32_t, std::set<std::string>> calls;
    calls[emulated::CodeSection(m).rva];  // (code before the entry point, if any)
    calls[emulated::Image(m).entry];
    for (const Instruction &i : code)
        if (i.kind == InstructionKind::kNearCall && i.direct)
            calls[i.target];
    for (const Instruction &i : code) {
        std::string import = ImportCalled(m, i);
        auto in = calls.upper_bound(i.rva);
        if (!import.empty() && in != calls.begin())
            std::prev(in)->second.insert(import);
    }
    std::map<uint32_t, std::string> names;
    std::map<std::string, int> seen;
    for (const auto &f : calls) {
        std::string name = "f(";
        for (const std::string &import : f.second)
            name += (name.size() > 2 ? "," : "") + import;
        name += ")";
        if (f.first == emulated::Image(m).entry)
            name = program.entry;
        if (++seen[name] > 1)
            name += "#" + std::to_string(seen[name]);
        names[f.first] = name;
    }
    return names;
}

std::string Offset(uint32_t to, uint32_t from)
{
    return to >= from ? "+" + emulated::Hex(to - from) : "-" + emulated::Hex(from - to);
}

// The instruction as its key names it (the header says why).
std::string Shown(const Instruction &i, uint32_t function, const std::map<uint32_t, std::string> &functions)
{
    if (!i.direct)
        return i.text;
    auto called = functions.find(i.target);
    if (i.kind == InstructionKind::kNearCall && called != functions.end())
        return Mnemonic(i) + " " + called->second;
    return Mnemonic(i) + " " + Offset(i.target, function);
}

std::vector<uint8_t> Bytes(const Instruction &i)
{
    return std::vector<uint8_t>(i.bytes, i.bytes + i.size);
}

void JumpMutants(const Instruction &i, const std::string &where, std::vector<Mutant> *out)
{
    std::vector<uint8_t> always = Bytes(i), never(i.size, kNop), inverted = Bytes(i);
    if (i.form == ConditionForm::kShort) {
        always[i.conditionAt] = kJmpShort;
    } else {
        // 0F 8x rel32 becomes nop; jmp rel32, which ends where it did.
        always[i.conditionAt - 1] = kNop;
        always[i.conditionAt] = kJmpNear;
    }
    inverted[i.conditionAt] ^= 1;
    out->push_back({where + " always taken", i.rva, always});
    out->push_back({where + " never taken", i.rva, never});
    out->push_back({where + " inverted", i.rva, inverted});
}

void ImmediateMutants(const Instruction &i, const std::string &where, std::vector<Mutant> *out)
{
    for (int by : {+1, -1}) {
        std::vector<uint8_t> bytes = Bytes(i);
        uint64_t value = 0;
        for (int b = i.immediateSize - 1; b >= 0; b--)
            value = value << 8 | bytes[i.immediateAt + b];
        value += (uint64_t)(int64_t)by;
        for (int b = 0; b < i.immediateSize; b++)
            bytes[i.immediateAt + b] = (uint8_t)(value >> (8 * b));
        out->push_back({where + (by > 0 ? " imm +1" : " imm -1"), i.rva, bytes});
    }
}

std::vector<Mutant> MutantsOf(const emulated::Machine &m, const Program &program, std::string *why)
{
    std::map<uint32_t, std::string> functions = Functions(m, program);
    std::vector<Mutant> mutants;
    for (const Instruction &i : emulated::CodeInstructions(m)) {
        if (i.kind == InstructionKind::kUndecodable) {
            *why = "cannot decode .code at " + emulated::Hex(i.rva);
            return {};
        }
        auto f = std::prev(functions.upper_bound(i.rva));
        std::string where = "image " + std::string(program.name) + ".exe " + f->second + ": " +
                            Offset(i.rva, f->first) + " " + Shown(i, f->first, functions) + " =>";
        if (i.kind == InstructionKind::kConditionalJump && i.form != ConditionForm::kCount)
            JumpMutants(i, where, &mutants);
        if (i.immediateSize != 0)
            ImmediateMutants(i, where, &mutants);
        if (i.kind == InstructionKind::kNearCall && i.direct)
            mutants.push_back({where + " removed", i.rva, std::vector<uint8_t>(i.size, kNop)});
    }
    if (mutants.empty())
        *why = "no mutation point in .code: is it the image meant?";
    return mutants;
}

// --- Running ---------------------------------------------------------------

std::string OneLine(const std::string &text)
{
    std::string line;
    for (char c : text) {
        bool space = isspace((unsigned char)c) != 0;
        if (space && (line.empty() || line.back() == ' '))
            continue;
        line += space ? ' ' : c;
    }
    return line;
}

// Runs a mutant per iteration of the test program (the first, the image as
// loaded, records the footprints) and tells each one's verdict at its end.
class Verdicts : public testing::EmptyTestEventListener {
public:
    Verdicts(emulated::Machine &machine, std::vector<Mutant> mutants)
        : machine_(machine), mutants_(std::move(mutants))
    {
    }

    void OnTestIterationStart(const testing::UnitTest &, int iteration) override
    {
        firstFailure_.clear();
        emulated::Unpatch(machine_);
        if (iteration == 0) {
            emulated::RecordFootprints(machine_);
            return;
        }
        const Mutant &mutant = mutants_[(size_t)iteration - 1];
        emulated::Patch(machine_, mutant.rva, mutant.bytes);
        emulated::HoldToFootprints(machine_);
    }

    void OnTestPartResult(const testing::TestPartResult &result) override
    {
        if (!result.failed() || !firstFailure_.empty())
            return;
        firstFailure_ = test_ + ": " + OneLine(result.message());
    }

    // (UnitTest's own current_test_info would wait for the lock that a
    // failure being reported holds.)
    void OnTestStart(const testing::TestInfo &test) override
    {
        test_ = std::string(test.test_suite_name()) + "." + test.name();
    }

    void OnTestIterationEnd(const testing::UnitTest &unit, int iteration) override
    {
        if (iteration == 0) {
            if (!unit.Passed() || unit.successful_test_count() == 0) {
                printf("mutate: image: the image as loaded fails its own tests, so no mutant can be judged: "
                       "%s\n",
                       firstFailure_.empty() ? "no test ran" : firstFailure_.c_str());
                fflush(stdout);
                exit(2);
            }
            printf("mutate: image: %zu mutants of .code, each against %d tests\n", mutants_.size(),
                   unit.test_to_run_count());
            return;
        }
        const Mutant &mutant = mutants_[(size_t)iteration - 1];
        printf("mutate: %d/%zu %s  %s%s\n", iteration, mutants_.size(),
               firstFailure_.empty() ? "survived" : "killed", mutant.key.c_str(),
               firstFailure_.empty() ? "" : ("  (" + firstFailure_ + ")").c_str());
        fflush(stdout);
        if (firstFailure_.empty())
            survivors_.insert(mutant.key);
    }

    const std::set<std::string> &Survivors() const { return survivors_; }

private:
    emulated::Machine &machine_;
    std::vector<Mutant> mutants_;
    std::string test_, firstFailure_;
    std::set<std::string> survivors_;
};

// The keys tools/equivalent-mutants.txt lists for this image: its "KEY ::
// REASON" lines whose key starts with "image PROGRAM.exe ". False, with why,
// when the file cannot be read.
bool ListedEquivalents(const char *path, const std::string &image, std::set<std::string> *keys,
                       std::string *why)
{
    FILE *file = fopen(path, "r");
    if (!file) {
        *why = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    const std::string prefix = "image " + image + " ";
    char line[4096];
    while (fgets(line, sizeof line, file)) {
        std::string entry(line);
        size_t sep = entry.find(" :: ");
        if (entry.compare(0, prefix.size(), prefix) == 0 && sep != std::string::npos)
            keys->insert(entry.substr(0, sep));
    }
    fclose(file);
    return true;
}

// Every survivor listed, every listed key a survivor of this run: the verdict
// tools/mutate --image --check gives, for one image.
int Judge(const std::set<std::string> &survivors, const std::set<std::string> &listed)
{
    int unlisted = 0, stale = 0;
    for (const std::string &key : survivors)
        if (!listed.count(key)) {
            printf("mutate: image: survived, not listed as equivalent: %s\n", key.c_str());
            unlisted++;
        }
    for (const std::string &key : listed)
        if (!survivors.count(key)) {
            printf("mutate: image: stale: listed, but no survivor matches: %s\n", key.c_str());
            stale++;
        }
    printf("mutate: image: %zu survived, %zu listed as equivalent, %d unlisted, %d stale\n", survivors.size(),
           listed.size(), unlisted, stale);
    return unlisted || stale ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    bool list = false;
    std::string only;
    const char *equivalents = nullptr;
    const Program *program = &kPrograms[0];
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--list") == 0) {
            list = true;
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (strcmp(argv[i], "--equivalents") == 0 && i + 1 < argc) {
            equivalents = argv[++i];
        } else if (strcmp(argv[i], "--program") == 0 && i + 1 < argc && (program = ProgramNamed(argv[++i]))) {
            continue;
        } else {
            fprintf(stderr,
                    "usage: image_mutants [--program b64filter|b64unfilter] [--equivalents FILE] [--list] "
                    "[--only TEXT]\n");
            return 2;
        }
    }
    std::string missing, fault, why;
    emulated::Machine *machine = shipped::Image(&missing, &fault, program->image);
    if (!machine) {
        fprintf(stderr, "image_mutants: %s\n", missing.empty() ? fault.c_str() : missing.c_str());
        return missing.empty() ? 2 : 77;
    }
    std::vector<Mutant> mutants = MutantsOf(*machine, *program, &why);
    if (!why.empty()) {
        fprintf(stderr, "image_mutants: %s\n", why.c_str());
        return 2;
    }
    std::set<std::string> listed;
    if (equivalents && !ListedEquivalents(equivalents, std::string(program->name) + ".exe", &listed, &why)) {
        fprintf(stderr, "image_mutants: %s\n", why.c_str());
        return 2;
    }
    if (list) {
        for (const Mutant &m : mutants)
            printf("%s\n", m.key.c_str());
        return 0;
    }
    if (!only.empty())
        mutants.erase(std::remove_if(mutants.begin(), mutants.end(),
                                     [&](const Mutant &m) { return m.key.find(only) == std::string::npos; }),
                      mutants.end());

    if (GTEST_FLAG_GET(filter) == "*")  // a --gtest_filter of the caller's runs fewer tests
        GTEST_FLAG_SET(filter, program->tests);
    GTEST_FLAG_SET(fail_fast, true);
    GTEST_FLAG_SET(repeat, (int)mutants.size() + 1);
    testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    Verdicts *verdicts = new Verdicts(*machine, mutants);
    listeners.Append(verdicts);
    if (RUN_ALL_TESTS() == 0 && !mutants.empty())  // every mutant killed fails an iteration
        printf("mutate: image: no mutant was killed\n");
    return equivalents && only.empty() ? Judge(verdicts->Survivors(), listed) : 0;
}
