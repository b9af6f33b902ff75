// DecodeChunk at the start of the text and in UTF-16 (notes/proof.md): every
// text of up to three bytes from the start, and of up to two from each mark
// begun; every unit of UTF-16 from every state of the 16-bit forms (the unit
// lemma); every window of four units over the unit classes (over a
// representative set of units in ./check), in one read and cut at every
// byte; and the narrowing's blocks, whose every boundary is a cut.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/proof/decoder_states.h"
#include "tests/proof/decoder_step_model.h"
#include "tests/proof/decoder_windows.h"
#include "tests/proof/shards.h"
#include "unfilter/decode_chunk.h"

namespace {

// Runs check(state, m0, shard, shards, &seen) for each of states in
// threads, and what it found; every state left is listed.
typedef std::function<std::string(const proof::ListedState &, const DecodeState &, const proof::StepModel &,
                                  unsigned, unsigned, proof::SeenStates *)>
    StateSweep;

void FromEach(const std::vector<proof::ListedState> &states, const StateSweep &check,
              const std::vector<proof::ListedState> &reached, const char *what)
{
    auto start = std::chrono::steady_clock::now();
    std::mutex lock;
    proof::SeenStates seen;
    const std::string found = proof::InThreads([&](unsigned shard, unsigned shards) {
        proof::SeenStates mine;
        std::string report;
        for (const proof::ListedState &listed : states) {
            const std::string wrong = check(listed, proof::StateAfter(listed.prefix),
                                            proof::ModelAfter(listed.prefix), shard, shards, &mine);
            // Each finding (a line of wrong) names the state it is from.
            for (size_t at = 0, end; at < wrong.size(); at = end + 1) {
                end = wrong.find('\n', at);
                if (end == std::string::npos)
                    end = wrong.size();
                report += "from " + listed.name + ": " + wrong.substr(at, end - at) + "\n";
            }
        }
        std::lock_guard<std::mutex> hold(lock);
        seen.insert(mine.begin(), mine.end());
        return report;
    });
    EXPECT_EQ(found, "");
    proof::ExpectListed(seen, reached);
    printf("%s from %zu states: %.1f s\n", what, states.size(), proof::SecondsSince(start));
}

std::vector<proof::ListedState> Utf16States(int held = -1)
{
    std::vector<proof::ListedState> states;
    for (unsigned form : {FORM_UTF16LE, FORM_UTF16BE})
        for (const proof::ListedState &s : proof::StatesOf(form))
            if (held < 0 || s.held == (unsigned)held)
                states.push_back(s);
    return states;
}

// Every text of `length` bytes whose first byte is in this shard's part.
std::string EveryText(const DecodeState &s, const proof::StepModel &m, unsigned length, unsigned shard,
                      unsigned shards, proof::SeenStates *seen)
{
    proof::Findings findings;
    uint64_t from, to;
    proof::ShardRange(256, shard, shards, &from, &to);
    const uint64_t rest = 1ull << 8 * (length - 1);
    for (uint64_t i = from * rest; i < to * rest; i++) {
        uint8_t text[3];
        for (unsigned at = 0; at < length; at++)
            text[at] = (uint8_t)(i >> 8 * (length - 1 - at));
        const std::string wrong = proof::CheckCuts(s, m, text, length, seen);
        if (!wrong.empty())
            findings.Add(wrong);
    }
    return findings.Report();
}

// The start: the marks' bytes are classes of their own there, so it is
// swept over every byte: every text of one, two and three bytes from
// nothing read, and of one and two from each mark begun, in one read and
// cut at every place, with the end after it. Three bytes end every mark:
// whatever comes next, a read from a listed state past the start takes.
TEST(DecoderStart, EveryTextOfUpToThree)
{
    std::vector<proof::ListedState> reached = proof::StatesOf(FORM_START);
    reached.erase(reached.begin());  // nothing read: no read leaves it
    reached.push_back(proof::StatesOf(FORM_BYTES)[0]);
    for (const proof::ListedState &s : Utf16States())
        if (s.characters == 0)
            reached.push_back(s);
    FromEach(
        proof::StatesOf(FORM_START),
        [](const proof::ListedState &listed, const DecodeState &s, const proof::StepModel &m, unsigned shard,
           unsigned shards, proof::SeenStates *seen) {
            std::string report;
            for (unsigned length = 1; length <= (listed.held == 0 ? 3u : 2u); length++)
                report += EveryText(s, m, length, shard, shards, seen);
            return report;
        },
        reached, "every text of up to three bytes");
}

// The unit lemma: from every state of UTF-16, every one of the 2^16 units,
// in one read and cut between its bytes (the cut begins it in every state
// with every first byte), is the character of its byte when the other is
// 0, and else one invalid character, whatever its bytes: the model's
// verdict, place and state for the unit's class.
TEST(DecoderUnits, EveryUnitFromEveryState)
{
    FromEach(
        Utf16States(),
        [](const proof::ListedState &listed, const DecodeState &s, const proof::StepModel &m, unsigned shard,
           unsigned shards, proof::SeenStates *seen) {
            return EveryText(s, m, listed.held == 0 ? 2 : 1, shard, shards, seen);
        },
        Utf16States(), "every unit");
}

// What a window of four units starts with from a listed state: each of
// `before` (a read's worth of units, or nothing), then the window's first
// unit, each of `first` (the shard's part of them).
struct WindowStarts {
    std::vector<std::string> before, first;
};

// From every state of UTF-16, every window of a start and three units over
// `units` after it, in one read and (when cuts) cut at each of its bytes,
// each a finding where it and the model differ; every state in reached is
// left by some read.
void SweepWindowsOfFour(const std::vector<proof::Unit> &units,
                        const std::function<WindowStarts(const proof::ListedState &)> &starts, bool cuts,
                        const std::vector<proof::ListedState> &reached, const char *what)
{
    FromEach(
        Utf16States(),
        [&](const proof::ListedState &listed, const DecodeState &s, const proof::StepModel &m, unsigned shard,
            unsigned shards, proof::SeenStates *seen) {
            proof::Findings findings;
            const WindowStarts start = starts(listed);
            const size_t k = units.size();
            uint64_t from, to;
            proof::ShardRange(start.first.size(), shard, shards, &from, &to);
            for (const std::string &before : start.before)
                for (uint64_t first = from; first < to; first++)
                    for (size_t i1 = 0; i1 < k; i1++)
                        for (size_t i2 = 0; i2 < k; i2++)
                            for (size_t i3 = 0; i3 < k; i3++) {
                                std::string w = before + start.first[first];
                                for (size_t i : {i1, i2, i3})
                                    w += proof::UnitBytes(units[i], listed.form);
                                const std::string wrong = proof::CheckCuts(s, m, (const uint8_t *)w.data(),
                                                                           (unsigned)w.size(), seen, cuts);
                                if (!wrong.empty())
                                    findings.Add(wrong);
                            }
            return findings.Report();
        },
        reached, what);
}

// The bytes of each of units in the form.
std::vector<std::string> UnitsIn(const std::vector<proof::Unit> &units, unsigned form)
{
    std::vector<std::string> bytes;
    bytes.reserve(units.size());
    for (const proof::Unit &u : units)
        bytes.push_back(proof::UnitBytes(u, form));
    return bytes;
}

// Every window of four units over `units` from every state of UTF-16 with
// no unit begun, in one read and cut at each of its 7 inner bytes; from
// every state with a unit begun, every byte of `ends` to end it and three
// units after it, likewise.
void SweepUnitWindows(const std::vector<proof::Unit> &units, const std::vector<uint8_t> &ends,
                      const char *what)
{
    SweepWindowsOfFour(
        units,
        [&](const proof::ListedState &listed) {
            WindowStarts start{{""}, {}};
            if (listed.held == 0)
                start.first = UnitsIn(units, listed.form);
            else
                for (uint8_t end : ends)
                    start.first.push_back(std::string(1, (char)end));
            return start;
        },
        true, Utf16States(), what);
}

// The bytes of a set of units, each once.
std::vector<uint8_t> BytesOf(const std::vector<proof::Unit> &units)
{
    bool in[256] = {};
    for (const proof::Unit &u : units)
        in[u.character] = in[u.other] = true;
    std::vector<uint8_t> bytes;
    for (unsigned b = 0; b < 256; b++)
        if (in[b])
            bytes.push_back((uint8_t)b);
    return bytes;
}

TEST(DecoderUnits, WindowsOverRepresentativeUnits)
{
    SweepUnitWindows(proof::RepresentativeUnits(), BytesOf(proof::RepresentativeUnits()),
                     "16^4 windows of units");
}

TEST(DecoderUnits, WindowsOverTheUnitClasses)
{
    SweepUnitWindows(proof::UnitClasses(), BytesOf(proof::UnitClasses()), "69^4 windows of units");
}

// The narrowing's blocks: a read of more units than a block is decoded a
// block at a time, with everything carried in the state between blocks as
// between reads. From every state of UTF-16, a read of 252 to 255 CR units
// and a window of four units over eight of the representative ones, so
// that a block ends after each of the window's first three units (and at
// its end, or before it), in one read.
TEST(DecoderUnits, BlockEndsInsideEveryWindow)
{
    const std::vector<proof::Unit> all = proof::RepresentativeUnits();
    const std::vector<proof::Unit> units(all.begin() + 3, all.begin() + 11);
    SweepWindowsOfFour(
        units,
        [&](const proof::ListedState &listed) {
            // A unit begun is ended by 0 in LE, by a CR in BE, and is the
            // block's first unit.
            const std::string end = listed.held == 0              ? ""
                                    : listed.form == FORM_UTF16LE ? std::string(1, '\0')
                                                                  : "\r";
            WindowStarts start{{}, UnitsIn(units, listed.form)};
            for (unsigned pad = 252; pad < 256; pad++) {
                start.before.push_back(end);
                for (unsigned p = 0; p < pad; p++)
                    start.before.back() += proof::UnitBytes({'\r', 0}, listed.form);
            }
            return start;
        },
        false, {}, "a block's end at every place of 8^4 windows of units");
}

}  // namespace
