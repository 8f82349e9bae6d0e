// Scoring of candidate records against one subject record, as the module
// computes it: on prepared records, with the bit-parallel Jaro–Winkler, and
// skipping what cannot change whether a candidate is kept. Every value
// equals, bit for bit, what the straightforward scoring (reference/scoring.hpp)
// gives; the rules both apply are in scoring_rules.hpp.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/cpu_dispatch.hpp"
#include "core/jaro_bitparallel.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"

namespace refsieve {

// Title, author, date and bonus scores of candidate k of the catalogue
// against the subject, and their total.
MatchResult score_candidate(const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t k,
                            JaroScratch& scratch);

// The same result when its total_score >= min_score, otherwise nothing.
// Similarities are skipped once a proven upper bound of the total falls
// below min_score.
std::optional<MatchResult> score_candidate_if_kept(const PreparedSubject& subject, const CandidateCatalogue& catalogue,
                                                   std::size_t k, double min_score, JaroScratch& scratch);

// score_candidate_if_kept for candidates lo to hi - 1 in order, appending
// each kept result to kept; on the CPU path given, or the active one.
void score_range(const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t lo, std::size_t hi,
                 double min_score, JaroScratch& scratch, std::vector<MatchResult>& kept);
void score_range(CpuPath path, const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t lo,
                 std::size_t hi, double min_score, JaroScratch& scratch, std::vector<MatchResult>& kept);

}  // namespace refsieve
