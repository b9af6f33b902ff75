#include "unfilter/decode_chunk.h"

// The tests' copy in the host trees (B64_CHECK_DECODED_BOUND, cmake/host.cmake)
// checks after every write that it stayed inside decoded, and stops at the
// first that did not; in the programs, the image and the coverage tree it is
// nothing at all.
#ifdef B64_CHECK_DECODED_BOUND
#include <stdlib.h>
#define CHECK_DECODED_BOUND(out, decoded) ((out) - (decoded) <= DECODED_BUFFER_BYTES ? (void)0 : abort())
#else
#define CHECK_DECODED_BOUND(out, decoded) ((void)0)
#endif

// The tests' copy also tells valgrind's memcheck what is secret
// (B64_SECRET_MARKS, cmake/host.cmake): as DecodeChunk starts, the read's
// text and the bits held from the reads before are marked undefined, and
// only what the text's shape shows is made defined again: whether a byte is
// one of the alphabet's 64 characters, a byte that is not, a CR LF, the end
// of the read. Memcheck then reports any branch, and any address, that
// depends on which character a byte is (tests/e2e/test_valgrind.py). What
// leaves DecodeChunk (the bytes decoded, the text, the state) is defined
// again as it returns. In the programs, the image and the coverage tree
// the marks are nothing at all.
#ifdef B64_SECRET_MARKS
#include <valgrind/memcheck.h>
#define MARK_SECRET(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#define MARK_PUBLIC(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#else
#define MARK_SECRET(p, n) ((void)0)
#define MARK_PUBLIC(p, n) ((void)0)
#endif

// The characters are classified a machine word at a time, a byte of the word
// a lane, the text's first byte in the lowest: four lanes on a 32-bit CPU
// (the image's), eight on a 64-bit one.
typedef uintptr_t Lanes;
// b in every lane.
#define LANES(b) ((Lanes)-1 / 0xFF * (Lanes)(b))

// A value the text's shape alone decides, made known as such.
static inline Lanes Declassify(Lanes value)
{
    MARK_PUBLIC(&value, sizeof value);
    return value;
}

// The bytes from p on, as many as a word has lanes.
static inline Lanes LoadLanes(const BYTE *p)
{
    Lanes word;
    __builtin_memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = sizeof word == 8 ? (Lanes)__builtin_bswap64(word) : (Lanes)__builtin_bswap32((DWORD)word);
#endif
    return word;
}

// Four bytes from p on in the low lanes, and on a 64-bit CPU "A" in the
// others: characters that make no group of the text.
static inline Lanes LoadFour(const BYTE *p)
{
    DWORD word;
    __builtin_memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap32(word);
#endif
    return (Lanes)word | (LANES('A') & ~(Lanes)0xFFFFFFFFu);
}

#if B64_PLANTED_LEAK == 1
// The planted leak's table (Values): each byte's value, as the table that
// the arithmetic replaced held it.
struct ValueTable {
    BYTE of[128];
};
static constexpr ValueTable PlantedTable()
{
    ValueTable t{};
    for (int c = 0; c < 128; c++)
        t.of[c] = (BYTE)((c >= 'a'   ? c - 71
                          : c >= 'A' ? c - 65
                          : c >= '0' ? c + 4
                          : c == '/' ? 63
                                     : 62) &
                         63);
    return t;
}
static constexpr ValueTable PlantedValues = PlantedTable();
#endif

// The top bit of each lane of a word below 0x80 in every lane: set where the
// lane is at least t (its other bits are of no account).
#define AT_LEAST(w, t) ((w) + LANES(0x80 - (t)))

// The alphabet's characters run "+" (43), "/" to "9" (47 to 57), "A" to "Z"
// (65 to 90) and "a" to "z" (97 to 122). The two functions below classify a
// word's bytes by arithmetic on the whole word, with no branch and no
// memory: every byte takes the same instructions, whichever it is.

// The top bit of each lane set where the lane's byte is none of them, and
// nothing else.
static inline Lanes NotCharacters(Lanes w)
{
    // The letters with 0x20 set are "a" to "z", and no other byte below 0x80
    // becomes one of those so: the letters take two bounds, not four. Of
    // the six bounds, of "+", of "/" to "9" and of the letters so folded, a
    // character reaches an odd number, any other byte below 0x80 an even
    // one.
    Lanes odd = AT_LEAST(w, 43) ^ AT_LEAST(w, 44) ^ AT_LEAST(w, 47) ^ AT_LEAST(w, 58);
    const Lanes folded = w | LANES(0x20);
    odd ^= AT_LEAST(folded, 97) ^ AT_LEAST(folded, 123);
    // A byte of 0x80 or more is none (and the carries it makes into the lane
    // above are then of no account).
    return (~odd | w) & LANES(0x80);
}

// The 6 bits of each lane's character, in the lane's low bits (its two top
// bits, and the lanes of bytes that are no character, are of no account).
static inline Lanes Values(Lanes w)
{
    // A character's value is its byte and 19 ("+" is 62), 3 less from "/" on,
    // 12 less from "0" on, 5 less from "A" on and 6 less from "a" on, modulo
    // 64. A character's bits 5 and 6 read 1 from "+" to "9", 2 from "A" to
    // "Z" and 3 from "a" to "z", and its bit 6 is 1 from "A" on: so the last
    // two steps are 6 less for each of those counts past 1, and 1 more for
    // bit 6. The threes taken away (1 from "/" on, 4 more from "0" on, and 2
    // for each count) are summed 16 times over in each lane, below 256 so
    // that no lane carries into the next, and shifted down once. Bit 6 is
    // shifted down from the counts, bringing the lane above's bit 5 into bit
    // 7: no character's lane then passes 255 ("z", 115 and 128) or falls
    // below 0, so none carries into or borrows from the next. The bound of
    // "/" lies anywhere between "+" and "/": it is one of NotCharacters'.
    const Lanes high = LANES(0x80);
    const Lanes counts = w & LANES(0x60);
    const Lanes threes = ((AT_LEAST(w, 44) & high) >> 3 | (AT_LEAST(w, 48) & high) >> 1) + counts;
    Lanes values = w + LANES(25) + (counts >> 6) - 3 * (threes >> 4);
#if B64_PLANTED_LEAK == 1
    // The leak a check must find, planted in the tests' own images and
    // programs alone: the first lane's value from a table its byte indexes.
    values = (values & ~(Lanes)0x3F) | PlantedValues.of[w & 0x7F];
#endif
    return values;
}

// Whether byte is one of the alphabet's characters, which the text's shape
// shows; its 6 bits in *value, which stay secret.
static inline BOOL IsCharacter(DWORD byte, DWORD *value)
{
    *value = (DWORD)Values(byte) & 63;
    return !Declassify(NotCharacters(byte) & 0x80);
}

// The bytes of the group of four characters whose values are in the low
// four lanes of values, as the top three bytes of a word, the first
// highest (its lowest byte is of no account).
static inline DWORD Packed(DWORD values)
{
    // Two characters' 12 bits in each half of the word, then all 24 above
    // the byte of no account.
    DWORD pairs = (values & 0x003F003Fu) << 6 | (values >> 8 & 0x003F003Fu);
    return pairs << 20 | pairs >> 8;
}

// Writes a packed group as one word, its byte of no account fourth: only
// where the next group's bytes are sure to follow and overwrite it. Gives
// the place after the group.
static inline BYTE *StoreWhole(BYTE *out, const BYTE *decoded, DWORD packed)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    packed = __builtin_bswap32(packed);
#endif
    __builtin_memcpy(out, &packed, sizeof packed);
    CHECK_DECODED_BOUND(out + sizeof packed, decoded);
    (void)decoded;
    return out + 3;
}

// Writes a packed group's three bytes alone. Gives the place after them.
static inline BYTE *StoreGroup(BYTE *out, const BYTE *decoded, DWORD packed)
{
    out[0] = (BYTE)(packed >> 24);
    out[1] = (BYTE)(packed >> 16);
    out[2] = (BYTE)(packed >> 8);
    CHECK_DECODED_BOUND(out + 3, decoded);
    (void)decoded;
    return out + 3;
}

// Whether the word from in on holds characters alone, which the text's
// shape shows.
static inline BOOL WordOfCharacters(const BYTE *in)
{
#if B64_PLANTED_LEAK == 2
    // The leak a check must find, planted in the tests' own images and
    // programs alone: "/" first sends a word to the characters one by one.
    if (*in == '/')
        return FALSE;
#endif
    return !Declassify(NotCharacters(LoadLanes(in)));
}

// The groups of the word of characters at word: those but the last
// written, each whole, the last given packed.
static inline DWORD DecodeWord(const BYTE *word, BYTE **out, const BYTE *decoded)
{
    const Lanes values = Values(LoadLanes(word));
    if (sizeof(Lanes) == 8)
        *out = StoreWhole(*out, decoded, Packed((DWORD)values));
    return Packed((DWORD)(values >> (sizeof(Lanes) * 8 - 32)));
}

void StartDecoding(DecodeState *state)
{
    state->line = 1;
    state->column = 0;
    state->groupLine = 0;
    state->groupColumn = 0;
    state->bits = 0;
    state->characters = 0;
    state->padded = 0;
    state->form = FORM_START;
    state->held = 0;
    state->heldBytes = 0;
}

// Text of a byte a character, as DecodeChunk decodes it once its form is
// known. It has DecodeChunk's parameters, and is not static (the compiler
// gives a static function a calling convention of its own), so that
// DecodeChunk's call of it is a jump: text of a byte a character pays for
// the other forms with one test a read.
BOOL DecodeCharacters(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                      DWORD *decodedCount)
{
    // Locals, not the fields: the compiler then keeps them in registers
    // rather than storing each change through the pointer. The group's
    // place and its "=" stay fields: they change at most once a group, and
    // only where its characters come one by one, so a read of whole groups
    // neither loads nor stores them.
    DWORD line = state->line, column = state->column;
    DWORD bits = state->bits, characters = state->characters;
    const BYTE *in = text;
    const BYTE *end = text + count;
    BYTE *out = decoded;
    BOOL valid = TRUE;

    while (in < end) {
        // Groups of four characters of the alphabet, the bulk of any line,
        // are decoded whole, a word of them at a time, with no position or
        // state to keep but the column, which is caught up once they end.
        if (characters == 0) {
            const BYTE *run = in;
            // Each group but a run's last is written as a word, whose
            // fourth byte the next group overwrites.
            DWORD words = (DWORD)(end - in) / sizeof(Lanes);
            if (words != 0 && WordOfCharacters(in)) {
                for (;;) {
                    const BYTE *word = in;
                    in += sizeof(Lanes);
                    if (--words == 0 || !WordOfCharacters(in)) {
                        const DWORD last = DecodeWord(word, &out, decoded);
                        out = StoreGroup(out, decoded, last);
                        break;
                    }
                    const DWORD last = DecodeWord(word, &out, decoded);
                    out = StoreWhole(out, decoded, last);
                }
            }
            // On a 64-bit CPU, four more when they are a group.
            if (sizeof(Lanes) == 8 && end - in >= 4 && !Declassify(NotCharacters(LoadFour(in)))) {
                out = StoreGroup(out, decoded, Packed((DWORD)Values(LoadFour(in))));
                in += 4;
            }
            // Most runs end at a line's CR LF: step over it here rather
            // than a byte at a time below.
            if (end - in >= 2 && Declassify(((in[0] ^ 0x0Du) | (in[1] ^ 0x0Au)) == 0)) {
                in += 2;
                line++;
                column = 0;
                continue;
            }
            column += (DWORD)(in - run);
            if (in == end)
                break;
        }

        DWORD value;
        BOOL character = IsCharacter(*in++, &value);
        column++;
        if (character) {
            // After "=" only "=" may follow.
            if (state->padded) {
                valid = FALSE;
                break;
            }
            // The place to name if the text ends before this group does.
            if (characters == 0) {
                state->groupLine = line;
                state->groupColumn = column;
            }
            // Only the low 6 bits of each character are shifted in: what the
            // group's bytes take is always the last characters' bits, so the
            // older bits shifted up and out never need clearing.
            bits = bits << 6 | value;
            if (++characters == 4) {
                out = StoreGroup(out, decoded, bits << 8);
                characters = 0;
            }
            continue;
        }
        // A byte of no character, which the text's shape shows as it is.
        DWORD byte = (DWORD)Declassify(in[-1]);
        if (byte == '\n') {
            line++;
            column = 0;
            continue;
        }
        if (byte == '\r')
            continue;
        // "=" ends a group of two or three characters; the unused low bits
        // of the last one are dropped, whatever they hold.
        if (byte == '=' && characters >= 2) {
            if (characters == 2) {
                state->padded = 1;
                characters = 3;
                continue;
            }
            if (state->padded) {
                out[0] = (BYTE)(bits >> 4);
                out += 1;
                CHECK_DECODED_BOUND(out, decoded);
            } else {
                out[0] = (BYTE)(bits >> 10);
                out[1] = (BYTE)(bits >> 2);
                out += 2;
                CHECK_DECODED_BOUND(out, decoded);
            }
            state->padded = 0;
            characters = 0;
            continue;
        }
        // A byte of no group, or "=" too early in a group.
        valid = FALSE;
        break;
    }

    state->line = line;
    state->column = column;
    state->bits = bits;
    state->characters = characters;
    *decodedCount = (DWORD)(out - decoded);
    return valid;
}

// At the very start of the text: takes the bytes of a byte-order mark,
// held while they may still be one, and sets the form once the mark is
// whole or the text has none. FALSE when a mark begun is broken ("EF BB"
// and then anything but BF): its first byte, at line 1, column 1, is then
// invalid, as it is in text without a mark.
static BOOL TakeMark(DecodeState *state, const BYTE **text, const BYTE *end)
{
    while (*text < end) {
        // A character of the alphabet, no mark's byte, stands as 0, which
        // is none either: which character it is is never looked at.
        DWORD value;
        DWORD byte = IsCharacter(**text, &value) ? 0 : (DWORD)Declassify(**text);
        DWORD bytes = state->heldBytes << 8 | byte;
        switch (bytes) {
        case 0xEF:
        case 0xEFBB:
        case 0xFF:
        case 0xFE:
            ++*text;
            state->held++;
            state->heldBytes = bytes;
            continue;
        case 0xEFBBBF:
            state->form = FORM_BYTES;
            break;
        case 0xFFFE:
            state->form = FORM_UTF16LE;
            break;
        case 0xFEFF:
            state->form = FORM_UTF16BE;
            break;
        default:
            if (state->held != 0) {
                state->column++;
                return FALSE;
            }
            // No mark: this byte is the text's first character.
            state->form = FORM_BYTES;
            return TRUE;
        }
        ++*text;
        state->held = 0;
        state->heldBytes = 0;
        return TRUE;
    }
    return TRUE;
}

// The most units of UTF-16 narrowed at a time, in a buffer on the stack.
#define UNIT_BLOCK 256

// A unit's character byte when its other byte is 0, and 0 when it is not,
// by arithmetic: nothing of either byte decides a branch.
static inline BYTE Narrowed(BYTE character, BYTE other)
{
    return (BYTE)(character & ((DWORD)other - 1) >> 8);
}

// UTF-16: each unit narrowed to the byte of its character, a block at a
// time, and those decoded as text of a byte a character, which counts
// lines and columns in units as it does in bytes. A unit whose other byte
// is not 0 stands for no character of the text, and is narrowed to NUL,
// which is none either: it is named at its own place. A byte left over
// begins a unit that the next read ends.
static BOOL DecodeUnits(DecodeState *state, const BYTE *text, const BYTE *end, BYTE *decoded,
                        DWORD *decodedCount)
{
    // Where a unit's character byte stands: first in UTF-16LE, second in BE.
    const DWORD at = state->form == FORM_UTF16BE ? 1 : 0;
    BYTE narrow[UNIT_BLOCK];
    DWORD n = 0;
    if (state->held != 0 && text < end) {
        BYTE unit[2] = {(BYTE)state->heldBytes, *text++};
        narrow[n++] = Narrowed(unit[at], unit[1 - at]);
        state->held = 0;
    }
    for (;;) {
        DWORD units = (DWORD)(end - text) / 2;
        if (units > UNIT_BLOCK - n)
            units = UNIT_BLOCK - n;
        for (DWORD i = 0; i < units; i++, text += 2)
            narrow[n + i] = Narrowed(text[at], text[1 - at]);
        n += units;
        if (n == 0)
            break;
        DWORD count;
        BOOL valid = DecodeCharacters(state, narrow, n, decoded + *decodedCount, &count);
        *decodedCount += count;
        if (!valid)
            return FALSE;
        n = 0;
    }
    if (text < end) {
        state->held = 1;
        state->heldBytes = *text;
    }
    return TRUE;
}

// Text whose form is not yet known, or is UTF-16. Never inlined: the frame
// of its buffer would then be set up for every read of any text.
__attribute__((noinline)) static BOOL DecodeMarked(DecodeState *state, const BYTE *text, DWORD count,
                                                   BYTE decoded[DECODED_BUFFER_BYTES], DWORD *decodedCount)
{
    const BYTE *end = text + count;
    *decodedCount = 0;
    if (state->form == FORM_START && !TakeMark(state, &text, end))
        return FALSE;
    if (state->form == FORM_BYTES)
        return DecodeCharacters(state, text, (DWORD)(end - text), decoded, decodedCount);
    // Still FORM_START: all of it was a mark begun.
    if (state->form == FORM_START)
        return TRUE;
    return DecodeUnits(state, text, end, decoded, decodedCount);
}

// What carries over between reads of the text: the bits of the characters
// held, and in UTF-16 the byte of a unit begun (at the start, a mark's
// bytes, which are no characters).
static void MarkHeld(DecodeState *state, BOOL secret)
{
    if (secret) {
        MARK_SECRET(&state->bits, sizeof state->bits);
        if (state->form >= FORM_UTF16LE)
            MARK_SECRET(&state->heldBytes, sizeof state->heldBytes);
    } else {
        MARK_PUBLIC(&state->bits, sizeof state->bits);
        MARK_PUBLIC(&state->heldBytes, sizeof state->heldBytes);
    }
}

BOOL DecodeChunk(DecodeState *state, const BYTE *text, DWORD count, BYTE decoded[DECODED_BUFFER_BYTES],
                 DWORD *decodedCount)
{
    MARK_SECRET(text, count);
    MarkHeld(state, TRUE);
    BOOL valid = state->form == FORM_BYTES ? DecodeCharacters(state, text, count, decoded, decodedCount)
                                           : DecodeMarked(state, text, count, decoded, decodedCount);
    MARK_PUBLIC(decoded, *decodedCount);
    MARK_PUBLIC(text, count);
    MarkHeld(state, FALSE);
    return valid;
}

BOOL EndDecoding(DecodeState *state)
{
    if (state->held == 0)
        return TRUE;
    // The bytes of a mark or a unit begun: a character, the one after the
    // last taken, that is none.
    state->column++;
    return FALSE;
}
