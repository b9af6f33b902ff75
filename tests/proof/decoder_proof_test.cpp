// DecodeChunk on every input of its domain (notes/proof.md): its table for
// every byte, each byte handled as its class, the states it carries between
// reads, every window of four bytes from each of them (over the classes, and
// in the long sweep over all 256 bytes) in one read and cut into two, every
// text of up to 8 symbols at every split into reads, and the round trip with
// EncodeChunk for every group and tail.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "filter/encode_chunk.h"
#include "tests/base64_decoder_model.h"
#include "tests/proof/decoder_sequences.h"
#include "tests/proof/decoder_states.h"
#include "tests/proof/decoder_step_model.h"
#include "tests/proof/decoder_windows.h"
#include "tests/proof/encoder_line.h"
#include "tests/proof/shards.h"
#include "unfilter/decode_chunk.h"

namespace {

// Every window over alphabet from each of states, in shards by its first
// byte; every state a read left is in the list.
void SweepAllWindows(const std::vector<uint8_t> &alphabet, const std::vector<proof::ListedState> &states,
                     proof::SeenStates *seen)
{
    auto start = std::chrono::steady_clock::now();
    std::mutex lock;
    const std::string found = proof::InThreads([&](unsigned shard, unsigned shards) {
        uint64_t from, to;
        proof::ShardRange(alphabet.size(), shard, shards, &from, &to);
        proof::SeenStates mine;
        std::string report = proof::SweepWindows(alphabet, from, to, &mine, states);
        std::lock_guard<std::mutex> hold(lock);
        seen->insert(mine.begin(), mine.end());
        return report;
    });
    EXPECT_EQ(found, "");
    printf("%zu^4 windows from %zu states: %.1f s\n", alphabet.size(), states.size(),
           proof::SecondsSince(start));
}

// Byte windows: from the start over the classes and the bytes of the marks,
// and from every state of text a byte a character over the classes.
void SweepByteWindows(const std::vector<uint8_t> &classes)
{
    proof::SeenStates seen;
    SweepAllWindows(proof::StartAlphabet(classes), proof::StatesOf(FORM_START, 0), &seen);
    SweepAllWindows(classes, proof::StatesOf(FORM_BYTES), &seen);
    std::vector<proof::ListedState> reached = proof::StatesOf(FORM_BYTES);
    for (unsigned form : {FORM_START, FORM_UTF16LE, FORM_UTF16BE})
        for (const proof::ListedState &state : proof::StatesOf(form))
            if (state.characters == 0 && (form != FORM_START || state.held != 0))
                reached.push_back(state);
    proof::ExpectListed(seen, reached);
}

TEST(DecoderWindows, OverTheClasses)
{
    SweepByteWindows(proof::ClassAlphabet());
}

TEST(DecoderWindows, EveryByte)
{
    SweepByteWindows(proof::EveryByte());
}

// Each listed state is reached by its prefix, as listed, and is the model's
// state after the same text.
TEST(DecoderStates, EachReachedAsListed)
{
    for (const proof::ListedState &listed : proof::ListedStates()) {
        const DecodeState s = proof::StateAfter(listed.prefix);
        proof::StepModel m;
        uint8_t out[3];
        for (char c : listed.prefix)
            ASSERT_GE(m.Take((uint8_t)c, out), 0) << listed.name;
        EXPECT_EQ(s.form, listed.form) << listed.name;
        EXPECT_EQ(s.held, listed.held) << listed.name;
        EXPECT_EQ(m.form, listed.form) << listed.name;
        EXPECT_EQ(m.held, listed.held) << listed.name;
        if (listed.held != 0) {
            EXPECT_EQ(s.heldBytes, m.heldBytes) << listed.name;
        }
        EXPECT_EQ(s.characters, listed.characters) << listed.name;
        EXPECT_EQ(s.padded != 0, listed.padded) << listed.name;
        EXPECT_EQ(m.characters, listed.characters) << listed.name;
        EXPECT_EQ(m.padded, listed.padded) << listed.name;
        EXPECT_EQ(s.line, m.line) << listed.name;
        EXPECT_EQ(s.column, m.column) << listed.name;
    }
}

}  // namespace

namespace {

// The step model and tests/base64_decoder_model.h agree on text: the same
// bytes, verdict and place.
std::string ModelsAgree(const std::string &text, const model::Decoded &d)
{
    proof::StepModel m;
    std::string bytes;
    uint8_t out[3];
    bool invalid = false;
    for (size_t i = 0; i < text.size() && !invalid; i++) {
        int made = m.Take((uint8_t)text[i], out);
        if (made < 0) {
            if (d.verdict != model::Verdict::Invalid || d.stop != i || d.line != m.line ||
                d.column != m.column)
                return "the models differ on invalid \"" + proof::Escaped(text) + "\"\n";
            invalid = true;
            break;
        }
        bytes.append((const char *)out, (size_t)made);
    }
    // Half a unit or a mark begun at the end: invalid after the last byte.
    if (!invalid && !m.End()) {
        if (d.verdict != model::Verdict::Invalid || d.stop != text.size() || d.line != m.line ||
            d.column != m.column)
            return "the models differ on \"" + proof::Escaped(text) + "\" ending in a unit or mark begun\n";
        invalid = true;
    }
    if (!invalid && d.verdict == model::Verdict::Invalid)
        return "the models differ on \"" + proof::Escaped(text) + "\": invalid only in one\n";
    const bool inside = m.characters != 0 && !invalid;
    if (bytes != d.Bytes() || inside != (d.verdict == model::Verdict::EndsInsideGroup) ||
        (inside && (d.line != m.groupLine || d.column != m.groupColumn)))
        return "the models differ on \"" + proof::Escaped(text) + "\"\n";
    return "";
}

// DecodeChunk over the reads of one split against the model's text d.
std::string SplitAgrees(const std::vector<std::string> &reads, const model::Decoded &d)
{
    DecodeState s;
    StartDecoding(&s);
    size_t from = 0;
    for (const std::string &read : reads) {
        BYTE decoded[DECODED_BUFFER_BYTES];
        DWORD count = 0;
        const size_t to = from + read.size();
        const bool valid =
            DecodeChunk(&s, (const BYTE *)read.data(), (DWORD)read.size(), decoded, &count) != FALSE;
        const bool stops = d.verdict == model::Verdict::Invalid && d.stop < to;
        const std::string want = model::BytesCompletedIn(d, from, stops ? d.stop : to);
        if (valid == stops || std::string((const char *)decoded, count) != want ||
            (stops && (s.line != d.line || s.column != d.column)))
            return "read \"" + proof::Escaped(read) + "\" at " + std::to_string(from);
        if (stops)
            return "";
        from = to;
    }
    // Half a unit or a mark begun at the end is invalid there.
    const bool ends = EndDecoding(&s) != FALSE;
    if (ends == (d.verdict == model::Verdict::Invalid) ||
        (!ends && (s.line != d.line || s.column != d.column)))
        return "the end of the text, a unit or mark begun";
    if (!ends)
        return "";
    const bool inside = d.verdict == model::Verdict::EndsInsideGroup;
    if ((s.characters != 0) != inside || (inside && (s.groupLine != d.line || s.groupColumn != d.column)))
        return "the end of the text";
    return "";
}

// Every text of each kind of start (proof::kStarts) up to its longest, at
// every split into reads, against tests/base64_decoder_model.h, and the two
// models against each other.
TEST(DecoderSequences, UpToEightAtEverySplit)
{
    auto start = std::chrono::steady_clock::now();
    uint64_t splits = 0;
    std::mutex lock;
    const std::string found = proof::InThreads([&](unsigned shard, unsigned shards) {
        proof::Findings findings;
        uint64_t mine = 0;
        for (const proof::SequenceStart &kind : proof::kStarts) {
            for (unsigned length = 1; length <= kind.hostLongest; length++) {
                uint64_t from, to;
                proof::ShardRange(proof::SequenceCount(length), shard, shards, &from, &to);
                for (uint64_t index = from; index < to; index++) {
                    const std::string text = proof::MarkedText(kind, index, length);
                    const model::Decoded d = model::Decode(text);
                    std::string wrong = ModelsAgree(text, d);
                    if (!wrong.empty())
                        findings.Add(wrong);
                    for (uint32_t mask = 0; mask < proof::SplitCount((unsigned)text.size()); mask++, mine++) {
                        wrong = SplitAgrees(proof::SplitReads(text, mask), d);
                        if (!wrong.empty())
                            findings.Add("\"" + proof::Escaped(text) + "\", split " + proof::Hex(mask) +
                                         ": " + wrong);
                    }
                }
            }
        }
        std::lock_guard<std::mutex> hold(lock);
        splits += mine;
        return findings.Report();
    });
    EXPECT_EQ(found, "");
    printf("%llu splits of texts of up to 8 symbols, marked and not: %.1f s\n", (unsigned long long)splits,
           proof::SecondsSince(start));
}

}  // namespace

namespace {

// Every byte of the 256, at every place of every window over a context of
// characters, "=", CR, LF and the invalid class's stand-in, from every
// listed state past the start of text a byte a character, in one read and
// cut into two: each is handled as the model says of its class (a character
// by its RFC 4648 value), which shows the table right for all 256 and that
// kInvalid can stand for every invalid byte. (At the start, where EF, FE and
// FF begin marks, DecoderStart sweeps every byte; in UTF-16 the narrowed
// units go through the same table, DecoderUnits.)
TEST(DecoderTable, EveryByteAsItsClass)
{
    auto start = std::chrono::steady_clock::now();
    const std::vector<uint8_t> context = {'A', 'Q', '/', '9', '=', '\r', '\n', proof::kInvalid};
    const std::string found = proof::InThreads([&](unsigned shard, unsigned shards) {
        uint64_t from, to;
        proof::ShardRange(256, shard, shards, &from, &to);
        std::string report;
        for (uint64_t b = from; b < to; b++) {
            std::vector<uint8_t> alphabet = context;
            alphabet.push_back((uint8_t)b);
            proof::SeenStates seen;
            report += proof::SweepWindows(alphabet, 0, alphabet.size(), &seen, proof::StatesOf(FORM_BYTES));
        }
        return report;
    });
    EXPECT_EQ(found, "");
    printf("every byte in 9^4 windows from every state: %.1f s\n", proof::SecondsSince(start));
}

// decode(encode(x)) = x through EncodeChunk and DecodeChunk: 2^24 lines of
// 19 groups (every value at every place), and every tail of one and two
// bytes at every place a tail can stand.
std::string RoundTrip(const uint8_t *data, unsigned count)
{
    uint8_t input[INPUT_BUFFER_BYTES] = {};
    memcpy(input, data, count);
    char line[LINE_BUFFER_BYTES];
    const DWORD length = EncodeChunk(input, count, line);
    DecodeState s;
    StartDecoding(&s);
    BYTE decoded[DECODED_BUFFER_BYTES];
    DWORD decodedCount = 0;
    const BOOL valid = DecodeChunk(&s, (const BYTE *)line, length, decoded, &decodedCount);
    if (valid && s.characters == 0 && decodedCount == count && memcmp(decoded, data, count) == 0)
        return "";
    size_t at = 0;
    while (at < count && at < decodedCount && decoded[at] == data[at])
        at++;
    const size_t group = at / 3 * 3;
    return std::to_string(count) + " bytes came back as " + std::to_string(decodedCount) + ", from byte " +
           std::to_string(at) + ": the group \"" +
           proof::Escaped(std::string((const char *)data + group, 3)) + "\" as \"" +
           proof::Escaped(std::string((const char *)decoded + group, decodedCount > group ? 3 : 0)) +
           "\" (line \"" + proof::Escaped(std::string(line, 4 * (group / 3), 4)) + "\")";
}

TEST(RoundTrip, EveryGroupAndTail)
{
    auto start = std::chrono::steady_clock::now();
    const std::string found = proof::InThreads([&](unsigned shard, unsigned shards) {
        proof::Findings findings;
        uint64_t from, to;
        proof::ShardRange(proof::kGroupValues, shard, shards, &from, &to);
        uint8_t data[CHUNK_BYTES];
        for (uint32_t l = (uint32_t)from; l < to; l++) {
            for (unsigned j = 0; j < CHUNK_BYTES / 3; j++)
                proof::PutGroup(data + 3 * (size_t)j, proof::GroupValue(l, j));
            std::string wrong = RoundTrip(data, CHUNK_BYTES);
            if (!wrong.empty())
                findings.Add(wrong);
            // The tails: of one byte on lines below 2^8, of two below 2^16,
            // at each of the 19 places.
            for (unsigned tail = 1; tail <= 2 && l < 1u << (8 * tail); tail++) {
                for (unsigned groups = 0; groups < CHUNK_BYTES / 3; groups++) {
                    uint8_t *at = data + 3 * (size_t)groups;
                    at[0] = (uint8_t)(l >> 8 * (tail - 1));
                    at[tail - 1] = (uint8_t)l;
                    wrong = RoundTrip(data, 3 * groups + tail);
                    if (!wrong.empty())
                        findings.Add(wrong);
                }
            }
        }
        return findings.Report();
    });
    EXPECT_EQ(found, "");
    printf("2^24 lines and every tail there and back: %.1f s\n", proof::SecondsSince(start));
}

}  // namespace

namespace {

// The bound DecodeChunk's writes keep: a read of 4096 bytes and the 3
// characters held before it complete at most 1024 groups, 3072 bytes, which
// the test build checks after every write. From every listed state that
// holds characters, the fullest reads fill the buffer to the byte, their
// last group taken whole, or one character at a time after an LF inside
// it (which needs a character held: the LF takes a byte of the read).
TEST(DecoderBound, FullestReadsFromEveryState)
{
    for (const proof::ListedState &listed : proof::ListedStates()) {
        if (listed.padded)
            continue;  // "xx=" takes "=" next, and no group is fuller
        // A mark begun takes no character; UTF-16, DecoderBound.Utf16HalfAsFull.
        if (listed.form != FORM_BYTES && !(listed.form == FORM_START && listed.held == 0))
            continue;
        const unsigned held = listed.characters;
        std::vector<std::string> texts = {std::string(TEXT_BUFFER_BYTES, '/')};
        if (held > 0)
            texts.push_back(std::string(4 - held + 4 * 1022, '/') + "AB\nCD" + std::string(held - 1, '/'));
        for (const std::string &text : texts) {
            ASSERT_EQ(text.size(), (size_t)TEXT_BUFFER_BYTES);
            DecodeState s = proof::StateAfter(listed.prefix);
            BYTE decoded[DECODED_BUFFER_BYTES];
            DWORD count = 0;
            ASSERT_TRUE(DecodeChunk(&s, (const BYTE *)text.data(), (DWORD)text.size(), decoded, &count));
            EXPECT_EQ(count, (DWORD)DECODED_BUFFER_BYTES) << listed.name << ", " << texts.size();
        }
    }
}

// In UTF-16 a read of 4096 bytes is at most 2048 units and the one begun
// before it, which with 3 characters held complete at most 512 groups:
// half the buffer. (The test build's check sees each block of narrowed
// units from where its bytes begin; this is the read's whole.)
TEST(DecoderBound, Utf16HalfAsFull)
{
    for (const proof::ListedState &listed : proof::ListedStates()) {
        if ((listed.form != FORM_UTF16LE && listed.form != FORM_UTF16BE) || listed.padded)
            continue;
        const bool be = listed.form == FORM_UTF16BE;
        // A unit begun is ended as a "/" (LE: its held "Q" and 0; BE: its 0 and "/").
        std::string text = listed.held == 0 ? "" : be ? "/" : std::string(1, '\0');
        while (text.size() + 2 <= TEXT_BUFFER_BYTES)
            text += model::Units("/", be);
        DecodeState s = proof::StateAfter(listed.prefix);
        BYTE decoded[DECODED_BUFFER_BYTES];
        DWORD count = 0;
        ASSERT_TRUE(DecodeChunk(&s, (const BYTE *)text.data(), (DWORD)text.size(), decoded, &count))
            << listed.name;
        const unsigned characters = listed.characters + (listed.held != 0) + (unsigned)(text.size() / 2);
        EXPECT_EQ(count, 3 * (characters / 4)) << listed.name;
        EXPECT_LE(count, (DWORD)DECODED_BUFFER_BYTES / 2) << listed.name;
    }
}

#ifdef B64_CHECK_DECODED_BOUND
// A read longer than its buffer (which no caller makes) is stopped at the
// first group past the bound: the check is there, and can fail.
TEST(DecoderBound, CheckedInTheTestBuild)
{
    const std::string text(TEXT_BUFFER_BYTES + 8, 'Q');
    EXPECT_DEATH(
        {
            BYTE roomy[DECODED_BUFFER_BYTES + 16];
            DecodeState s;
            StartDecoding(&s);
            DWORD count;
            DecodeChunk(&s, (const BYTE *)text.data(), (DWORD)text.size(), roomy, &count);
        },
        "");
}
#endif

}  // namespace
