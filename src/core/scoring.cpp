#include "core/scoring.hpp"

#include <limits>

#include "core/normalize.hpp"
#include "core/scoring_rules.hpp"
#include "core/token_sort.hpp"

namespace refsieve {
namespace {

// token_sort_ratio_f64 of two non-empty texts with these keys. The masks are
// the subject's (Jaro is symmetric, see jaro.hpp).
inline double key_ratio(const SubjectKey& subject, const StoredKey& candidate, JaroScratch& scratch) {
    const std::span<const char32_t> subject_key(subject.code_points);
    const double similarity = candidate.narrow
                                  ? jaro_winkler(candidate.bytes(), subject_key, subject.pattern, scratch)
                                  : jaro_winkler(candidate.code_points(), subject_key, subject.pattern, scratch);
    return ratio_from_similarity(similarity);
}

using KeyRatio = double (*)(const SubjectKey&, const StoredKey&, JaroScratch&);

// The candidate's journal normalised, in storage kept by the thread.
std::string_view normalized_journal(std::string_view journal) {
    thread_local std::string normalized;
    normalize_into(journal, normalized);
    return normalized;
}

template <KeyRatio ratio_of>
inline double title_score(const PreparedSubject& s, const PreparedCandidate& c, JaroScratch& scratch) {
    if (!s.has_title || !c.has_title()) return 0.0;
    const std::string_view candidate_title = c.normalized_title();
    // token_sort_ratio_f64(ns, nc) is 0.0 when either normalised title is empty.
    const double ratio =
        s.normalized_title.empty() || candidate_title.empty() ? 0.0 : ratio_of(s.title_key, c.title_key(), scratch);
    // Containment only decides the boost, and only when the keyword sets are
    // equal and the ratio alone does not earn it.
    const bool containment = s.title_keywords == c.title_keywords() && !scoring::is_high(ratio) &&
                             scoring::one_contains_other(s.normalized_title, candidate_title);
    return scoring::title_score_from(ratio, containment, s.title_keywords, c.title_keywords());
}

template <KeyRatio ratio_of>
inline double author_score(const PreparedSubject& s, const PreparedCandidate& c, JaroScratch& scratch) {
    if (!s.has_author || !c.has_author()) return 0.0;
    return scoring::author_score_from(ratio_of(s.author_key, c.author_key(), scratch));
}

// Pruning by min_score. A candidate is kept when
//   total = ((title + author) + date) + bonus >= min_score.
// Rounded addition is non-decreasing in each operand (all partial scores
// are finite and non-negative), so the same sum with some partial scores
// replaced by upper bounds of them is >= the computed total; when it is
// < min_score, so is the total, and the candidate cannot be kept. The upper
// bounds:
// - every ratio is jaro_winkler * 100.0 <= 100.0: m <= min(A, B) keeps each
//   quotient of the Jaro value <= 1 and the value <= 1; for sim > 0.7,
//   1.0 - sim is exact and w * (1.0 - sim) with w < 1 rounds to at most
//   1.0 - sim, so the Winkler value is <= 1.0 too;
// - title_score_from is non-decreasing in the ratio and in containment for
//   fixed keyword sets: title_score_from(100.0, true, ks, kc) bounds it;
// - author_score_from is non-decreasing (its boosted branch starts above
//   where the plain one ends): author_score_from(100.0) bounds it;
// - the publisher adds 10.0 raw points or none: bonus_score_from(points,
//   true) bounds the bonus.
// A NaN min_score fails every comparison: nothing is pruned or kept.
constexpr double kMaxRatio = 100.0;

// The raw points of the candidate's identifying fields against the subject's.
double identifier_points_of(const PreparedSubject& s, const PreparedCandidate& c) {
    const RecordView record = c.identifiers();
    return scoring::identifier_points(s.record, record, [&] {
        return s.normalized_journal && record.journal &&
               scoring::same_journal(*s.normalized_journal, normalized_journal(*record.journal));
    });
}

template <KeyRatio ratio_of>
inline std::optional<MatchResult> if_kept(const PreparedSubject& s, const PreparedCandidate& c, double min_score,
                                          JaroScratch& scratch) {
    using scoring::total_score;
    MatchResult result;
    result.candidate_index = c.index();
    result.date_score = scoring::date_score(s.record.year, c.year());
    // A candidate without identifying fields earns no points from them.
    const double points = !c.has_identifiers() ? 0.0 : identifier_points_of(s, c);
    const bool publishers_compared = s.has_publisher && c.has_publisher();

    // The cheap parts are exact; bound the rest (see kMaxRatio).
    const double bonus_bound = scoring::bonus_score_from(points, publishers_compared);
    const double author_bound = s.has_author && c.has_author() ? scoring::author_score_from(kMaxRatio) : 0.0;
    const double title_bound = s.has_title && c.has_title()
                                   ? scoring::title_score_from(kMaxRatio, true, s.title_keywords, c.title_keywords())
                                   : 0.0;
    if (total_score(title_bound, author_bound, result.date_score, bonus_bound) < min_score) return std::nullopt;

    result.title_score = title_score<ratio_of>(s, c, scratch);
    if (total_score(result.title_score, author_bound, result.date_score, bonus_bound) < min_score) return std::nullopt;

    result.author_score = author_score<ratio_of>(s, c, scratch);
    if (total_score(result.title_score, result.author_score, result.date_score, bonus_bound) < min_score) {
        return std::nullopt;
    }

    const bool similar_publishers =
        publishers_compared && scoring::is_high(ratio_of(s.publisher_key, c.publisher_key(), scratch));
    result.bonus_score = scoring::bonus_score_from(points, similar_publishers);
    result.total_score = total_score(result.title_score, result.author_score, result.date_score, result.bonus_score);
    if (!scoring::reaches(result.total_score, min_score)) return std::nullopt;
    return result;
}

// The loop over candidates, with ratio_of the key ratio of one CPU path.
template <KeyRatio ratio_of>
inline void score_range_on_any_cpu(const PreparedSubject& s, const CandidateCatalogue& catalogue, std::size_t lo,
                                   std::size_t hi, double min_score, JaroScratch& scratch,
                                   std::vector<MatchResult>& kept) {
    for (std::size_t k = lo; k < hi; ++k) {
        if (std::optional<MatchResult> result = if_kept<ratio_of>(s, catalogue[k], min_score, scratch)) {
            kept.push_back(*result);
        }
    }
}

// key_ratio and the loop over candidates, compiled once per CPU path
// (cpu_dispatch.hpp). key_ratio is kept out of line: the matching loops
// then exist once per path rather than once per field and text width,
// which keeps the loop over candidates small enough for the instruction
// cache. The loop has everything else it calls inlined into it.
#define REFSIEVE_SCORING_ON_PATH(path, ...)                                                            \
    [[gnu::noinline, gnu::flatten]] [[REFSIEVE_CPU_TARGET(__VA_ARGS__)]] double key_ratio_##path(      \
        const SubjectKey& subject, const StoredKey& candidate, JaroScratch& scratch) {                 \
        return key_ratio(subject, candidate, scratch);                                                 \
    }                                                                                                  \
    [[gnu::flatten]] [[REFSIEVE_CPU_TARGET(__VA_ARGS__)]] void score_range_##path(                     \
        const PreparedSubject& s, const CandidateCatalogue& catalogue, std::size_t lo, std::size_t hi, \
        double min_score, JaroScratch& scratch, std::vector<MatchResult>& kept) {                      \
        score_range_on_any_cpu<key_ratio_##path>(s, catalogue, lo, hi, min_score, scratch, kept);      \
    }
REFSIEVE_CPU_PATHS(REFSIEVE_SCORING_ON_PATH)
#undef REFSIEVE_SCORING_ON_PATH

}  // namespace

PairFacts pair_facts(const PreparedSubject& s, const CandidateCatalogue& catalogue, std::size_t k,
                     JaroScratch& scratch) {
    const PreparedCandidate& c = catalogue[k];
    const RecordView record = c.identifiers();
    PairFacts facts;
    facts.scores.candidate_index = c.index();

    facts.titles_compared = s.has_title && c.has_title();
    facts.subject_keywords = s.title_keywords;
    facts.candidate_keywords = c.title_keywords();
    if (facts.titles_compared) {
        const std::string_view candidate_title = c.normalized_title();
        facts.title_ratio = s.normalized_title.empty() || candidate_title.empty()
                                ? 0.0
                                : key_ratio_baseline(s.title_key, c.title_key(), scratch);
        facts.subject_contains_candidate = s.normalized_title.find(candidate_title) != std::string_view::npos;
        facts.candidate_contains_subject = candidate_title.find(s.normalized_title) != std::string_view::npos;
        const bool containment = facts.subject_contains_candidate || facts.candidate_contains_subject;
        facts.title_boost = scoring::title_boost(facts.title_ratio, containment, s.title_keywords, c.title_keywords());
        facts.keyword_penalty = scoring::keyword_penalty(s.title_keywords, c.title_keywords());
        facts.scores.title_score =
            scoring::title_score_from(facts.title_ratio, containment, s.title_keywords, c.title_keywords());
    }

    facts.authors_compared = s.has_author && c.has_author();
    if (facts.authors_compared) {
        facts.author_ratio = key_ratio_baseline(s.author_key, c.author_key(), scratch);
        facts.author_boost = scoring::is_high(facts.author_ratio);
        facts.scores.author_score = scoring::author_score_from(facts.author_ratio);
    }

    if (s.record.year && c.year()) facts.year_gap = scoring::year_gap(*s.record.year, *c.year());
    facts.date_rule = scoring::date_rule(s.record.year, c.year());
    facts.scores.date_score = scoring::date_score(s.record.year, c.year());

    const std::optional<std::string_view> candidate_journal =
        record.journal ? std::optional<std::string_view>(normalized_journal(*record.journal)) : std::nullopt;
    const std::optional<std::string_view> subject_journal =
        s.normalized_journal ? std::optional<std::string_view>(*s.normalized_journal) : std::nullopt;
    facts.journals_equal = scoring::same_journal(subject_journal, candidate_journal);
    facts.identifiers = scoring::identifier_agreement(s.record, record, [&] { return facts.journals_equal; });
    facts.publishers_compared = s.has_publisher && c.has_publisher();
    if (facts.publishers_compared) {
        facts.publisher_ratio = key_ratio_baseline(s.publisher_key, c.publisher_key(), scratch);
        facts.similar_publishers = scoring::is_high(facts.publisher_ratio);
    }
    facts.scores.bonus_score =
        scoring::bonus_score_from(scoring::identifier_points(facts.identifiers), facts.similar_publishers);
    facts.scores.total_score = scoring::total_score(facts.scores.title_score, facts.scores.author_score,
                                                    facts.scores.date_score, facts.scores.bonus_score);
    return facts;
}

std::optional<MatchResult> score_candidate_if_kept(const PreparedSubject& subject, const CandidateCatalogue& catalogue,
                                                   std::size_t k, double min_score, JaroScratch& scratch) {
    return if_kept<key_ratio_baseline>(subject, catalogue[k], min_score, scratch);
}

MatchResult score_candidate(const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t k,
                            JaroScratch& scratch) {
    // No total is NaN, so every total reaches -infinity and nothing is pruned.
    return *score_candidate_if_kept(subject, catalogue, k, -std::numeric_limits<double>::infinity(), scratch);
}

void score_range(CpuPath path, const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t lo,
                 std::size_t hi, double min_score, JaroScratch& scratch, std::vector<MatchResult>& kept) {
    switch (path) {
#define REFSIEVE_SCORE_RANGE_CASE(name, ...) \
    case CpuPath::name: return score_range_##name(subject, catalogue, lo, hi, min_score, scratch, kept);
        REFSIEVE_CPU_PATHS(REFSIEVE_SCORE_RANGE_CASE)
#undef REFSIEVE_SCORE_RANGE_CASE
    }
    score_range_baseline(subject, catalogue, lo, hi, min_score, scratch, kept);
}

void score_range(const PreparedSubject& subject, const CandidateCatalogue& catalogue, std::size_t lo, std::size_t hi,
                 double min_score, JaroScratch& scratch, std::vector<MatchResult>& kept) {
    score_range(active_cpu_path(), subject, catalogue, lo, hi, min_score, scratch, kept);
}

}  // namespace refsieve
