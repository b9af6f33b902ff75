// The shipped images on the emulated CPU, through their entries with
// scripted reads (notes/proof.md): b64filter.exe's FilterMain for every group
// value and every tail against RFC 4648; b64unfilter.exe's UnfilterMain for
// every group value on both of DecodeChunk's paths, every byte at every
// place of a group, the windows over a representative alphabet from every
// listed state, and every text of up to 6 symbols (8 in the long sweep) at
// every split into reads, against the model. Each sweep runs in a process
// per core; a case that skips says why (no image built).
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "filter/encode_chunk.h"
#include "tests/base64_decoder_model.h"
#include "tests/emulator/emulated_cpu.h"
#include "tests/proof/decoder_sequences.h"
#include "tests/proof/decoder_states.h"
#include "tests/proof/encoder_line.h"
#include "tests/proof/shards.h"
#include "tests/scripted_platform/scripted_platform.h"
#include "tests/shipped_image.h"
#include "unfilter/decode_chunk.h"

namespace {

// A run may take as many instructions as its reads need.
const uint64_t kNoLimit = 1ull << 40;

struct ImageRun {
    std::string fault;  // empty when it ended in ExitProcess
    DWORD exitCode;
    std::vector<std::string> writes;  // to the output, as offered
    std::string errors;
    size_t reads;
};

ImageRun RunImage(emulated::Machine &image, std::deque<scripted::ReadStep> reads)
{
    scripted::Script script;
    script.reads = std::move(reads);
    scripted::Reset(script);
    const emulated::Outcome run = emulated::Run(image, kNoLimit);
    ImageRun r{run.exited ? "" : run.fault,
               run.exitCode,
               {},
               scripted::WrittenTo(scripted::kError),
               scripted::CallsOf(scripted::Call::ReadFile).size()};
    for (const scripted::Record &w : scripted::CallsOf(scripted::Call::WriteFile))
        if (w.handle == scripted::kOutput)
            r.writes.push_back(w.data);
    return r;
}

// A shard's part of a sweep on the image.
using ImagePart = std::function<std::string(emulated::Machine &image, unsigned shard, unsigned shards)>;

class ImageProof : public testing::Test {
protected:
    // Every sweep's frame: skipped, saying why, when the program's image is
    // not built; else part run in a process per core, every finding a
    // failure, and what it swept printed with the seconds it took (and its
    // count of runs, where it counts them: 0 where it does not).
    void Sweep(shipped::Program program, const std::string &what, size_t runs, const ImagePart &part)
    {
        std::string missing, fault;
        emulated::Machine *image = shipped::Image(&missing, &fault, program);
        if (!image && missing.empty())
            ADD_FAILURE() << fault;
        if (!image)
            GTEST_SKIP() << "no Windows image (" << shipped::Variable(program) << ")";
        const auto start = std::chrono::steady_clock::now();
        const std::string found =
            proof::InProcesses([&](unsigned shard, unsigned shards) { return part(*image, shard, shards); });
        EXPECT_EQ(found, "");
        printf("%s: ", what.c_str());
        if (runs != 0)
            printf("%zu runs, ", runs);
        printf("%.1f s\n", proof::SecondsSince(start));
    }

    void SweepByteWindows(const std::string &what, const std::vector<std::string> &windows);
    void SweepSequences(unsigned shortest, unsigned longest);
    void SweepUnitWindows(const std::vector<proof::Unit> &units, unsigned length);
};

// ---------------------------------------------------------------------------
// b64filter.exe

// The encoder's lines on the image: 2^24 / 19 lines of 57 bytes, group j of
// line L holding 19 L + j (every value once, each at place v mod 19), then
// every tail of one byte and of two, at the places 0 to 18 in turn, with
// the groups before it from the host sweep's lines. The reads follow one
// another in one run, so each short read finds the bytes of the reads
// before it past its data.
const uint64_t kFullLines = (proof::kGroupValues + 18) / 19;
const uint64_t kEncoderLines = kFullLines + 256 + 65536;

std::string EncoderRead(uint64_t index)
{
    uint8_t data[CHUNK_BYTES];
    unsigned count = CHUNK_BYTES;
    if (index < kFullLines) {
        for (unsigned j = 0; j < 19; j++)
            proof::PutGroup(data + 3 * (size_t)j, (uint32_t)((index * 19 + j) & (proof::kGroupValues - 1)));
    } else {
        const uint32_t i = (uint32_t)(index - kFullLines);
        const unsigned tail = i < 256 ? 1 : 2;
        const uint32_t value = i < 256 ? i : i - 256;
        const unsigned groups = value % 19;
        for (unsigned j = 0; j < groups; j++)
            proof::PutGroup(data + 3 * (size_t)j, proof::GroupValue(value, j));
        uint8_t *at = data + 3 * (size_t)groups;
        at[0] = (uint8_t)(value >> 8 * (tail - 1));
        at[tail - 1] = (uint8_t)value;
        count = 3 * groups + tail;
    }
    return std::string((const char *)data, count);
}

// A shard's share of the encoder's lines, in runs of 20,000 reads.
std::string EncoderPart(emulated::Machine &image, unsigned shard, unsigned shards)
{
    const proof::Alphabet alphabet;
    proof::Findings findings;
    uint64_t from, to;
    proof::ShardRange(kEncoderLines, shard, shards, &from, &to);
    const uint64_t kBatch = 20000;
    for (uint64_t first = from; first < to; first += kBatch) {
        const uint64_t last = std::min(first + kBatch, to);
        std::deque<scripted::ReadStep> reads;
        for (uint64_t i = first; i < last; i++)
            reads.push_back({EncoderRead(i)});
        const ImageRun run = RunImage(image, reads);
        if (!run.fault.empty() || run.exitCode != 0 || !run.errors.empty() ||
            run.writes.size() != reads.size()) {
            findings.Add("lines " + std::to_string(first) + " to " + std::to_string(last) + ": " + run.fault +
                         " exit " + std::to_string(run.exitCode) + ", " + std::to_string(run.writes.size()) +
                         " lines, \"" + run.errors + "\"");
            continue;
        }
        for (size_t k = 0; k < reads.size(); k++) {
            char line[LINE_BUFFER_BYTES];
            const std::string &data = reads[k].data;
            const unsigned length =
                proof::ExpectedLine(alphabet, (const uint8_t *)data.data(), (unsigned)data.size(), line);
            if (run.writes[k] != std::string(line, length))
                findings.Add("\"" + proof::Escaped(data) + "\" gave \"" + proof::Escaped(run.writes[k]) +
                             "\"");
        }
    }
    return findings.Report();
}

TEST_F(ImageProof, EncoderEveryGroupAndTail)
{
    Sweep(shipped::Program::kFilter, std::to_string(kEncoderLines) + " lines through b64filter.exe", 0,
          EncoderPart);
}

// ---------------------------------------------------------------------------
// b64unfilter.exe

// What UnfilterMain must do with reads, by the model: one write per read
// that completes a group, then the verdict's message and exit code.
struct ExpectedRun {
    std::vector<std::string> writes;
    std::string errors;
    DWORD exitCode;
    size_t reads;
};

ExpectedRun Expect(const std::vector<std::string> &reads)
{
    std::string text;
    for (const std::string &r : reads)
        text += r;
    const model::Decoded d = model::Decode(text);
    ExpectedRun e{{}, "", 0, reads.size() + 1};
    size_t from = 0;
    for (size_t i = 0; i < reads.size(); i++) {
        const size_t to = from + reads[i].size();
        const bool stops = d.verdict == model::Verdict::Invalid && d.stop < to;
        const std::string bytes = model::BytesCompletedIn(d, from, stops ? d.stop : to);
        if (!bytes.empty())
            e.writes.push_back(bytes);
        if (stops) {
            e.errors = "Invalid Base64 input at line " + std::to_string(d.line) + ", column " +
                       std::to_string(d.column) + "\r\n";
            e.exitCode = 13;
            e.reads = i + 1;
            return e;
        }
        from = to;
    }
    // Half a unit or a mark begun at the end: invalid after the last byte.
    if (d.verdict == model::Verdict::Invalid) {
        e.errors = "Invalid Base64 input at line " + std::to_string(d.line) + ", column " +
                   std::to_string(d.column) + "\r\n";
        e.exitCode = 13;
    }
    if (d.verdict == model::Verdict::EndsInsideGroup) {
        e.errors = "Base64 input ends inside a group at line " + std::to_string(d.line) + ", column " +
                   std::to_string(d.column) + "\r\n";
        e.exitCode = 38;
    }
    return e;
}

// One run of the decoder's image against the model, or what differed.
std::string Agrees(emulated::Machine &image, const std::vector<std::string> &reads)
{
    std::deque<scripted::ReadStep> steps;
    for (const std::string &r : reads)
        steps.push_back({r});
    const ImageRun run = RunImage(image, steps);
    const ExpectedRun e = Expect(reads);
    if (run.fault.empty() && run.exitCode == e.exitCode && run.writes == e.writes && run.errors == e.errors &&
        run.reads == e.reads)
        return "";
    std::string what;
    for (const std::string &r : reads)
        what += "\"" + proof::Escaped(r) + "\" ";
    return "reads " + what + ": " + (run.fault.empty() ? "exit " + std::to_string(run.exitCode) : run.fault) +
           ", \"" + proof::Escaped(run.errors) + "\"; the model: exit " + std::to_string(e.exitCode) +
           ", \"" + proof::Escaped(e.errors) + "\"";
}

// The text at every split into reads, a finding for each where the image
// and the model differ.
void AgreesAtEverySplit(emulated::Machine &image, const std::string &text, proof::Findings *findings)
{
    for (uint32_t mask = 0; mask < proof::SplitCount((unsigned)text.size()); mask++) {
        const std::string wrong = Agrees(image, proof::SplitReads(text, mask));
        if (!wrong.empty())
            findings->Add(wrong);
    }
}

// A window's reads from a listed state: its prefix read, then the window in
// one read (cut 0) or cut after `cut` bytes into two.
std::vector<std::string> WindowReads(const proof::ListedState &state, const std::string &window, unsigned cut)
{
    std::vector<std::string> reads;
    if (!state.prefix.empty())
        reads.push_back(state.prefix);
    if (cut == 0) {
        reads.push_back(window);
    } else {
        reads.push_back(window.substr(0, cut));
        reads.push_back(window.substr(cut));
    }
    return reads;
}

// The start's listed state, and those of text a byte a character reached
// without a mark: the states these sweeps had before the marks. (No group
// open after EF BB BF is the start sweep's and the marked texts'.)
std::vector<proof::ListedState> ByteStates()
{
    std::vector<proof::ListedState> states;
    for (const proof::ListedState &s : proof::ListedStates())
        if ((s.form == FORM_BYTES && s.prefix != model::kUtf8Mark) || (s.form == FORM_START && s.held == 0))
            states.push_back(s);
    return states;
}

// Every window, from each of states, at every cut.
std::string SweepImageWindows(emulated::Machine &image, const std::vector<std::string> &windows,
                              unsigned shard, unsigned shards,
                              const std::vector<proof::ListedState> &states = ByteStates())
{
    proof::Findings findings;
    uint64_t from, to;
    proof::ShardRange(windows.size(), shard, shards, &from, &to);
    for (uint64_t w = from; w < to; w++)
        for (const proof::ListedState &state : states)
            for (unsigned cut = 0; cut < windows[w].size(); cut++) {
                const std::string wrong = Agrees(image, WindowReads(state, windows[w], cut));
                if (!wrong.empty())
                    findings.Add(std::string("from ") + state.name + ": " + wrong);
            }
    return findings.Report();
}

// Every window of four bytes from each of ByteStates(), at every cut.
void ImageProof::SweepByteWindows(const std::string &what, const std::vector<std::string> &windows)
{
    Sweep(shipped::Program::kUnfilter, what, windows.size() * 4 * ByteStates().size(),
          [&](emulated::Machine &image, unsigned shard, unsigned shards) {
              return SweepImageWindows(image, windows, shard, shards);
          });
}

// Every byte at every place of a window whose other places hold "Q" or "/",
// from every listed state, at every cut: the table for all 256 bytes, on
// both of DecodeChunk's paths.
TEST_F(ImageProof, DecoderEveryByte)
{
    std::vector<std::string> windows;
    for (unsigned b = 0; b < 256; b++)
        for (unsigned place = 0; place < 4; place++)
            for (unsigned others = 0; others < 8; others++) {
                std::string w;
                for (unsigned at = 0, bit = 0; at < 4; at++)
                    w += at == place ? (char)b : (others >> bit++ & 1) ? '/' : 'Q';
                windows.push_back(w);
            }
    SweepByteWindows("every byte at every place", windows);
}

// Every window of four over characters of the values 0, 16, 48 and 63, "=",
// CR, LF and the invalid class's stand-in, from every listed state, in one
// read and cut at every place into two.
TEST_F(ImageProof, DecoderWindows)
{
    const std::string alphabet = std::string("AQw/=\r\n") + (char)proof::kInvalid;
    std::vector<std::string> windows;
    for (unsigned i = 0; i < 8 * 8 * 8 * 8; i++)
        windows.push_back(
            {alphabet[i & 7], alphabet[i >> 3 & 7], alphabet[i >> 6 & 7], alphabet[i >> 9 & 7]});
    SweepByteWindows("8^4 windows", windows);
}

// Every text of the sequence sweep's alphabet of shortest to longest
// symbols, at every split into reads.
void ImageProof::SweepSequences(unsigned shortest, unsigned longest)
{
    Sweep(shipped::Program::kUnfilter,
          "texts of " + std::to_string(shortest) + " to " + std::to_string(longest) +
              " symbols at every split",
          0, [&](emulated::Machine &image, unsigned shard, unsigned shards) {
              proof::Findings findings;
              for (unsigned length = shortest; length <= longest; length++) {
                  uint64_t from, to;
                  proof::ShardRange(proof::SequenceCount(length), shard, shards, &from, &to);
                  for (uint64_t index = from; index < to; index++)
                      AgreesAtEverySplit(image, proof::SequenceText(index, length), &findings);
              }
              return findings.Report();
          });
}

TEST_F(ImageProof, DecoderSequencesOfSix)
{
    SweepSequences(1, 6);
}

// The long sweep's part: the texts of 7 symbols (those of 8, 50 million
// runs, would take some 24 minutes of the two cores).
TEST_F(ImageProof, DecoderSequencesOfSeven)
{
    SweepSequences(7, 7);
}

// The texts of the sequence sweep's marked starts (proof::kStarts) up to
// the image's longest, at every split into reads at every byte.
TEST_F(ImageProof, DecoderMarkedSequences)
{
    Sweep(shipped::Program::kUnfilter, "marked texts at every split", 0,
          [](emulated::Machine &image, unsigned shard, unsigned shards) {
              proof::Findings findings;
              for (const proof::SequenceStart &kind : proof::kStarts) {
                  if (*kind.mark == 0)
                      continue;  // DecoderSequencesOfSix's
                  for (unsigned length = 1; length <= kind.imageLongest; length++) {
                      uint64_t from, to;
                      proof::ShardRange(proof::SequenceCount(length), shard, shards, &from, &to);
                      for (uint64_t index = from; index < to; index++)
                          AgreesAtEverySplit(image, proof::MarkedText(kind, index, length), &findings);
                  }
              }
              return findings.Report();
          });
}

// The start on the image: every text of up to three bytes over the marks'
// bytes, 0 and a character, "=", CR, LF and the invalid class's stand-in,
// and every byte after each mark begun or whole, at every split into reads.
TEST_F(ImageProof, DecoderStart)
{
    const std::string alphabet =
        std::string("\xEF\xBB\xBF\xFE\xFF", 5) + std::string(1, '\0') + "AQ=\r\n" + (char)proof::kInvalid;
    Sweep(shipped::Program::kUnfilter, "texts of up to 3 bytes from the start, every byte after a mark", 0,
          [&](emulated::Machine &image, unsigned shard, unsigned shards) {
              proof::Findings findings;
              for (unsigned length = 1; length <= 3; length++) {
                  uint64_t count = 1;
                  for (unsigned i = 0; i < length; i++)
                      count *= alphabet.size();
                  uint64_t from, to;
                  proof::ShardRange(count, shard, shards, &from, &to);
                  for (uint64_t index = from; index < to; index++) {
                      std::string text;
                      for (uint64_t i = index, at = 0; at < length; at++, i /= alphabet.size())
                          text += alphabet[i % alphabet.size()];
                      AgreesAtEverySplit(image, text, &findings);
                  }
              }
              // Every byte after each mark begun, and after each mark whole.
              const char *const begun[] = {"\xEF",         "\xEF\xBB", "\xFF",    "\xFE",
                                           "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
              uint64_t from, to;
              proof::ShardRange(256, shard, shards, &from, &to);
              for (const char *mark : begun)
                  for (uint64_t b = from; b < to; b++)
                      AgreesAtEverySplit(image, mark + std::string(1, (char)b), &findings);
              return findings.Report();
          });
}

// Windows of units from every state of UTF-16: with no unit begun, `length`
// units over `units`; with one begun, a byte that ends it (each byte of the
// units) and `length` - 1 units; at every cut, a unit split or not.
void ImageProof::SweepUnitWindows(const std::vector<proof::Unit> &units, unsigned length)
{
    std::vector<uint8_t> ends;
    for (unsigned b = 0; b < 256; b++)
        for (const proof::Unit &u : units)
            if (u.character == b || u.other == b) {
                ends.push_back((uint8_t)b);
                break;
            }
    size_t runs = 0;
    // The windows of each state of UTF-16, from its listed states.
    struct Group {
        std::vector<proof::ListedState> states;
        std::vector<std::string> windows;
    };
    std::vector<Group> groups;
    for (unsigned form : {FORM_UTF16LE, FORM_UTF16BE}) {
        for (unsigned held = 0; held < 2; held++) {
            groups.emplace_back();
            std::vector<proof::ListedState> &states = groups.back().states;
            for (const proof::ListedState &s : proof::ListedStates())
                if (s.form == form && s.held == held)
                    states.push_back(s);
            std::vector<std::string> &windows = groups.back().windows;
            uint64_t count = held == 0 ? units.size() : ends.size();
            for (unsigned i = 1; i < length; i++)
                count *= units.size();
            for (uint64_t index = 0; index < count; index++) {
                uint64_t i = index;
                std::string w;
                if (held == 0) {
                    w = proof::UnitBytes(units[i % units.size()], form);
                    i /= units.size();
                } else {
                    w = std::string(1, (char)ends[i % ends.size()]);
                    i /= ends.size();
                }
                for (unsigned at = 1; at < length; at++, i /= units.size())
                    w += proof::UnitBytes(units[i % units.size()], form);
                windows.push_back(w);
                runs += w.size() * states.size();
            }
        }
    }
    Sweep(shipped::Program::kUnfilter,
          "windows of " + std::to_string(length) + " units over " + std::to_string(units.size()), runs,
          [&](emulated::Machine &image, unsigned shard, unsigned shards) {
              std::string found;
              for (const Group &group : groups)
                  found += SweepImageWindows(image, group.windows, shard, shards, group.states);
              return found;
          });
}

// The unit lemma on the image: every one of the 2^16 units, from no group
// open in UTF-16LE and in BE, in one read and cut between its bytes.
TEST_F(ImageProof, DecoderEveryUnit)
{
    std::vector<proof::ListedState> states;
    for (const proof::ListedState &s : proof::ListedStates())
        if ((s.form == FORM_UTF16LE || s.form == FORM_UTF16BE) && s.held == 0 && s.prefix.size() == 2)
            states.push_back(s);
    std::vector<std::string> windows;
    for (unsigned u = 0; u < 65536; u++)
        windows.push_back({(char)(u >> 8), (char)u});
    EXPECT_EQ(states.size(), 2u);
    Sweep(shipped::Program::kUnfilter, "every unit", windows.size() * 2 * states.size(),
          [&](emulated::Machine &image, unsigned shard, unsigned shards) {
              return SweepImageWindows(image, windows, shard, shards, states);
          });
}

// Eight of the representative units: characters, "=", CR, LF, invalid
// characters and invalid units.
std::vector<proof::Unit> ImageUnits()
{
    return {{'Q', 0},    {'/', 0},    {'=', 0}, {'\r', 0}, {'\n', 0}, {proof::kInvalid, 0},
            {'A', 0x01}, {0xFE, 0xFF}};
}

TEST_F(ImageProof, DecoderUnitsOfThree)
{
    SweepUnitWindows(ImageUnits(), 3);
}

// The long sweep's part: windows of four units.
TEST_F(ImageProof, DecoderUnitsOfFour)
{
    SweepUnitWindows(ImageUnits(), 4);
}

// Every group value on each of DecodeChunk's paths: RFC 4648's lines of the
// encoder's sweep, 52 lines of 19 groups a read, taken whole; and every
// value in groups with an LF after their second character ("ab\ncd"), which
// the whole-group path hands to the character-by-character one, 819 groups
// a read.
const uint64_t kLinesPerRead = 52;
const uint64_t kWholeReads = (kFullLines + kLinesPerRead - 1) / kLinesPerRead;
const uint64_t kSplitPerRead = 819;
const uint64_t kSplitReads = (proof::kGroupValues + kSplitPerRead - 1) / kSplitPerRead;

void GroupBytes(uint32_t v, std::string *bytes)
{
    *bytes += (char)(v >> 16);
    *bytes += (char)(v >> 8);
    *bytes += (char)v;
}

// Read number `index` of the sweep, and the bytes it must decode to.
void GroupRead(const proof::Alphabet &alphabet, uint64_t index, std::string *text, std::string *bytes)
{
    if (index < kWholeReads) {
        for (uint64_t l = index * kLinesPerRead; l < (index + 1) * kLinesPerRead && l < kFullLines; l++) {
            const std::string data = EncoderRead(l);
            char line[LINE_BUFFER_BYTES];
            const unsigned length =
                proof::ExpectedLine(alphabet, (const uint8_t *)data.data(), (unsigned)data.size(), line);
            *text += std::string(line, length);
            *bytes += data;
        }
        return;
    }
    const uint64_t first = (index - kWholeReads) * kSplitPerRead;
    for (uint64_t v = first; v < first + kSplitPerRead && v < proof::kGroupValues; v++) {
        char group[4];
        rfc4648::EncodeGroup((uint32_t)v, group);
        *text += std::string(group, 2) + "\n" + std::string(group + 2, 2);
        GroupBytes((uint32_t)v, bytes);
    }
}

// The reads [first, to) of the group sweep in runs of kBatch reads.
std::string SweepGroupReads(emulated::Machine &image, uint64_t first, uint64_t to, unsigned shard,
                            unsigned shards)
{
    const proof::Alphabet alphabet;
    proof::Findings findings;
    uint64_t from, end;
    proof::ShardRange(to - first, shard, shards, &from, &end);
    const uint64_t kBatch = 400;
    for (uint64_t batch = first + from; batch < first + end; batch += kBatch) {
        const uint64_t last = std::min(batch + kBatch, first + end);
        std::deque<scripted::ReadStep> reads;
        std::vector<std::string> expected;
        for (uint64_t i = batch; i < last; i++) {
            std::string text, bytes;
            GroupRead(alphabet, i, &text, &bytes);
            reads.push_back({text});
            expected.push_back(bytes);
        }
        const ImageRun run = RunImage(image, reads);
        if (!run.fault.empty() || run.exitCode != 0 || !run.errors.empty() || run.writes != expected)
            findings.Add("reads " + std::to_string(batch) + " to " + std::to_string(last) + ": " + run.fault +
                         " exit " + std::to_string(run.exitCode) + ", \"" + run.errors + "\", " +
                         std::to_string(run.writes.size()) + " writes");
    }
    return findings.Report();
}

TEST_F(ImageProof, DecoderEveryGroupWhole)
{
    Sweep(shipped::Program::kUnfilter, "every group taken whole by b64unfilter.exe", 0,
          [](emulated::Machine &image, unsigned shard, unsigned shards) {
              return SweepGroupReads(image, 0, kWholeReads, shard, shards);
          });
}

// The long sweep's part: the character-by-character path takes some 250
// instructions of the image a group, ten times the whole-group path's.
TEST_F(ImageProof, DecoderEveryGroupOneByOne)
{
    Sweep(shipped::Program::kUnfilter, "every group taken one character at a time by b64unfilter.exe", 0,
          [](emulated::Machine &image, unsigned shard, unsigned shards) {
              return SweepGroupReads(image, kWholeReads, kWholeReads + kSplitReads, shard, shards);
          });
}

}  // namespace
