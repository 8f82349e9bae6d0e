// The straightforward candidate scoring: each field normalised and compared
// afresh for every pair, with the straightforward token-sort ratio. Only
// tests, fuzzers and benchmarks use it, as the result that the shipped
// score_candidate (core/scoring.hpp) must equal bit for bit.
#pragma once

#include <string_view>

#include "core/record.hpp"

namespace refsieve::reference {

// The keyword set of a normalised title, searched for plainly.
unsigned keyword_set(std::string_view normalised_title);

// Whether either text contains the other, searched for plainly.
bool one_contains_other(std::string_view x, std::string_view y);

// Title, author, date and bonus scores of candidate against subject, and
// their total.
MatchResult score_candidate(const RecordView& subject, const RecordView& candidate);
MatchResult score_candidate(const Record& subject, const Record& candidate);

}  // namespace refsieve::reference
