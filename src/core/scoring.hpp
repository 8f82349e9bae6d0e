// Scoring of one candidate record against one subject record, as the
// module computes it: on prepared records, with the bit-parallel
// Jaro–Winkler, and skipping what cannot change whether a candidate is kept.
// Every value equals, bit for bit, what the straightforward scoring
// (reference/scoring.hpp) gives; the rules both apply are in scoring_rules.hpp.
#pragma once

#include <optional>

#include "core/jaro_bitparallel.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"

namespace refsieve {

// Title, author, date and bonus scores of the candidate against the
// subject, and their total. The subject must be prepared for either side,
// the candidate for Side::candidate.
MatchResult score_candidate(const PreparedRecord& subject, const PreparedRecord& candidate, JaroScratch& scratch);

// The same result when its total_score >= min_score, otherwise nothing.
// Similarities are skipped once a proven upper bound of the total falls
// below min_score.
std::optional<MatchResult> score_candidate_if_kept(const PreparedRecord& subject, const PreparedRecord& candidate,
                                                   double min_score, JaroScratch& scratch);

}  // namespace refsieve
