// The window sweep of DecodeChunk, on the host: from each listed state,
// every window of four bytes over an alphabet, in one read and cut at each
// place into two, each read held to the step model: its bytes, its verdict,
// the place of an invalid byte, and the state it leaves (which must be one
// of the list).
#ifndef B64FILTER_TESTS_PROOF_DECODER_WINDOWS_H
#define B64FILTER_TESTS_PROOF_DECODER_WINDOWS_H

#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "unfilter/decode_chunk.h"

namespace proof {

// Abstract states seen after the reads of a sweep: (characters, padded).
typedef std::set<std::pair<unsigned, bool>> SeenStates;

// Sweeps the windows whose first byte is alphabet[first] for first in
// [from, to), from every listed state; gives what disagreed, and adds to
// *seen each state a read left.
std::string SweepWindows(const std::vector<uint8_t> &alphabet, uint64_t from, uint64_t to, SeenStates *seen);

// The state a prefix read leaves, from the start.
DecodeState StateAfter(const std::string &prefix);

}  // namespace proof

#endif
