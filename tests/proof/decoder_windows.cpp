#include "tests/proof/decoder_windows.h"

#include <gtest/gtest.h>
#include <string.h>

#include "tests/proof/decoder_states.h"
#include "tests/proof/decoder_step_model.h"
#include "tests/proof/shards.h"

namespace proof {

namespace {

// What the model makes of one read from `start`.
struct Expected {
    bool valid;
    unsigned count;
    uint8_t bytes[16];
    uint32_t line, column;  // the invalid byte's place
    StepModel after;
};

Expected ModelRead(const StepModel &start, const uint8_t *text, unsigned n)
{
    Expected e{};
    e.valid = true;
    e.count = 0;
    e.after = start;
    for (unsigned i = 0; i < n; i++) {
        int made = e.after.Take(text[i], e.bytes + e.count);
        if (made < 0) {
            e.valid = false;
            e.line = e.after.line;
            e.column = e.after.column;
            return e;
        }
        e.count += (unsigned)made;
    }
    return e;
}

// The model's state and DecodeChunk's agree: the same form, the same bytes
// of a mark or unit begun, the same group open, at the same place, holding
// the same characters, at the same line and column.
bool SameState(const DecodeState &s, const StepModel &m)
{
    if (s.form != m.form || s.held != m.held || (m.held != 0 && s.heldBytes != m.heldBytes))
        return false;
    if (s.characters != m.characters || (s.padded != 0) != m.padded || s.line != m.line ||
        s.column != m.column)
        return false;
    if (m.characters == 0)
        return true;
    const unsigned held = m.characters - (m.padded ? 1 : 0);
    const uint32_t mask = (1u << (6 * held)) - 1;
    return s.groupLine == m.groupLine && s.groupColumn == m.groupColumn && (s.bits & mask) == m.bits;
}

std::string Describe(const DecodeState &s)
{
    return "form " + std::to_string(s.form) + ", held " + std::to_string(s.held) + " " + Hex(s.heldBytes) +
           ", characters " + std::to_string(s.characters) + ", padded " + std::to_string(s.padded) +
           ", line " + std::to_string(s.line) + ", column " + std::to_string(s.column) + ", group at " +
           std::to_string(s.groupLine) + ":" + std::to_string(s.groupColumn) + ", bits " + Hex(s.bits);
}

std::string Describe(const StepModel &m)
{
    return "form " + std::to_string(m.form) + ", held " + std::to_string(m.held) + " " + Hex(m.heldBytes) +
           ", characters " + std::to_string(m.characters) + ", padded " + std::to_string(m.padded) +
           ", line " + std::to_string(m.line) + ", column " + std::to_string(m.column) + ", group at " +
           std::to_string(m.groupLine) + ":" + std::to_string(m.groupColumn) + ", bits " + Hex(m.bits);
}

}  // namespace

DecodeState StateAfter(const std::string &prefix)
{
    DecodeState s;
    StartDecoding(&s);
    if (!prefix.empty()) {
        BYTE decoded[DECODED_BUFFER_BYTES];
        DWORD count;
        DecodeChunk(&s, (const BYTE *)prefix.data(), (DWORD)prefix.size(), decoded, &count);
    }
    return s;
}

namespace {

// The model's read of one more byte after e's (e valid so far).
Expected Extend(const Expected &e, uint8_t b)
{
    Expected x = e;
    if (!x.valid)
        return x;
    int made = x.after.Take(b, x.bytes + x.count);
    if (made < 0) {
        x.valid = false;
        x.line = x.after.line;
        x.column = x.after.column;
    } else {
        x.count += (unsigned)made;
    }
    return x;
}

// DecodeChunk's read of text[0..n) from *state against e, the model's.
std::string Against(DecodeState *state, const Expected &e, const uint8_t *text, unsigned n, bool *valid)
{
    BYTE decoded[DECODED_BUFFER_BYTES];
    DWORD count = 0;
    *valid = DecodeChunk(state, text, n, decoded, &count) != FALSE;
    if (*valid == e.valid && count == e.count && memcmp(decoded, e.bytes, count) == 0 &&
        (e.valid ? SameState(*state, e.after) : state->line == e.line && state->column == e.column))
        return "";
    return "read \"" + Escaped(std::string((const char *)text, n)) + "\": valid " + std::to_string(*valid) +
           ", decoded \"" + Escaped(std::string((const char *)decoded, count)) + "\", " + Describe(*state) +
           "; the model: valid " + std::to_string(e.valid) + ", decoded \"" +
           Escaped(std::string((const char *)e.bytes, e.count)) + "\", " +
           (e.valid ? Describe(e.after)
                    : "invalid at " + std::to_string(e.line) + ":" + std::to_string(e.column));
}

Expected Empty(const StepModel &m)
{
    Expected e{};
    e.valid = true;
    e.count = 0;
    e.after = m;
    return e;
}

}  // namespace

std::string SweepWindows(const std::vector<uint8_t> &alphabet, uint64_t from, uint64_t to, SeenStates *seen,
                         const std::vector<ListedState> &states)
{
    Findings findings;
    const size_t k = alphabet.size();
    for (const ListedState &listed : states) {
        const DecodeState start = StateAfter(listed.prefix);
        const StepModel m0 =
            ModelRead(StepModel(), (const uint8_t *)listed.prefix.data(), (unsigned)listed.prefix.size())
                .after;
        auto add = [&](const std::string &wrong, unsigned cut) {
            if (!wrong.empty())
                findings.Add(std::string("from ") + listed.name +
                             (cut ? ", cut after " + std::to_string(cut) : std::string(", one read")) + ": " +
                             wrong);
        };
        // Flags here, the set once at the end: the sweep's inner loop stays
        // free of the set's look-ups.
        // (Any other form, held or number of characters goes to the set at once.)
        bool left[4][3][5][2] = {};
        auto note = [&](bool valid, const DecodeState &s) {
            if (!valid)
                return;
            if (s.form < 4 && s.held < 3 && s.characters < 5)
                left[s.form][s.held][s.characters][s.padded != 0] = true;
            else
                seen->insert(KeyOf(s));
        };
        uint8_t w[4];
        for (uint64_t i0 = from; i0 < to; i0++) {
            w[0] = alphabet[i0];
            // The first read of each cut, once for every window it begins,
            // and the model's reads a byte short, once for every last byte.
            const Expected whole1 = Extend(Empty(m0), w[0]);
            DecodeState s1 = start;
            bool v1;
            add(Against(&s1, whole1, w, 1, &v1), 1);
            note(v1, s1);
            for (size_t i1 = 0; i1 < k; i1++) {
                w[1] = alphabet[i1];
                const Expected whole2 = Extend(whole1, w[1]);
                const Expected cut1From1 = Extend(Empty(whole1.after), w[1]);
                DecodeState s2 = start;
                bool v2;
                add(Against(&s2, whole2, w, 2, &v2), 2);
                note(v2, s2);
                for (size_t i2 = 0; i2 < k; i2++) {
                    w[2] = alphabet[i2];
                    const Expected whole3 = Extend(whole2, w[2]);
                    const Expected cut1From2 = Extend(cut1From1, w[2]);
                    const Expected cut2From1 = Extend(Empty(whole2.after), w[2]);
                    DecodeState s3 = start;
                    bool v3;
                    add(Against(&s3, whole3, w, 3, &v3), 3);
                    note(v3, s3);
                    for (size_t i3 = 0; i3 < k; i3++) {
                        w[3] = alphabet[i3];
                        DecodeState s = start;
                        bool v;
                        add(Against(&s, Extend(whole3, w[3]), w, 4, &v), 0);
                        note(v, s);
                        if (v1) {
                            s = s1;
                            add(Against(&s, Extend(cut1From2, w[3]), w + 1, 3, &v), 1);
                            note(v, s);
                        }
                        if (v2) {
                            s = s2;
                            add(Against(&s, Extend(cut2From1, w[3]), w + 2, 2, &v), 2);
                            note(v, s);
                        }
                        if (v3) {
                            s = s3;
                            add(Against(&s, Extend(Empty(whole3.after), w[3]), w + 3, 1, &v), 3);
                            note(v, s);
                        }
                    }
                }
            }
        }
        for (unsigned f = 0; f < 4; f++)
            for (unsigned h = 0; h < 3; h++)
                for (unsigned c = 0; c < 5; c++)
                    for (unsigned p = 0; p < 2; p++)
                        if (left[f][h][c][p])
                            seen->insert(StateKey(f, h, c, p != 0));
    }
    return findings.Report();
}

std::vector<ListedState> StatesOf(unsigned form, int held)
{
    std::vector<ListedState> states;
    for (const ListedState &s : ListedStates())
        if (s.form == form && (form != FORM_START || held < 0 || s.held == (unsigned)held))
            states.push_back(s);
    return states;
}

StepModel ModelAfter(const std::string &prefix)
{
    return ModelRead(StepModel(), (const uint8_t *)prefix.data(), (unsigned)prefix.size()).after;
}

std::string CheckCuts(const DecodeState &start, const StepModel &m0, const uint8_t *text, unsigned n,
                      SeenStates *seen, bool cuts)
{
    for (unsigned cut = 0; cut < (cuts ? n : 1); cut++) {
        DecodeState s = start;
        StepModel m = m0;
        bool valid = true;
        const unsigned bounds[3] = {0, cut == 0 ? n : cut, n};
        for (unsigned r = 0; r < 2 && valid && bounds[r] < n; r++) {
            const unsigned from = bounds[r], to = bounds[r + 1];
            const Expected e = ModelRead(m, text + from, to - from);
            const std::string wrong = Against(&s, e, text + from, to - from, &valid);
            if (!wrong.empty())
                return (cut ? "cut after " + std::to_string(cut) : std::string("one read")) + ": " + wrong;
            if (valid)
                seen->insert(KeyOf(s));
            m = e.after;
        }
        if (!valid)
            continue;
        const bool ends = EndDecoding(&s) != FALSE;
        if (ends != m.End() || (!ends && (s.line != m.line || s.column != m.column)))
            return (cut ? "cut after " + std::to_string(cut) : std::string("one read")) +
                   ": the end: " + Describe(s) + "; the model: " + Describe(m);
    }
    return "";
}

void ExpectListed(const SeenStates &seen, const std::vector<ListedState> &reached)
{
    SeenStates listed;
    for (const ListedState &state : ListedStates())
        listed.insert(KeyOf(state));
    for (const auto &state : seen)
        EXPECT_EQ(listed.count(state), 1u) << "a read left a state not in the list: " << Describe(state);
    for (const ListedState &state : reached)
        EXPECT_EQ(seen.count(KeyOf(state)), 1u) << "no read left " << state.name;
}

}  // namespace proof
