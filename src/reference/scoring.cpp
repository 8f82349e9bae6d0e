#include "reference/scoring.hpp"

#include <string>
#include <string_view>

#include "core/normalize.hpp"
#include "core/scoring_rules.hpp"
#include "reference/text.hpp"

namespace refsieve::reference {

unsigned keyword_set(std::string_view normalised_title) {
    unsigned set = 0;
    for (std::size_t k = 0; k < TITLE_KEYWORDS.size(); ++k) {
        if (normalised_title.find(TITLE_KEYWORDS[k]) != std::string_view::npos) set |= 1u << k;
    }
    return set;
}

bool one_contains_other(std::string_view x, std::string_view y) {
    return x.find(y) != std::string_view::npos || y.find(x) != std::string_view::npos;
}

namespace {

double title_score(std::string_view subject_title, std::string_view candidate_title) {
    if (subject_title.empty() || candidate_title.empty()) return 0.0;
    const std::string ns = normalize(subject_title);
    const std::string nc = normalize(candidate_title);
    const double ratio = reference::token_sort_ratio_f64(ns, nc);
    const bool containment = reference::one_contains_other(ns, nc);
    return scoring::title_score_from(ratio, containment, reference::keyword_set(ns), reference::keyword_set(nc));
}

double author_score(std::string_view subject_author, std::string_view candidate_author) {
    if (subject_author.empty() || candidate_author.empty()) return 0.0;
    return scoring::author_score_from(reference::token_sort_ratio_f64(subject_author, candidate_author));
}

double bonus_score(const RecordView& subject, const RecordView& candidate) {
    const auto same_journal = [&] {
        return subject.journal && candidate.journal &&
               scoring::same_journal(normalize(*subject.journal), normalize(*candidate.journal));
    };
    const bool similar_publishers =
        scoring::both_present(subject.publisher, candidate.publisher) &&
        scoring::is_high(reference::token_sort_ratio_f64(*subject.publisher, *candidate.publisher));
    return scoring::bonus_score_from(scoring::identifier_points(subject, candidate, same_journal), similar_publishers);
}

}  // namespace

MatchResult score_candidate(const Record& subject, const Record& candidate) {
    return score_candidate(view_of(subject), view_of(candidate));
}

MatchResult score_candidate(const RecordView& subject, const RecordView& candidate) {
    MatchResult result;
    result.candidate_index = candidate.index;
    result.title_score = title_score(subject.title, candidate.title);
    result.author_score = author_score(subject.author, candidate.author);
    result.date_score = scoring::date_score(subject.year, candidate.year);
    result.bonus_score = bonus_score(subject, candidate);
    result.total_score =
        scoring::total_score(result.title_score, result.author_score, result.date_score, result.bonus_score);
    return result;
}

}  // namespace refsieve::reference
