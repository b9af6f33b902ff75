// The window sweep of DecodeChunk, on the host: from each listed state,
// every window of four bytes over an alphabet, in one read and cut at each
// place into two, each read held to the step model: its bytes, its verdict,
// the place of an invalid byte, and the state it leaves (which must be one
// of the list).
#ifndef B64FILTER_TESTS_PROOF_DECODER_WINDOWS_H
#define B64FILTER_TESTS_PROOF_DECODER_WINDOWS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/proof/decoder_states.h"
#include "tests/proof/decoder_step_model.h"
#include "unfilter/decode_chunk.h"

namespace proof {

// Sweeps the windows whose first byte is alphabet[first] for first in
// [from, to), from each of states; gives what disagreed, and adds to *seen
// each state a read left.
std::string SweepWindows(const std::vector<uint8_t> &alphabet, uint64_t from, uint64_t to, SeenStates *seen,
                         const std::vector<ListedState> &states);

// The listed states of a form (and, for FORM_START, of held bytes `held`;
// any other form, any held).
std::vector<ListedState> StatesOf(unsigned form, int held = -1);

// The model's state after a prefix from the start (a valid one).
StepModel ModelAfter(const std::string &prefix);

// Text[0..n) from `start` (the model's m0) in one read, and (when `cuts`)
// cut at each place into two, each read held to the model as SweepWindows'
// are, and the end of the text after the last read to the model's end;
// adds to *seen each state a read left. What disagreed, empty when nothing
// did.
std::string CheckCuts(const DecodeState &start, const StepModel &m0, const uint8_t *text, unsigned n,
                      SeenStates *seen, bool cuts = true);

// The state a prefix read leaves, from the start.
DecodeState StateAfter(const std::string &prefix);

// Every state in seen is listed, and each listed state of reached is in seen
// (a test's expectations).
void ExpectListed(const SeenStates &seen, const std::vector<ListedState> &reached);

}  // namespace proof

#endif
