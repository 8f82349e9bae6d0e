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
#include "core/scoring_rules.hpp"

namespace refsieve {

// The facts behind the partial scores of one pair, and the scores, as the
// scoring rules decide them: what explains a score, and what decisions
// about a pair read besides the scores.
struct PairFacts {
    MatchResult scores;
    bool titles_compared = false;  // both titles non-empty as given
    double title_ratio = 0.0;
    bool subject_contains_candidate = false;  // the normalised titles
    bool candidate_contains_subject = false;
    unsigned subject_keywords = 0;  // bit k: TITLE_KEYWORDS[k]
    unsigned candidate_keywords = 0;
    scoring::TitleBoost title_boost = scoring::TitleBoost::none;
    int keyword_penalty = 0;
    bool authors_compared = false;
    double author_ratio = 0.0;
    bool author_boost = false;
    std::optional<std::uint32_t> year_gap;
    scoring::DateRule date_rule = scoring::DateRule::missing;
    scoring::IdentifierAgreement identifiers;
    bool journals_equal = false;  // normalised, present and non-empty on both sides
    bool publishers_compared = false;
    double publisher_ratio = 0.0;
    bool similar_publishers = false;
};

// Every fact of candidate k against the subject; its scores equal
// score_candidate's bit for bit.
PairFacts pair_facts(const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t k,
                     JaroScratch& scratch);

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
